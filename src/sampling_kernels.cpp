#include "sampling_kernels.h"

#include <limits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TAVRI_SAMPLING_X86 1
#endif

namespace tavri {

namespace {

constexpr int kLanes = MemberLists::kLanes;
constexpr double kInf = std::numeric_limits<double>::infinity();

// The chunks a list scan reads from its cursor: at most max_chunks of them,
// and none from the first whose bound excuses every row from there on.
class ChunkWalk {
public:
    ChunkWalk(const MemberLists& lists, int g, ListCursor& cursor, int max_chunks, double dg)
        : lists_(lists), g_(g), cursor_(cursor), left_(max_chunks), dg_(dg), c_(cursor.chunk), base_(cursor.base) {}

    // The next chunk, or -1 when this scan is over; the cursor then says
    // where the next one goes on (-1: nowhere, the list is done).
    int Next() {
        if (started_) {
            base_ += kLanes;
            c_ = lists_.Next(c_);
        }
        started_ = true;
        if (c_ < 0 || base_ >= lists_.Size(g_) || dg_ >= 2.0 * lists_.Bound(c_)) {
            cursor_ = ListCursor{-1, base_};
            return -1;
        }
        if (left_-- == 0) {
            cursor_ = ListCursor{c_, base_};
            return -1;
        }
        return c_;
    }

private:
    const MemberLists& lists_;
    const int g_;
    ListCursor& cursor_;
    int left_;
    const double dg_;
    int c_;
    int base_;
    bool started_ = false;
};

// ---- Portable ------------------------------------------------------------------

int ScanPrototypesPortable(const double* pc, std::size_t stride, int dims, int count, const double* q,
                           const double* certain, int* out, double* sums) {
    int n = 0;
    for (int j = 0; j < count; ++j) {
        const double limit = certain[j];
        double s = 0.0;
        for (int t = 0; t < dims; ++t) {
            const double diff = pc[t * stride + j] - q[t];
            s += diff * diff;
            if (s >= limit) break;
        }
        if (s < limit) {
            out[n] = j;
            sums[n] = s;
            ++n;
        }
    }
    return n;
}

int ScanListPortable(const MemberLists& lists, int g, ListCursor& cursor, int max_chunks, const double* q, int dims,
                     double dg, double margin, int* entries, double* sums) {
    int n = 0;
    ChunkWalk walk(lists, g, cursor, max_chunks, dg);
    for (int c = walk.Next(); c >= 0; c = walk.Next()) {
        const double* d = lists.Dist(c);
        for (int l = 0; l < kLanes; ++l) {
            const double dl = d[l];
            if (!(dl >= 0.0) || dg >= 2.0 * dl) continue;
            const double limit = dl >= kTinyDistance ? dl * dl * margin : kInf;
            const double* x = lists.Coords(c) + l;
            double s = 0.0;
            for (int t = 0; t < dims; ++t) {
                const double diff = x[t * kLanes] - q[t];
                s += diff * diff;
                if (s >= limit) break;
            }
            if (s < limit) {
                entries[n] = c * kLanes + l;
                sums[n] = s;
                ++n;
            }
        }
    }
    return n;
}

Extremes ExtremesPortable(const double* radius, const int* population, int k) {
    Extremes e{0.0, 0, 0.0};
    for (int j = 0; j < k; ++j) {
        if (population[j] > e.pmax) e.pmax = population[j];
        if (radius[j] > e.rmax) e.rmax = radius[j];
        const double prod = radius[j] * static_cast<double>(population[j]);
        if (prod > e.prodmax) e.prodmax = prod;
    }
    return e;
}

int ReachingPortable(const double* radius, const int* population, int k, double floor, int* out) {
    int n = 0;
    for (int j = 0; j < k; ++j)
        if (radius[j] * static_cast<double>(population[j]) >= floor) out[n++] = j;
    return n;
}

constexpr SamplingKernels kPortable = {ScanPrototypesPortable, ScanListPortable, ExtremesPortable,
                                       ReachingPortable};

// ---- AVX2 ------------------------------------------------------------------------

#if defined(TAVRI_SAMPLING_X86)

__attribute__((target("avx2"))) int ScanPrototypesAvx2(const double* pc, std::size_t stride, int dims, int count,
                                                       const double* q, const double* certain, int* out,
                                                       double* sums) {
    int n = 0;
    for (int j0 = 0; j0 < count; j0 += 4) {
        const __m256d limit = _mm256_loadu_pd(certain + j0);
        __m256d s = _mm256_setzero_pd();
        int below = 0xF;
        for (int t = 0; t < dims; ++t) {
            const __m256d diff = _mm256_sub_pd(_mm256_loadu_pd(pc + t * stride + j0), _mm256_set1_pd(q[t]));
            s = _mm256_add_pd(s, _mm256_mul_pd(diff, diff));
            if ((t & 1) != 0) {
                below = _mm256_movemask_pd(_mm256_cmp_pd(s, limit, _CMP_LT_OQ));
                if (below == 0) break;
            }
        }
        below = _mm256_movemask_pd(_mm256_cmp_pd(s, limit, _CMP_LT_OQ));
        if (below != 0) {
            alignas(32) double lane[4];
            _mm256_store_pd(lane, s);
            for (int l = 0; l < 4 && j0 + l < count; ++l) {
                if (((below >> l) & 1) == 0) continue;
                out[n] = j0 + l;
                sums[n] = lane[l];
                ++n;
            }
        }
    }
    return n;
}

// ScanListPortable, eight rows side by side.
__attribute__((target("avx2"))) int ScanListAvx2(const MemberLists& lists, int g, ListCursor& cursor,
                                                 int max_chunks, const double* q, int dims, double dg, double margin,
                                                 int* entries, double* sums) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d two = _mm256_set1_pd(2.0);
    const __m256d gq = _mm256_set1_pd(dg);
    const __m256d tiny = _mm256_set1_pd(kTinyDistance);
    const __m256d inf = _mm256_set1_pd(kInf);
    const __m256d scale = _mm256_set1_pd(margin);
    int n = 0;
    ChunkWalk walk(lists, g, cursor, max_chunks, dg);
    for (int c = walk.Next(); c >= 0; c = walk.Next()) {
        // The chunks are scattered in memory: fetch two ahead while this one is measured.
        const int after = lists.Next(c);
        if (after >= 0) {
            const int later = lists.Next(after);
            if (later >= 0) lists.Prefetch(later);
        }
        const double* dd = lists.Dist(c);
        const __m256d d0 = _mm256_load_pd(dd);
        const __m256d d1 = _mm256_load_pd(dd + 4);
        const __m256d live0 = _mm256_cmp_pd(d0, zero, _CMP_GE_OQ);
        const __m256d live1 = _mm256_cmp_pd(d1, zero, _CMP_GE_OQ);
        // NGE_UQ: true for a NaN dg, so that every live row is measured when the tests are off.
        const __m256d need0 = _mm256_and_pd(live0, _mm256_cmp_pd(gq, _mm256_mul_pd(two, d0), _CMP_NGE_UQ));
        const __m256d need1 = _mm256_and_pd(live1, _mm256_cmp_pd(gq, _mm256_mul_pd(two, d1), _CMP_NGE_UQ));
        const int need = _mm256_movemask_pd(need0) | (_mm256_movemask_pd(need1) << 4);
        if (need == 0) continue;
        // Rows not to measure get limit 0.0, which no sum is below.
        __m256d limit0 = _mm256_mul_pd(_mm256_mul_pd(d0, d0), scale);
        __m256d limit1 = _mm256_mul_pd(_mm256_mul_pd(d1, d1), scale);
        limit0 = _mm256_and_pd(_mm256_blendv_pd(inf, limit0, _mm256_cmp_pd(d0, tiny, _CMP_GE_OQ)), need0);
        limit1 = _mm256_and_pd(_mm256_blendv_pd(inf, limit1, _mm256_cmp_pd(d1, tiny, _CMP_GE_OQ)), need1);
        const double* x = lists.Coords(c);
        __m256d s0 = zero;
        __m256d s1 = zero;
        int below = need;
        for (int t = 0; t < dims; ++t) {
            const __m256d qt = _mm256_set1_pd(q[t]);
            const __m256d a = _mm256_sub_pd(_mm256_load_pd(x + t * kLanes), qt);
            const __m256d b = _mm256_sub_pd(_mm256_load_pd(x + t * kLanes + 4), qt);
            s0 = _mm256_add_pd(s0, _mm256_mul_pd(a, a));
            s1 = _mm256_add_pd(s1, _mm256_mul_pd(b, b));
            if ((t & 1) != 0) {
                below = _mm256_movemask_pd(_mm256_cmp_pd(s0, limit0, _CMP_LT_OQ)) |
                        (_mm256_movemask_pd(_mm256_cmp_pd(s1, limit1, _CMP_LT_OQ)) << 4);
                if (below == 0) break;
            }
        }
        below = _mm256_movemask_pd(_mm256_cmp_pd(s0, limit0, _CMP_LT_OQ)) |
                (_mm256_movemask_pd(_mm256_cmp_pd(s1, limit1, _CMP_LT_OQ)) << 4);
        if (below == 0) continue;
        alignas(32) double lane[kLanes];
        _mm256_store_pd(lane, s0);
        _mm256_store_pd(lane + 4, s1);
        while (below != 0) {
            const int l = __builtin_ctz(static_cast<unsigned>(below));
            below &= below - 1;
            entries[n] = c * kLanes + l;
            sums[n] = lane[l];
            ++n;
        }
    }
    return n;
}

__attribute__((target("avx2"))) Extremes ExtremesAvx2(const double* radius, const int* population, int k) {
    __m256d r = _mm256_setzero_pd();
    __m256d prod = _mm256_setzero_pd();
    __m128i pop = _mm_setzero_si128();
    int j = 0;
    for (; j + 4 <= k; j += 4) {
        const __m256d rj = _mm256_loadu_pd(radius + j);
        const __m128i pj = _mm_loadu_si128(reinterpret_cast<const __m128i*>(population + j));
        r = _mm256_max_pd(rj, r);
        pop = _mm_max_epi32(pj, pop);
        prod = _mm256_max_pd(_mm256_mul_pd(rj, _mm256_cvtepi32_pd(pj)), prod);
    }
    alignas(32) double rl[4], pl[4];
    alignas(16) int ql[4];
    _mm256_store_pd(rl, r);
    _mm256_store_pd(pl, prod);
    _mm_store_si128(reinterpret_cast<__m128i*>(ql), pop);
    Extremes e = ExtremesPortable(radius + j, population + j, k - j);
    for (int l = 0; l < 4; ++l) {
        if (rl[l] > e.rmax) e.rmax = rl[l];
        if (pl[l] > e.prodmax) e.prodmax = pl[l];
        if (ql[l] > e.pmax) e.pmax = ql[l];
    }
    return e;
}

__attribute__((target("avx2"))) int ReachingAvx2(const double* radius, const int* population, int k, double floor,
                                                 int* out) {
    const __m256d f = _mm256_set1_pd(floor);
    int n = 0;
    int j = 0;
    for (; j + 4 <= k; j += 4) {
        const __m256d prod = _mm256_mul_pd(
            _mm256_loadu_pd(radius + j),
            _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(population + j))));
        int hit = _mm256_movemask_pd(_mm256_cmp_pd(prod, f, _CMP_GE_OQ));
        while (hit != 0) {
            out[n++] = j + __builtin_ctz(static_cast<unsigned>(hit));
            hit &= hit - 1;
        }
    }
    // The last prototypes, numbered from j.
    const int tail = ReachingPortable(radius + j, population + j, k - j, floor, out + n);
    for (int i = 0; i < tail; ++i) out[n + i] += j;
    return n + tail;
}

constexpr SamplingKernels kAvx2 = {ScanPrototypesAvx2, ScanListAvx2, ExtremesAvx2, ReachingAvx2};

bool CpuHasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2") != 0;
    return has;
}

#else

bool CpuHasAvx2() { return false; }

#endif

}  // namespace

const SamplingKernels& ChooseKernels(int acceleration) {
#if defined(TAVRI_SAMPLING_X86)
    if (acceleration == 2 && CpuHasAvx2()) return kAvx2;
#endif
    (void)acceleration;
    return kPortable;
}

bool HasAvx2Kernels() { return CpuHasAvx2(); }

}  // namespace tavri

#include "sampling.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TAVRI_SAMPLING_X86 1
#endif

namespace {

// The matrix helpers report failure by a null result; here, as for every other
// allocation of the step, running out of memory ends the run.
double** TakeMatrix(int rows, int cols) {
    double** m = Reservmemdouble(rows, cols);
    if (m == nullptr) throw std::bad_alloc();
    return m;
}

constexpr double kInf = std::numeric_limits<double>::infinity();

// d_Eucl from a sum of squares, and the sum itself in index order: together
// the same bits as d_Eucl, without the call through a pointer.
inline double EuclidFromSquares(double s) { return s == 0.0 ? 0.0 : std::sqrt(s); }
inline double SquaredDistance(const double* a, const double* b, int dims) {
    double s = 0.0;
    for (int t = 0; t < dims; ++t) {
        const double diff = a[t] - b[t];
        s += diff * diff;
    }
    return s;
}
inline double Euclid(const double* a, const double* b, int dims) {
    return EuclidFromSquares(SquaredDistance(a, b, dims));
}

}  // namespace

// ---- Parameter block -------------------------------------------------------

ParamFCNNrule* InitParamFCNNrule(int n) {
    ParamFCNNrule* p = new ParamFCNNrule();
    p->n_rows = n;
    p->distance = d_Eucl;
    p->cost_history = new double[n];
    p->max_radius_history = new double[n];
    for (int i = 0; i < n; ++i) {
        // Stands for "no cost yet": larger than any normalised cost.
        p->cost_history[i] = 1e10;
        p->max_radius_history[i] = 0.0;
    }
    // n_dims is only known after creation: the centroid pass takes the matrix.
    p->centroids = nullptr;
    p->centroid_rows = n;
    p->centroid_cols = 0;
    p->max_prototypes = n;
    p->scale_by_inertia = 0;
    p->acceleration = 2;
    return p;
}

void InitSingleParamFCNNrule(ParamFCNNrule* p) {
    p->track_criteria = 0;
    p->start_mode = 1;
    p->n_dims = 1;
    p->build_member_lists = 1;
    p->gravity_on = 0;
    p->skip_tests = 1;
    p->acceleration = 2;
    p->cost_threshold = 0.01;
}

void LibereParamFCNNrule(ParamFCNNrule* p) {
    delete[] p->cost_history;
    p->cost_history = nullptr;
    delete[] p->max_radius_history;
    p->max_radius_history = nullptr;
    Delete2D(p->centroids, p->centroid_rows);
    p->centroids = nullptr;
    p->centroid_cols = 0;
}

// ---- Workspace -------------------------------------------------------------

int InitMemory(Internal* w, ParamFCNNrule* p) {
    const int n = p->n_rows;
    const int k1 = p->max_prototypes + 1;
    const int m = max(n, k1);
    w->skip_flag = new int[k1]();
    w->assignment = new int[m]();
    w->farthest_member = new int[m]();
    w->prototype_row = new int[m]();
    w->active = new int[m]();
    w->newest_distance = new double[k1]();
    w->distance_to_prototype = new double[m]();
    w->radius = new double[m]();
    w->population = new int[m]();
    w->split_prototype = -1;
    w->scale = 1.0;
    w->radius_limit = -1.0;
    w->tri = new Tri();
    InitTri(w->tri, k1);
    return 1;
}

void InitTri(Tri* t, int n) { t->label = new int[n](); }

void LibereMemoireAlgorithme(Internal* w, ParamFCNNrule* p) {
    delete[] w->skip_flag;
    delete[] w->assignment;
    delete[] w->farthest_member;
    delete[] w->prototype_row;
    delete[] w->active;
    delete[] w->distance_to_prototype;
    delete[] w->radius;
    delete[] w->population;
    delete[] w->newest_distance;
    (void)p;
    w->skip_flag = w->assignment = w->farthest_member = w->prototype_row = w->active = w->population = nullptr;
    w->distance_to_prototype = w->radius = w->newest_distance = nullptr;
    if (w->tri != nullptr) {
        LibereTri(w->tri);
        delete w->tri;
        w->tri = nullptr;
    }
}

void LibereTri(Tri* t) {
    delete[] t->label;
    t->label = nullptr;
}

// ---- Initialisation --------------------------------------------------------

int InitProgramme(double** data, Internal* w, ParamFCNNrule* p) {
    InitMemory(w, p);
    const int n = p->n_rows;
    // A twentieth of the rows, but never fewer than 1000 (nor more than exist).
    const int s = min(n, max(n / 20, 1000));
    w->scale = p->scale_by_inertia == 1 ? InertieGenAleaListe(data, n, p->n_dims, s) : 1.0;
    const int f = InitParametres(data, w, p);
    // Radii are never negative, so this limit never stops the iteration.
    w->radius_limit = -1.0;
    return f;
}

double InertieGenAleaListe(double** data, int n, int dims, int s) {
    std::srand(static_cast<unsigned>(static_cast<std::uint32_t>(std::time(nullptr))));
    // Draws are taken modulo n-1: fewer than two rows (or an empty sample) give no estimate.
    if (n < s || n < 2 || s < 1) return 0.0;
    std::vector<double> mean(static_cast<std::size_t>(max(dims, 0)), 0.0);
    std::vector<int> drawn(static_cast<std::size_t>(s));
    for (int t = 0; t < s; ++t) {
        const int r = std::rand() % (n - 1);
        drawn[t] = r;
        const double* row = data[r];
        for (int j = 0; j < dims; ++j) mean[j] += row[j];
    }
    for (int j = 0; j < dims; ++j) mean[j] /= s;
    double sum = 0.0;
    for (int t = 0; t < s; ++t) {
        const double d = d_Eucl(mean.data(), data[drawn[t]], dims);
        sum += d * d;
    }
    return std::sqrt(sum / s);
}

int InitParametres(double** data, Internal* w, ParamFCNNrule* p) {
    const int n = p->n_rows;
    const int dims = p->n_dims;
    const int kmax = p->max_prototypes;
    std::fill(w->newest_distance, w->newest_distance + kmax + 1, 0.0);
    for (int i = 0; i < n; ++i) {
        w->active[i] = 1;
        // Farther than any real distance, so the first pass assigns every row.
        w->distance_to_prototype[i] = 1e10;
        w->radius[i] = -1e10;
        w->assignment[i] = 0;
    }
    for (int j = 0; j < kmax; ++j) w->skip_flag[j] = 0;

    int f = 0;
    if (p->start_mode != 0 && p->start_mode != -1) {
        if (n >= 2) f = std::rand() % (n - 1);
    } else {
        const bool maximum = p->start_mode == -1;
        std::vector<double> corner(static_cast<std::size_t>(max(dims, 0)), maximum ? -1e10 : 1e10);
        for (int i = 0; i < n; ++i) {
            const double* row = data[i];
            for (int j = 0; j < dims; ++j) {
                if (maximum ? row[j] > corner[j] : row[j] < corner[j]) corner[j] = row[j];
            }
        }
        // Strict comparison: the first row at the smallest distance wins.
        double best = 100000.0;
        const bool euclid = p->distance == d_Eucl;
        for (int i = 0; i < n; ++i) {
            const double d = euclid ? Euclid(corner.data(), data[i], dims) : p->distance(corner.data(), data[i], dims);
            if (d < best) {
                best = d;
                f = i;
            }
        }
    }
    w->distance_to_prototype[f] = 0.0;
    w->population[0] = n;
    w->farthest_member[0] = f;
    w->active[f] = 0;
    w->prototype_row[0] = f;
    return f;
}

// ---- Iteration -------------------------------------------------------------

namespace {

// ---- Member lists ----
//
// The listed iteration keeps, per prototype, the list of its non-prototype
// rows. A prototype that passes the skip test loses no row, so its radius and
// farthest member stand; only the lists of the prototypes that fail it are
// visited. Squared distances settle most comparisons with a margin; whenever
// the outcome is not certain the exact distance decides, so every result is
// the one of the plain pass over all rows.

constexpr int kLanes = 8;                // entries per chunk: rows measured side by side
constexpr int kVisitsAhead = 4;          // lists whose first chunk is fetched that many visits ahead
constexpr double kValueBound = 1e100;    // every squared distance of such values is finite
constexpr double kMargin = 1.0 + 1e-12;  // far above the rounding of a squared distance and its root
constexpr double kTiny = 1e-140;         // below this a square loses relative precision: decide exactly
constexpr double kScoreLow = 1e-200;     // radius range in which the product filter of the score is sound
constexpr double kScoreHigh = 1e300;

// Squared distance from which a prototype of radius r certainly passes the
// skip test (its distance x 0.5 > r); +inf when only the exact test can tell.
double CertainSkip(double r) {
    // Any positive sum gives a positive root, whose half is above 0.
    if (r == 0.0) return std::numeric_limits<double>::denorm_min();
    if (r >= kTiny) {
        const double twice = 2.0 * r;
        return twice * twice * kMargin;
    }
    return kInf;
}

// Rows of every prototype in chunks of kLanes entries: row index, distance to
// the prototype and a lane-interleaved copy of the coordinates, entry (c, l)
// dimension t at Coords(c)[t * kLanes + l]. The copy keeps the rows a visit
// measures side by side in memory, whatever the width of the data. Each chunk
// also has a bound: the largest distance in it and in the rest of its list, so
// that a visit stops once the per-row test excuses everything from there on.
// Lists are filled roughly in order of decreasing distance, which makes the
// bounds fall quickly; no result depends on that order. A leaving row is marked
// dead (row -1, distance -inf), which leaves the bounds valid, and dropped when
// its list is compacted; lanes past the end of a list are dead too.
struct MemberLists {
    // One chunk is one record of whole cache lines: distances, rows, bound and
    // link, then the coordinates; a visit reads it front to back.
    static constexpr std::size_t kHeadBytes = 128;
    struct Head {
        double dist[kLanes];
        int row[kLanes];
        double bound;
        int next;
    };
    static_assert(sizeof(Head) <= kHeadBytes, "chunk head");
    struct FreeBlock {
        void operator()(unsigned char* block) const { std::free(block); }
    };

    int dims = 0;
    int capacity = 0;
    int used = 0;
    int free_head = -1;
    std::size_t record = 0;  // bytes per chunk
    std::unique_ptr<unsigned char[], FreeBlock> arena;
    std::vector<int> head, tail, size, dead;  // size counts dead entries too
    std::vector<int> chain;                   // scratch: the chunks of one list

    void Init(long long chunks, int width, int lists) {
        if (chunks > std::numeric_limits<int>::max() / kLanes) throw std::bad_alloc();
        capacity = static_cast<int>(chunks);
        dims = width;
        record = kHeadBytes + static_cast<std::size_t>(dims) * kLanes * sizeof(double);
        // Left uninitialised: a chunk is written when handed out, so only used chunks take memory.
        void* block = std::aligned_alloc(64, record * static_cast<std::size_t>(std::max(capacity, 1)));
        if (block == nullptr) throw std::bad_alloc();
        arena.reset(static_cast<unsigned char*>(block));
        head.assign(static_cast<std::size_t>(lists), -1);
        tail.assign(static_cast<std::size_t>(lists), -1);
        size.assign(static_cast<std::size_t>(lists), 0);
        dead.assign(static_cast<std::size_t>(lists), 0);
        chain.assign(static_cast<std::size_t>(capacity), 0);
    }
    Head& At(int c) const { return *reinterpret_cast<Head*>(arena.get() + record * static_cast<std::size_t>(c)); }
    double* Dist(int c) const { return At(c).dist; }
    int* Row(int c) const { return At(c).row; }
    double* Coords(int c) const {
        return reinterpret_cast<double*>(arena.get() + record * static_cast<std::size_t>(c) + kHeadBytes);
    }
    int& Next(int c) const { return At(c).next; }
    double& Bound(int c) const { return At(c).bound; }
    double& D(int e) const { return At(e / kLanes).dist[e % kLanes]; }
    int& R(int e) const { return At(e / kLanes).row[e % kLanes]; }
    void Prefetch(int c) const {
        const unsigned char* from = arena.get() + record * static_cast<std::size_t>(c);
        for (std::size_t at = 0; at < record; at += 64) __builtin_prefetch(from + at);
    }

    int Take() {
        int c = free_head;
        if (c >= 0) {
            free_head = Next(c);
        } else {
            // The capacity bounds the live, dead and partial entries of all lists.
            if (used == capacity) throw std::logic_error("sampling: member chunks exhausted");
            c = used++;
        }
        Head& h = At(c);
        h.next = -1;
        h.bound = -kInf;
        for (int l = 0; l < kLanes; ++l) {
            h.row[l] = -1;
            h.dist[l] = -kInf;
        }
        std::fill_n(Coords(c), dims * kLanes, 0.0);
        return c;
    }
    void Release(int c) {
        Next(c) = free_head;
        free_head = c;
    }
    // src[t * stride] is dimension t of the row.
    void Append(int j, int r, double d, const double* src, int stride) {
        if (size[j] % kLanes == 0) {
            const int c = Take();
            if (tail[j] < 0) {
                head[j] = c;
            } else {
                Next(tail[j]) = c;
            }
            tail[j] = c;
        }
        const int c = tail[j];
        const int l = size[j] % kLanes;
        Row(c)[l] = r;
        Dist(c)[l] = d;
        double* x = Coords(c) + l;
        for (int t = 0; t < dims; ++t) x[t * kLanes] = src[static_cast<std::size_t>(t) * stride];
        ++size[j];
    }
    // The coordinates stay, for a later Append from this entry.
    void Kill(int j, int e) {
        R(e) = -1;
        D(e) = -kInf;
        ++dead[j];
    }
    // Entry of row r in list j, -1 when absent.
    int Find(int j, int r) const {
        int c = head[j];
        for (int base = 0; base < size[j]; base += kLanes, c = Next(c)) {
            for (int l = 0; l < kLanes; ++l) {
                if (Row(c)[l] == r) return c * kLanes + l;
            }
        }
        return -1;
    }
    // The largest distance, ties to the larger row, as a pass in row order
    // keeping `d >= radius` finds; 0.0 and -1 when empty.
    void Farthest(int j, double& radius, int& farthest) const {
        radius = 0.0;
        farthest = -1;
        int c = head[j];
        // Strict: a later chunk may still hold an equal distance with a larger row.
        for (int base = 0; base < size[j] && !(Bound(c) < radius); base += kLanes, c = Next(c)) {
            for (int l = 0; l < kLanes; ++l) {
                const int r = Row(c)[l];
                const double d = Dist(c)[l];
                if (r >= 0 && (d > radius || (d == radius && r > farthest))) {
                    radius = d;
                    farthest = r;
                }
            }
        }
    }
    // Sets the bounds of list j from its live entries.
    void SetBounds(int j) {
        int n = 0;
        for (int c = head[j]; c >= 0; c = Next(c)) chain[n++] = c;
        double largest = -kInf;
        for (int i = n - 1; i >= 0; --i) {
            const int c = chain[i];
            for (int l = 0; l < kLanes; ++l) {
                if (Row(c)[l] >= 0 && Dist(c)[l] > largest) largest = Dist(c)[l];
            }
            Bound(c) = largest;
        }
    }
    // Moves the live entries to the front, in order, and frees the chunks left over.
    void Compact(int j) {
        int rc = head[j];
        int wc = head[j];
        int wl = 0;
        int written = 0;
        for (int base = 0; base < size[j]; base += kLanes, rc = Next(rc)) {
            for (int l = 0; l < kLanes; ++l) {
                if (Row(rc)[l] < 0) continue;
                if (wl == kLanes) {
                    wc = Next(wc);
                    wl = 0;
                }
                if (wc != rc || wl != l) {
                    Row(wc)[wl] = Row(rc)[l];
                    Dist(wc)[wl] = Dist(rc)[l];
                    const double* from = Coords(rc) + l;
                    double* to = Coords(wc) + wl;
                    for (int t = 0; t < dims; ++t) to[t * kLanes] = from[t * kLanes];
                }
                ++wl;
                ++written;
            }
        }
        int c = head[j];
        if (written == 0) {
            head[j] = tail[j] = -1;
        } else {
            for (int l = wl; l < kLanes; ++l) {
                Row(wc)[l] = -1;
                Dist(wc)[l] = -kInf;
            }
            c = Next(wc);
            Next(wc) = -1;
            tail[j] = wc;
        }
        while (c >= 0) {
            const int after = Next(c);
            Release(c);
            c = after;
        }
        size[j] = written;
        dead[j] = 0;
        SetBounds(j);
    }
};

// A row joining the newest prototype during a step.
struct Mover {
    double d;
    int row;
    int entry;  // where its coordinates are (a dead entry of its former list), -1: the data row (first step)
};
// A new list is filled by bands of distance, from its largest distance down to
// 0, about four rows to a band.
constexpr int kRowsPerBand = 4;
constexpr int kFewestBands = 32;

// ---- Kernels ----
//
// Each has a portable and an AVX2 version with the same arithmetic per lane:
// every squared distance sums its coordinates in index order, with separate
// multiplications and additions. Sums only grow, so stopping once a sum has
// reached its limit never changes which limits are reached.

// Squared distances from q to prototypes [0, count), stored dimension by
// dimension (pc[t * stride + j]). Reports (out, with the complete sum in
// sums) every prototype whose sum stays below certain[j]; entries of certain
// past count must be 0.0. Returns the number reported.
int ScanPortable(const double* pc, std::size_t stride, int dims, int count, const double* q, const double* certain,
                 int* out, double* sums) {
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

// Scans list g for the rows that may be strictly nearer to q than to g: live,
// not excused by the per-row test (dg >= 2d, with dg the distance from g to q,
// NaN when skip tests are off), and with a squared distance to q below
// d x d x kMargin (+inf for tiny d). Writes their entries and complete sums;
// returns their count. The scan stops at the first chunk from which the
// bound excuses every row.
int ScanListPortable(const MemberLists& lists, int g, const double* q, int dims, double dg, int* entries,
                     double* sums) {
    int n = 0;
    int c = lists.head[g];
    for (int base = 0; base < lists.size[g]; base += kLanes, c = lists.Next(c)) {
        if (dg >= 2.0 * lists.Bound(c)) break;
        const double* d = lists.Dist(c);
        for (int l = 0; l < kLanes; ++l) {
            const double dl = d[l];
            if (!(dl >= 0.0) || dg >= 2.0 * dl) continue;
            const double limit = dl >= kTiny ? dl * dl * kMargin : kInf;
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

struct Extremes {
    double rmax;
    int pmax;
    double prodmax;  // largest radius x population
};

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

// First prototype with the best score among those whose radius x population
// reaches floor, in prototype order (best starts at 0.0, strict comparison).
// Scores prototype j and keeps it when strictly better (ties stay with the
// lower prototype number).
inline void ConsiderScore(const double* radius, const int* population, int j, double rmax, int pmax, int& split,
                          double& best) {
    const double score = (radius[j] / rmax) * (static_cast<double>(population[j]) / pmax);
    if (score > best) {
        split = j;
        best = score;
    }
}

// Scores prototypes from..k-1 whose radius x population reaches floor.
inline void ScoreTail(const double* radius, const int* population, int from, int k, double rmax, int pmax,
                      double floor, int& split, double& best) {
    for (int j = from; j < k; ++j)
        if (radius[j] * static_cast<double>(population[j]) >= floor)
            ConsiderScore(radius, population, j, rmax, pmax, split, best);
}

int BestAmongPortable(const double* radius, const int* population, int k, double rmax, int pmax, double floor) {
    int split = -1;
    double best = 0.0;
    ScoreTail(radius, population, 0, k, rmax, pmax, floor, split, best);
    return split;
}

#if defined(TAVRI_SAMPLING_X86)

__attribute__((target("avx2"))) int ScanAvx2(const double* pc, std::size_t stride, int dims, int count,
                                             const double* q, const double* certain, int* out, double* sums) {
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
__attribute__((target("avx2"))) int ScanListAvx2(const MemberLists& lists, int g, const double* q, int dims,
                                                 double dg, int* entries, double* sums) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d two = _mm256_set1_pd(2.0);
    const __m256d gq = _mm256_set1_pd(dg);
    const __m256d tiny = _mm256_set1_pd(kTiny);
    const __m256d inf = _mm256_set1_pd(kInf);
    const __m256d margin = _mm256_set1_pd(kMargin);
    int n = 0;
    int c = lists.head[g];
    for (int base = 0; base < lists.size[g]; base += kLanes, c = lists.Next(c)) {
        if (dg >= 2.0 * lists.Bound(c)) break;
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
        // NGE_UQ: true for a NaN dg, so that every live row is measured when skip tests are off.
        const __m256d need0 = _mm256_and_pd(live0, _mm256_cmp_pd(gq, _mm256_mul_pd(two, d0), _CMP_NGE_UQ));
        const __m256d need1 = _mm256_and_pd(live1, _mm256_cmp_pd(gq, _mm256_mul_pd(two, d1), _CMP_NGE_UQ));
        const int need = _mm256_movemask_pd(need0) | (_mm256_movemask_pd(need1) << 4);
        if (need != 0) {
            // Rows not to measure get limit 0.0, which no sum is below.
            __m256d limit0 = _mm256_mul_pd(_mm256_mul_pd(d0, d0), margin);
            __m256d limit1 = _mm256_mul_pd(_mm256_mul_pd(d1, d1), margin);
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
            if (below != 0) {
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

__attribute__((target("avx2"))) int BestAmongAvx2(const double* radius, const int* population, int k, double rmax,
                                                  int pmax, double floor) {
    const __m256d f = _mm256_set1_pd(floor);
    int split = -1;
    double best = 0.0;
    int j = 0;
    for (; j + 4 <= k; j += 4) {
        const __m256d prod = _mm256_mul_pd(
            _mm256_loadu_pd(radius + j),
            _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(population + j))));
        int hit = _mm256_movemask_pd(_mm256_cmp_pd(prod, f, _CMP_GE_OQ));
        while (hit != 0) {
            const int i = j + __builtin_ctz(static_cast<unsigned>(hit));
            hit &= hit - 1;
            ConsiderScore(radius, population, i, rmax, pmax, split, best);
        }
    }
    ScoreTail(radius, population, j, k, rmax, pmax, floor, split, best);
    return split;
}

bool CpuHasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2") != 0;
    return has;
}

#else

bool CpuHasAvx2() { return false; }

#endif

// Prototype to split among the k, or -1: the rule of FindNewInstance_PROBA.
// With the radii in a sound range, a prototype whose radius x population lies
// a relative 1e-9 below the largest cannot reach the best score (each score
// is that product over rmax x pmax within three roundings), so only the others
// are scored, in order, exactly as the full pass would.
int ChooseSplit(const double* radius, const int* population, int k, bool avx2, double& rmax) {
#if defined(TAVRI_SAMPLING_X86)
    const Extremes e = avx2 ? ExtremesAvx2(radius, population, k) : ExtremesPortable(radius, population, k);
#else
    const Extremes e = ExtremesPortable(radius, population, k);
#endif
    rmax = e.rmax;
    const bool filter = e.rmax >= kScoreLow && e.pmax >= 1 && e.rmax * e.pmax <= kScoreHigh;
    // -inf admits every prototype: the plain score pass (rmax 0.0 makes every score NaN).
    const double floor = filter ? e.prodmax * (1.0 - 1e-9) : -kInf;
#if defined(TAVRI_SAMPLING_X86)
    if (avx2) return BestAmongAvx2(radius, population, k, e.rmax, e.pmax, floor);
#endif
    return BestAmongPortable(radius, population, k, e.rmax, e.pmax, floor);
}

// The listed iteration applies to d_Eucl on finite data small enough that no
// squared distance overflows.
bool ListedIterationApplies(double** data, const ParamFCNNrule* p) {
    if (p->acceleration == 0 || p->distance != d_Eucl || p->n_dims < 1) return false;
    for (int i = 0; i < p->n_rows; ++i) {
        const double* row = data[i];
        bool inside = true;
        for (int t = 0; t < p->n_dims; ++t) inside &= std::fabs(row[t]) <= kValueBound;
        if (!inside) return false;
    }
    return true;
}

// The loop of SamplingApproach_PROBA through member lists, from the first
// prototype at row `next`; returns k. Each step does what InitBoucle,
// FindNewInstance_PROBA and Update1knnPrototype do, visiting only the
// prototypes that fail the skip test and, among their rows, measuring only
// those the per-row test does not excuse.
int ListedIteration(double** data, Internal* w, ParamFCNNrule* p, int next, bool avx2) {
    const int n = p->n_rows;
    const int dims = p->n_dims;
    const int kmax = p->max_prototypes;
    const bool use_skips = p->skip_tests != 0;
    // Room for 4-lane loads past the last prototype.
    const std::size_t stride = static_cast<std::size_t>(kmax + 1) / 4 * 4 + 8;
    std::vector<double> pc(stride * static_cast<std::size_t>(dims), 0.0);  // prototype coordinates by dimension
    std::vector<double> certain(stride, 0.0);  // per prototype: CertainSkip of its radius
    std::vector<int> candidates(static_cast<std::size_t>(kmax) + 1);
    std::vector<double> candidate_sums(static_cast<std::size_t>(kmax) + 1);
    std::vector<int> visit(static_cast<std::size_t>(kmax) + 1);
    std::vector<double> visit_distance(static_cast<std::size_t>(kmax) + 1);
    std::vector<char> lost_farthest(static_cast<std::size_t>(kmax) + 1);
    std::vector<int> entries(static_cast<std::size_t>(n));
    std::vector<double> sums(static_cast<std::size_t>(n));
    std::vector<Mover> movers(static_cast<std::size_t>(n));
    std::vector<int> band(static_cast<std::size_t>(n));
    std::vector<int> order(static_cast<std::size_t>(n));
    std::vector<int> count(static_cast<std::size_t>(std::max(n / kRowsPerBand, kFewestBands)) + 1);
    MemberLists lists;
    // At the start of a step every list holds at most half as many dead as
    // live entries; the step adds the newest list; each list may end in a
    // partial chunk.
    lists.Init(5LL * n / (2 * kLanes) + 2LL * (kmax + 1) + 16, dims, kmax + 1);

    int* assignment = w->assignment;
    int* population = w->population;
    int* farthest = w->farthest_member;
    double* dist = w->distance_to_prototype;
    double* radius = w->radius;

    int k = 0;
    int b = 0;
    for (;;) {
        k = b + 1;
        const int q = next;
        const double* newest = data[q];
        w->prototype_row[b] = q;
        for (int t = 0; t < dims; ++t) pc[t * stride + b] = newest[t];
        assignment[q] = b;
        int nm = 0;
        int nv = 0;
        // Farthest member of the newest prototype, whatever the order of its rows.
        double rb = 0.0;
        int fb = -1;
        if (b == 0) {
            // One prototype holding every row: all are measured.
            for (int i = 0; i < n; ++i) {
                if (w->active[i] != 1) continue;
                const double e = Euclid(data[i], newest, dims);
                if (e < dist[i]) dist[i] = e;
                movers[nm++] = Mover{dist[i], i, -1};
                if (dist[i] >= rb) {
                    rb = dist[i];
                    fb = i;
                }
            }
        } else {
            const int s = w->split_prototype;
            population[b] = 1;
            if (s >= 0) --population[s];
            bool split_seen = s < 0;
            if (use_skips) {
#if defined(TAVRI_SAMPLING_X86)
                const int nc = avx2 ? ScanAvx2(pc.data(), stride, dims, b, newest, certain.data(), candidates.data(),
                                               candidate_sums.data())
                                    : ScanPortable(pc.data(), stride, dims, b, newest, certain.data(),
                                                   candidates.data(), candidate_sums.data());
#else
                const int nc = ScanPortable(pc.data(), stride, dims, b, newest, certain.data(), candidates.data(),
                                            candidate_sums.data());
#endif
                for (int c = 0; c < nc; ++c) {
                    const int j = candidates[c];
                    const double dj = EuclidFromSquares(candidate_sums[c]);
                    if (dj * 0.5 > radius[j]) continue;  // the skip test, exactly
                    visit[nv] = j;
                    visit_distance[nv] = dj;
                    ++nv;
                    split_seen |= j == s;
                }
            } else {
                for (int j = 0; j < b; ++j) {
                    visit[nv] = j;
                    visit_distance[nv] = std::numeric_limits<double>::quiet_NaN();
                    ++nv;
                }
                split_seen = true;
            }
            // The split prototype loses its farthest member to the newest one;
            // should it pass the skip test, none of its rows is measured.
            if (!split_seen) {
                visit[nv] = s;
                visit_distance[nv] = kInf;
                ++nv;
            }
            // A visit starts on a chunk not touched for a while: fetch a few ahead.
            for (int v = 0; v < std::min(nv, kVisitsAhead); ++v) {
                if (lists.head[visit[v]] >= 0) lists.Prefetch(lists.head[visit[v]]);
            }
            for (int v = 0; v < nv; ++v) {
                const int g = visit[v];
                const double dg = visit_distance[v];
                if (v + kVisitsAhead < nv && lists.head[visit[v + kVisitsAhead]] >= 0)
                    lists.Prefetch(lists.head[visit[v + kVisitsAhead]]);
                bool lost = false;
                if (lists.head[g] >= 0 && lists.Next(lists.head[g]) >= 0) lists.Prefetch(lists.Next(lists.head[g]));
                if (g == s) {
                    const int e = lists.Find(g, q);
                    if (e < 0) throw std::logic_error("sampling: new prototype missing from its list");
                    lists.Kill(g, e);
                    lost |= farthest[g] == q;
                }
#if defined(TAVRI_SAMPLING_X86)
                const int nc = avx2 ? ScanListAvx2(lists, g, newest, dims, dg, entries.data(), sums.data())
                                    : ScanListPortable(lists, g, newest, dims, dg, entries.data(), sums.data());
#else
                const int nc = ScanListPortable(lists, g, newest, dims, dg, entries.data(), sums.data());
#endif
                const int before = nm;
                for (int c = 0; c < nc; ++c) {
                    const int e = entries[c];
                    const double d = EuclidFromSquares(sums[c]);
                    // Strict: a tie leaves the row with the older prototype.
                    if (!(d < lists.D(e))) continue;
                    const int r = lists.R(e);
                    lists.Kill(g, e);
                    movers[nm++] = Mover{d, r, e};
                    lost |= r == farthest[g];
                    if (d > rb || (d == rb && r > fb)) {
                        rb = d;
                        fb = r;
                    }
                }
                population[g] -= nm - before;
                population[b] += nm - before;
                lost_farthest[v] = lost ? 1 : 0;
            }
        }
        // The newest prototype's list, by bands of decreasing distance; the
        // coordinates of its rows are still in the dead entries, which no
        // compaction has dropped yet.
        const int bands = std::max(nm / kRowsPerBand, kFewestBands);
        std::fill_n(count.begin(), bands + 1, 0);
        const double per_band = rb > 0.0 ? bands / rb : 0.0;
        for (int m = 0; m < nm; ++m) {
            band[m] = std::min(bands - 1, static_cast<int>((rb - movers[m].d) * per_band));
            ++count[band[m] + 1];
        }
        for (int i = 0; i < bands; ++i) count[i + 1] += count[i];
        for (int m = 0; m < nm; ++m) order[count[band[m]]++] = m;
        for (int i = 0; i < nm; ++i) {
            const Mover& mv = movers[order[i]];
            if (mv.entry >= 0) {
                lists.Append(b, mv.row, mv.d, lists.Coords(mv.entry / kLanes) + mv.entry % kLanes, kLanes);
            } else {
                lists.Append(b, mv.row, mv.d, data[mv.row], 1);
            }
        }
        lists.SetBounds(b);
        radius[b] = rb;
        farthest[b] = fb;
        certain[b] = CertainSkip(rb);
        for (int v = 0; v < nv; ++v) {
            const int g = visit[v];
            // Otherwise the farthest member stays, and with it the radius.
            if (lost_farthest[v] != 0) {
                lists.Farthest(g, radius[g], farthest[g]);
                certain[g] = CertainSkip(radius[g]);
            }
            if (2 * lists.dead[g] > lists.size[g] - lists.dead[g]) lists.Compact(g);
        }

        double rmax = 0.0;
        w->split_prototype = ChooseSplit(radius, population, k, avx2, rmax);
        next = w->split_prototype == -1 ? -1 : farthest[w->split_prototype];
        if (next == -1) break;
        // What ProcessCriteria records: rmax is its largest radius.
        if (p->track_criteria != 0) p->max_radius_history[k - 1] = rmax;
        UpdateAlgorithm(w, k, next);
        // Radii, populations and the scale are never negative: the cost cannot
        // fall below a threshold that is not positive.
        const int stop = p->cost_threshold > 0.0 ? CalculCost(w, p, k) : 0;
        if (stop == 1 || TestFin(w, p, k) == 1) break;
        if (p->progress) p->progress(k, kmax);
        b = k;
    }
    // Rows and their distances live in the lists during the iteration. A row
    // marked as the next prototype when the loop stopped stays a member.
    for (int j = 0; j < k; ++j) {
        for (int c = lists.head[j]; c >= 0; c = lists.Next(c)) {
            for (int l = 0; l < kLanes; ++l) {
                const int r = lists.Row(c)[l];
                if (r < 0) continue;
                assignment[r] = j;
                if (w->active[r] == 1) dist[r] = lists.Dist(c)[l];
            }
        }
    }
    return k;
}

}  // namespace

int SamplingHasAvx2Kernels() { return CpuHasAvx2() ? 1 : 0; }

int SamplingApproach_PROBA(double** data, int* rows_out, int& k, int* pops_out, double* dens_out, int** lists,
                           ParamFCNNrule* p, int* row_assignment) {
    (void)lists;
    if (p == nullptr) return 0;
    // Nothing to represent or no room for a prototype.
    if (p->n_rows < 1 || p->max_prototypes < 1) {
        k = 0;
        return 0;
    }
    Internal* w = new Internal();
    int next = InitProgramme(data, w, p);
    if (ListedIterationApplies(data, p)) {
        k = ListedIteration(data, w, p, next, p->acceleration == 2 && CpuHasAvx2());
    } else {
        int b = 0;
        for (;;) {
            k = b + 1;
            InitBoucle(w, b, next);
            next = FindNewInstance_PROBA(data, w, p, k);
            if (next == -1) break;
            ProcessCriteria(k, w, p);
            UpdateAlgorithm(w, k, next);
            // As in the listed iteration: the cost cannot stop the loop below a threshold that is not positive.
            const int stop = p->cost_threshold > 0.0 ? CalculCost(w, p, k) : 0;
            if (stop == 1 || TestFin(w, p, k) == 1) break;
            if (p->progress) p->progress(k, p->max_prototypes);
            Update1knnPrototype(data, w, p, k);
            b = k;
        }
    }
    for (int j = 0; j < k; ++j) {
        rows_out[j] = w->prototype_row[j];
        pops_out[j] = w->population[j];
        // A prototype whose members all coincide with it has no spread: density 0.0, not infinite.
        dens_out[j] = w->radius[j] != 0.0 ? static_cast<double>(w->population[j]) / w->radius[j] : 0.0;
    }
    if (row_assignment != nullptr) std::copy(w->assignment, w->assignment + p->n_rows, row_assignment);
    if (p->gravity_on == 1) UpdateWithGravity(data, w, p, k);
    LibereMemoireAlgorithme(w, p);
    delete w;
    return k;
}

void InitBoucle(Internal* w, int b, int row) {
    w->prototype_row[b] = row;
    const double* to_newest = w->newest_distance;
    // Radii are still those of the previous step: a prototype whose whole ball
    // lies closer to it than half-way to the newest prototype keeps its members.
    for (int j = 0; j < b; ++j) w->skip_flag[j] = to_newest[j] * 0.5 > w->radius[j] ? 1 : 0;
    for (int j = 0; j <= b; ++j) {
        w->radius[j] = 0.0;
        w->farthest_member[j] = -1;
    }
}

int FindNewInstance_PROBA(double** data, Internal* w, ParamFCNNrule* p, int k) {
    const int last = k - 1;
    const int q = w->prototype_row[last];
    const int n = p->n_rows;
    const int dims = p->n_dims;
    const DistanceFn distance = p->distance;
    const bool euclid = distance == d_Eucl;
    const bool use_skips = p->skip_tests != 0;
    w->assignment[q] = last;
    if (k > 1) {
        // q leaves the prototype it was split from.
        w->population[last] = 1;
        if (w->split_prototype >= 0) --w->population[w->split_prototype];
    }
    w->split_prototype = -1;

    const double* newest = data[q];
    const double* to_newest = w->newest_distance;
    int* assignment = w->assignment;
    int* population = w->population;
    int* farthest = w->farthest_member;
    const int* active = w->active;
    const int* skip_flag = w->skip_flag;
    double* dist = w->distance_to_prototype;
    double* radius = w->radius;
    for (int i = 0; i < n; ++i) {
        if (active[i] != 1) continue;
        int g = assignment[i];
        double d = dist[i];
        // When the newest prototype is at least 2d from g, it is at least d from the row.
        if (!use_skips || (skip_flag[g] == 0 && !(to_newest[g] >= 2.0 * d))) {
            const double e = euclid ? Euclid(data[i], newest, dims) : distance(data[i], newest, dims);
            // Strict: a tie leaves the row with the older prototype.
            if (e < d) {
                dist[i] = e;
                --population[g];
                ++population[last];
                assignment[i] = last;
                g = last;
                d = e;
            }
        }
        // >=: of members at the same largest distance the later row is kept.
        if (d >= radius[g]) {
            radius[g] = d;
            farthest[g] = i;
        }
    }

    if (k >= 1) {
        int pmax = 0;
        double rmax = 0.0;
        for (int j = 0; j < k; ++j) {
            if (population[j] > pmax) pmax = population[j];
            if (radius[j] > rmax) rmax = radius[j];
        }
        // Strict: on equal scores the lower prototype number is split. With
        // rmax 0.0 every score is NaN and nothing is chosen.
        double best = 0.0;
        for (int j = 0; j < k; ++j) {
            const double score = (radius[j] / rmax) * (static_cast<double>(population[j]) / pmax);
            if (score > best) {
                w->split_prototype = j;
                best = score;
            }
        }
    }
    return w->split_prototype == -1 ? -1 : farthest[w->split_prototype];
}

void ProcessCriteria(int k, Internal* w, ParamFCNNrule* p) {
    if (p->track_criteria == 0 || k < 1) return;
    double largest = 0.0;
    for (int j = 0; j < k; ++j) {
        if (w->radius[j] > largest) largest = w->radius[j];
    }
    p->max_radius_history[k - 1] = largest;
}

void UpdateAlgorithm(Internal* w, int k, int row) {
    if (row == -1) return;
    w->distance_to_prototype[row] = 0.0;
    w->active[row] = 0;
    w->prototype_row[k] = row;
}

int CalculCost(Internal* w, ParamFCNNrule* p, int k) {
    double sum = 0.0;
    for (int j = 0; j < k; ++j) sum += static_cast<double>(w->population[j]) * w->radius[j];
    const double cost = sum / (static_cast<double>(p->n_rows) * w->scale);
    if (k >= 1) p->cost_history[k - 1] = cost;
    return cost < p->cost_threshold ? 1 : 0;
}

int TestFin(Internal* w, ParamFCNNrule* p, int& k) {
    if (k >= p->max_prototypes || k == p->n_rows - 1) return 1;
    if (p->track_criteria == 1 && k >= 1 && w->radius_limit > p->max_radius_history[k - 1]) return 1;
    return 0;
}

void Update1knnPrototype(double** data, Internal* w, ParamFCNNrule* p, int k) {
    const double* newest = data[w->prototype_row[k]];
    const bool euclid = p->distance == d_Eucl;
    for (int j = 0; j < k; ++j) {
        const double* other = data[w->prototype_row[j]];
        w->newest_distance[j] = euclid ? Euclid(other, newest, p->n_dims) : p->distance(other, newest, p->n_dims);
    }
    // Read only in the first step, where every row belongs to the newest prototype.
    w->newest_distance[k] = 0.0;
}

int UpdateWithGravity(double** data, Internal* w, ParamFCNNrule* p, int k) {
    const int dims = p->n_dims;
    if (p->centroids == nullptr || p->centroid_cols < dims) {
        Delete2D(p->centroids, p->centroid_rows);
        p->centroids = TakeMatrix(p->centroid_rows, dims);
        p->centroid_cols = dims;
    }
    double** c = p->centroids;
    for (int j = 0; j < k; ++j) std::fill(c[j], c[j] + dims, 0.0);
    for (int i = 0; i < p->n_rows; ++i) {
        const int g = w->assignment[i];
        if (g < 0 || g >= k) continue;
        const double* row = data[i];
        for (int t = 0; t < dims; ++t) c[g][t] += row[t];
    }
    for (int j = 0; j < k; ++j) {
        for (int t = 0; t < dims; ++t) c[j][t] /= w->population[j];
    }
    return 1;
}

void AttributionPattern(int k, int** lists, Internal* w, ParamFCNNrule* p) {
    if (p->build_member_lists == 0 || lists == nullptr || k <= 0) return;
    const int n = p->n_rows;
    std::vector<int> fill(static_cast<std::size_t>(k), 0);
    for (int i = 0; i < n; ++i) {
        const int g = w->assignment[i];
        if (g >= 0 && g < k) ++fill[g];
    }
    for (int j = 0; j < k; ++j) {
        delete[] lists[j];
        lists[j] = fill[j] > 0 ? new int[fill[j]] : nullptr;
        fill[j] = 0;
    }
    for (int i = 0; i < n; ++i) {
        const int g = w->assignment[i];
        if (g >= 0 && g < k) lists[g][fill[g]++] = i;
    }
}

void UpdateInstance(int n, int value, int* out, int& count, Internal* w) {
    for (int i = 0; i < n; ++i) {
        if (w->tri->label[i] == value) out[count++] = w->prototype_row[i];
    }
}

int InegalTriangular(double** m, double x, int r, int col) {
    const double v = m[r][col];
    return (v < 2.0 * x || std::isnan(v)) ? 1 : 0;
}

void DisablePrototype(const double* radii, const double* row, int n, int* flags) {
    for (int i = 0; i < n - 1; ++i) flags[i] = row[i] * 0.5 > radii[i] ? 1 : 0;
}

// ---- Front end -------------------------------------------------------------

int SampleRows(double** data, int n, int dims, int max_prototypes, int* rows, int* populations, double* densities,
               int* row_assignment, const std::function<void(int, int)>& progress) {
    // Release the block on every path, an exhausted heap included.
    struct BlockOwner {
        ParamFCNNrule* p;
        ~BlockOwner() {
            LibereParamFCNNrule(p);
            delete p;
        }
    } block{InitParamFCNNrule(n)};
    ParamFCNNrule* p = block.p;
    InitSingleParamFCNNrule(p);
    p->n_dims = dims;
    p->n_rows = n;
    p->max_prototypes = max_prototypes;
    p->track_criteria = 1;
    p->cost_threshold = 0.0;
    p->gravity_on = 0;
    // The pipeline's options: the first prototype at the minimum corner, the
    // cost scaled by the inertia estimate.
    p->start_mode = 0;
    p->scale_by_inertia = 1;
    p->progress = progress;
    int k = max_prototypes;
    // The member lists are never filled by the iteration, so none are made.
    return SamplingApproach_PROBA(data, rows, k, populations, densities, nullptr, p, row_assignment);
}

int SamplingApproach_PROBA_P(double** data, int n, int dims, double threshold, double** prototypes, int& count,
                             double* densities, int* rows, int* populations, char* reserved, int* options,
                             int* row_assignment) {
    (void)reserved;
    const int kmax = count;
    ParamFCNNrule* p = InitParamFCNNrule(n);
    InitSingleParamFCNNrule(p);
    p->n_dims = dims;
    p->n_rows = n;
    p->max_prototypes = kmax;
    p->track_criteria = 1;
    p->cost_threshold = threshold;
    p->gravity_on = 0;
    if (options != nullptr) {
        p->start_mode = options[1];
        p->scale_by_inertia = options[3];
    }
    // The member lists are never filled by the iteration, so none are made.
    int m = SamplingApproach_PROBA(data, rows, count, populations, densities, nullptr, p, row_assignment);
    m = SelectinstanceWithListe(data, dims, rows, m, 0, nullptr, prototypes);
    count = m;
    LibereParamFCNNrule(p);
    delete p;
    return m;
}

int SelectinstanceWithListe(double** data, int dims, const int* rows, int m, int min_count, int* counts,
                            double** out) {
    if (m <= 0) return 0;
    if (counts == nullptr) {
        for (int j = 0; j < m; ++j) std::copy(data[rows[j]], data[rows[j]] + dims, out[j]);
        return m;
    }
    int kept = 0;
    for (int j = 0; j < m; ++j) {
        if (counts[j] < min_count) continue;
        std::copy(data[rows[j]], data[rows[j]] + dims, out[kept]);
        counts[kept] = counts[j];
        ++kept;
    }
    return kept;
}

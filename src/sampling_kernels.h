// The inner loops of the listed sampling, portable and with AVX2, chosen
// once per run. Both versions do the same arithmetic per lane: every squared
// distance sums its coordinates in index order, with separate multiplications
// and additions, so they give the same bits. Sums only grow, so stopping once
// a sum has reached its limit never changes which limits are reached.
#pragma once

#include <cstddef>

#include "member_lists.h"

namespace tavri {

// Where a scan of a member list goes on: the chunk it reached (-1: the scan
// is over) and the entries before it.
struct ListCursor {
    int chunk;
    int base;
};

// The largest radius, population and radius x population of k prototypes.
struct Extremes {
    double rmax;
    int pmax;
    double prodmax;
};

struct SamplingKernels {
    // Squared distances from q to prototypes [0, count), stored dimension by
    // dimension (pc[t * stride + j]). Reports (out, with the complete sum in
    // sums) every prototype whose sum stays below certain[j]; entries of
    // certain past count must be 0.0. Returns the number reported.
    int (*scan_prototypes)(const double* pc, std::size_t stride, int dims, int count, const double* q,
                           const double* certain, int* out, double* sums);
    // The rows of list g that may be strictly nearer to q than to g: live, not
    // excused by the per-row test (dg >= 2d, with dg the distance from g to q,
    // NaN when the tests are off), and with a squared distance to q below
    // d x d x margin (+inf for tiny d). Scans at most max_chunks chunks from
    // the cursor, which it moves on; writes their entries and complete sums
    // (room for max_chunks x kLanes) and returns their count. The scan is
    // over at the end of the list or at the first chunk whose bound excuses
    // every row from there on.
    int (*scan_list)(const MemberLists& lists, int g, ListCursor& cursor, int max_chunks, const double* q, int dims,
                     double dg, double margin, int* entries, double* sums);
    Extremes (*extremes)(const double* radius, const int* population, int k);
    // The prototypes whose radius x population reaches floor, in order.
    int (*reaching)(const double* radius, const int* population, int k, double floor, int* out);
};

// acceleration 2: the AVX2 kernels when the processor has them; otherwise
// (or with 1) the portable ones.
const SamplingKernels& ChooseKernels(int acceleration);
bool HasAvx2Kernels();

// Below this a square loses relative precision: the exact distance decides.
constexpr double kTinyDistance = 1e-140;

}  // namespace tavri

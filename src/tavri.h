// Clustering: point records, mutual nearest-neighbour linking (phase 1),
// density-driven merging (phase 2), noise assignment, cluster extraction and
// the result file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "util.h"

// One record per clustered point; record i belongs to point i.
struct HPtC_S {
    int32_t is_head;                   // 1: heads a live group; 0: absorbed (for good)
    int32_t tag;                       // 1: kept cluster during noise assignment, else 0
    int32_t member_count;              // points in the group (heads only)
    int32_t dims;                      // dimension count handed to the distance callback
    int32_t weight;                    // the point's weight (1 unless given); no step reads it
    std::vector<int32_t> member_list;  // the group's points, head first; released once absorbed
    double min_link;                   // smallest link distance inside the group (0.0 for one point)
    double mean_link;                  // mean link distance of the group (0.0 for one point)
};

// Last GetMutualdistance answer asked from one record, valid while neither
// group has changed and the link distance is the same.
struct MutualMemo {
    int32_t other = -1;
    uint32_t version_self = 0;
    uint32_t version_other = 0;
    uint64_t x_bits = 0;
    int32_t mutual = 0;
    double count_self = 0.0;
    double count_other = 0.0;
};

// Nearest other live groups of one live group, over its row of group
// distances capped at 100000000.0: the smallest value, the first head in
// index order holding it (-1: none) and how many heads hold it; once over
// all groups, once over the groups at least as large as this one.
struct NearestSummary {
    double all_distance;
    int32_t all_first;
    int32_t all_ties;
    double not_smaller_distance;
    int32_t not_smaller_first;
    int32_t not_smaller_ties;
};

// Clustering workspace of one run over n point records: the data, the
// distance callback and the group distance matrix that the passes read.
// Merges are noted by ConnectionSingle and folded in before the next read.
struct GroupSpace {
    double** data = nullptr;
    int n = 0;
    int dims = 0;
    DistanceFn distance = nullptr;
    // n x n: filled as the point distance matrix, then kept as the single-link
    // distance between live groups (indexed by head record), capped at
    // 100000000.0, also the value when no pair of points has a distance. A
    // row catches up with the merges of its columns when it is read.
    double** link = nullptr;
    std::vector<std::pair<int32_t, int32_t>> merges;  // every merge (absorbing, absorbed), in order
    std::size_t folded = 0;                           // merges[0, folded) are in heads, sizes and nearest
    std::vector<std::size_t> caught_up;               // per row of link: merges[0, caught_up) are in its columns
    std::vector<int32_t> heads;                       // live heads, ascending, as of the last fold
    std::vector<int32_t> sizes;                       // member counts as of the last fold
    std::vector<NearestSummary> nearest;              // per live head, as of the last fold
    std::vector<int32_t> final_head;                  // fold scratch; identity between folds
    std::vector<uint32_t> version;                     // per record: bumped whenever its group changes
    std::vector<MutualMemo> memo;                      // per record
    std::vector<int32_t> near_a, near_b;               // GetMutualdistance work arrays
    std::vector<double> near_b_distance;
    std::vector<const double*> contact_rows;
    // A check for the tests: after every fold, each summary must equal one
    // made afresh from its row (std::logic_error otherwise). Costs a scan of
    // every live row per fold.
    bool check_folds = false;
};

// ---- Point records ---------------------------------------------------------
// Makes every point a group of its own (weights null: all 1); `data` is not
// read. Returns 1.
int algo_init(double** data, int n, int dims, const int* weights, HPtC_S* recs);
// Releases the member list of every record (not the array). Returns 1.
int algo_delete(int n, HPtC_S* recs);

// Binds a workspace to n untouched records (one group per point): `dist` is
// the caller's n x n matrix, filled by GenereMatriceDistance on `data` with
// `distance`; from now on it holds group distances. Returns 1.
int InitGroupSpace(GroupSpace& ws, double** data, int n, int dims, double** dist, DistanceFn distance);
// D(p, q): the distance matrix entry of points p and q, recomputed with the
// callback exactly as GenereMatriceDistance computed it.
double PointDistance(const GroupSpace& ws, int p, int q);

// ---- Phase 1: mutual nearest-neighbour linking ----------------------------
// Link ratio in [0, 1] of merging heads a and b at link distance d (1 when
// d equals the mean link of each group that has one).
double CalculRatio(const HPtC_S* recs, int a, int b, double d);
// Head b is absorbed into head a with link distance d. Records bound to a
// workspace must name it, so that its group distances follow.
void ConnectionSingle(HPtC_S* recs, int a, int b, double d, GroupSpace* ws = nullptr);
// One pass of phase 1 with ratio threshold x; n_groups = heads left. Returns
// 0 when nothing merged, else the number of groups of two or more points.
int findclosest1KNN(GroupSpace& ws, HPtC_S* recs, double x, int& n_groups);

// ---- Phase 2: density-driven merging --------------------------------------
// Neighbour tables of the live groups (indexed by record): nearest_not_smaller
// and nearest_group (the record itself when none). Returns nearest_distance:
// 1000000.0 when no live group is that near, 0.0 for absorbed records.
std::vector<double> getdistance_DensityMin(GroupSpace& ws, const HPtC_S* recs, int* nearest_not_smaller,
                                           int* nearest_group);
// Number of mutual point pairs of heads a and b within twice the link
// distance x; count_a/count_b = the points of each group within that radius
// of its contact point (both left alone when a or b is absorbed: returns 0).
int GetMutualdistance(GroupSpace& ws, const HPtC_S* recs, int a, int b, double x, double& count_a,
                      double& count_b);
// One merge pass at density threshold `threshold` (ratios of at least
// direct_ratio skip the tests; tests = {mutual switch, balance switch, u}).
// n_groups and min_groups are not used. Returns the number of heads afterwards.
int AlgoUnit_DensityNeighborMin(GroupSpace& ws, HPtC_S* recs, int n_groups, int min_groups, double threshold,
                                double direct_ratio, const double* tests);

// ---- Cluster extraction ----------------------------------------------------
// cluster_members: n entries, each null or an owned array of point indices;
// cluster_sizes[k] = the length of list k. Lists follow ascending head index.
//
// One list per live group. Returns the list count.
int GetListe(const HPtC_S* recs, int n, int** cluster_members, int* cluster_sizes);
// One list per group of more than min_size points, then (noise_flag = 1) one
// list of all smaller groups' points. Returns the list count, noise list included.
int FillListe_densitymin(const HPtC_S* recs, int min_size, int n, int** cluster_members, int* cluster_sizes,
                         int& noise_flag);

// ---- Noise assignment ------------------------------------------------------
// Attaches every untagged head to its nearest tagged head (ties: lowest
// index). Returns the number of groups attached.
int FinishConnection_without(GroupSpace& ws, HPtC_S* recs);
// Merges heads a and b at link distance d; b absorbs a when b is tagged,
// otherwise a absorbs b.
void ConnectionSingleWithTag(HPtC_S* recs, int a, int b, double d, GroupSpace* ws = nullptr);

// ---- Driver ----------------------------------------------------------------

// What the driver tells its caller while it runs.
struct ClusteringHooks {
    std::function<void(int groups, int points)> first_phase_done;  // before the density phase
    std::function<void(int done, int total)> progress;             // thresholds of the density phase
    bool check_folds = false;  // tests: check every fold of the workspace (see GroupSpace)
};
// algoMutuel without console output: the hooks hear what it would print, and
// a distance matrix that cannot be allocated throws std::bad_alloc.
int RunClustering(double** data, int n, int dims, int& n_groups, int min_groups, const double* params,
                  DistanceFn distance, int** cluster_members, int* cluster_sizes, int& noise_flag,
                  const ClusteringHooks& hooks);

// The cluster lists of one clustering, owned: n entries, each null or an
// array of point indices.
struct ClusterLists {
    explicit ClusterLists(int n);
    ~ClusterLists();
    ClusterLists(const ClusterLists&) = delete;
    ClusterLists& operator=(const ClusterLists&) = delete;

    std::vector<int*> members;
    std::vector<int> sizes;
};

// The label of each of n points: the index of the last list that holds it,
// or n_lists when none does.
std::vector<int> PointLabels(int** cluster_members, const int* cluster_sizes, int n, int n_lists);

// ---- Not called by the pipeline ---------------------------------------------
// The engine runs RunClustering and writes its own files; these are the
// clustering's console driver, its result-file writer and the group
// summaries that the runs do not read, for the programs and tests that use them.

// Clusters n points. Returns the number of cluster lists (also left in
// n_groups), 0 when none, or -1 when the distance matrix cannot be allocated
// ("Memory error" has then been printed).
int algoMutuel(double** data, int n, int dims, int& n_groups, int min_groups, const double* params,
               DistanceFn distance, int** cluster_members, int* cluster_sizes, int& noise_flag);
// Writes "coordinates<TAB>...label\n" per point, replacing the file
// atomically. 1 on success, 0 when the file cannot be written.
int PrintResultClustering(const char* path, double** matrix, int n, int dims, int** cluster_members,
                          int n_lists, const int* cluster_sizes);
// Share of the n points lying in groups of more than min_size points;
// n_large = the number of such groups.
double Real_dense(const HPtC_S* recs, int n, int min_size, int& n_large);
// Single-link distance of groups a and b (head indices), capped at 100000.0,
// into best_distance. When asked for, the member-list positions of the first
// closest pair go to *best_pos_a/*best_pos_b (left alone when none is below
// the cap). Returns 1.
int k_voisins(GroupSpace& ws, const HPtC_S* recs, int a, int b, double& best_distance, int* best_pos_a = nullptr,
              int* best_pos_b = nullptr);
// Single-link distance of heads a and b, capped at 100000000.0 (also the
// result when either group is empty).
double Single_link(GroupSpace& ws, const HPtC_S* recs, int a, int b);
// Smallest distance between a point of a and a point of b (their indices into
// point_a/point_b); 10000000.0, outputs untouched, when no pair is examined.
double D_groupe_DensityMin(const GroupSpace& ws, const HPtC_S& a, const HPtC_S& b, int& point_a, int& point_b);

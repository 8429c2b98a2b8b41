// Clustering: point records, mutual nearest-neighbour linking (phase 1),
// density-driven merging (phase 2), noise assignment, cluster extraction and
// the result file.
#pragma once

#include <cstdint>
#include <vector>

#include "util.h"

// One record per clustered point; record i belongs to point i.
struct HPtC_S {
    int32_t is_head;        // 1: heads a live group; 0: absorbed (for good)
    int32_t tag;            // 1: kept cluster during noise assignment, else 0
    int32_t member_count;   // points in the group (heads only)
    int32_t dims;           // dimension count handed to the distance callback
    int32_t** weight_list;  // cell -> n ints; entry 0 = the point's weight; null once absorbed
    int32_t** member_list;  // cell -> n ints; entries 0..member_count-1 = the group's points, head first
    double* spare_value;    // one element, 0.0; unused
    int32_t spare_index;    // 100000; unused
    double min_link;        // smallest link distance inside the group (0.0 for one point)
    double mean_link;       // mean link distance of the group (0.0 for one point)
};

// ---- Point records ---------------------------------------------------------
// Makes every point a group of its own (weights null: all 1); `data` is not
// read. Returns 1.
int algo_init(double** data, int n, int dims, const int* weights, HPtC_S* recs);
// Releases the lists of every record still holding them (not the array). Returns 1.
int algo_delete(int n, HPtC_S* recs);
// Share of the n points lying in groups of more than min_size points;
// n_large = the number of such groups.
double Real_dense(const HPtC_S* recs, int n, int min_size, int& n_large);

// ---- Phase 1: mutual nearest-neighbour linking ----------------------------
// Distances come from `dist` (n x n) or, when it is null, from `distance` on
// the rows of `data`.
//
// Single-link distance of groups a and b, capped at 100000.0, into
// best_distance; the member-list positions of the closest pair into
// best_pos_a/best_pos_b (left alone when none is below the cap). Returns 1.
int k_voisins(double** data, double** dist, const HPtC_S& a, const HPtC_S& b, double& best_distance,
              int& best_pos_a, int& best_pos_b, DistanceFn distance);
// Link ratio in [0, 1] of merging heads a and b at link distance d (1 when
// d equals the mean link of each group that has one).
double CalculRatio(const HPtC_S* recs, int a, int b, double d);
// Head b is absorbed into head a with link distance d.
void ConnectionSingle(HPtC_S* recs, int a, int b, double d);
// One pass of phase 1 with ratio threshold x; n_groups = heads left. Returns
// 0 when nothing merged, else the number of groups of two or more points.
int findclosest1KNN(double** data, double** dist, int n, HPtC_S* recs, double x, int& n_groups,
                    DistanceFn distance);

// ---- Phase 2: density-driven merging --------------------------------------
// Single-link distance of two groups read from `dist`; 100000000.0 when either is empty.
double Single_link(const HPtC_S& a, const HPtC_S& b, double** dist);
// Neighbour tables of the live groups (indexed by record): nearest_not_smaller
// and nearest_group (the record itself when none). Returns nearest_distance:
// 1000000.0 when no live group is that near, 0.0 for absorbed records.
std::vector<double> getdistance_DensityMin(double** data, double** dist, const HPtC_S* recs, int n,
                                           int* nearest_not_smaller, int* nearest_group, DistanceFn distance);
// Number of mutual point pairs of heads a and b within twice the link
// distance x; count_a/count_b = the points of each group within that radius
// of its contact point (both left alone when a or b is absorbed: returns 0).
int GetMutualdistance(double** data, double** dist, const HPtC_S* recs, int n, int a, int b, double x,
                      double& count_a, double& count_b, DistanceFn distance);
// One merge pass at density threshold `threshold` (ratios of at least
// direct_ratio skip the tests; tests = {mutual switch, balance switch, u}).
// n_groups and min_groups are not used. Returns the number of heads afterwards.
int AlgoUnit_DensityNeighborMin(double** data, double** dist, HPtC_S* recs, int n, int n_groups, int min_groups,
                                double threshold, double direct_ratio, const double* tests, DistanceFn distance);
// Smallest distance between a point of a and a point of b (their indices into
// point_a/point_b); 10000000.0, outputs untouched, when no pair is examined.
double D_groupe_DensityMin(double** data, double** dist, const HPtC_S& a, const HPtC_S& b, int& point_a,
                           int& point_b, DistanceFn distance);

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
int FinishConnection_without(HPtC_S* recs, double** data, double** dist, int n, DistanceFn distance);
// Merges heads a and b at link distance d; b absorbs a when b is tagged,
// otherwise a absorbs b.
void ConnectionSingleWithTag(HPtC_S* recs, int a, int b, double d);

// ---- Driver and result file ------------------------------------------------
// Clusters n points. Returns the number of cluster lists (also left in
// n_groups), 0 when none, or -1 when the distance matrix cannot be allocated
// ("Memory error" has then been printed).
int algoMutuel(double** data, int n, int dims, int& n_groups, int min_groups, const double* params,
               DistanceFn distance, int** cluster_members, int* cluster_sizes, int& noise_flag);

// Writes "coordinates<TAB>...label\n" per point, replacing the file
// atomically. 1 on success, 0 when the file cannot be written.
int PrintResultClustering(const char* path, double** matrix, int n, int dims, int** cluster_members,
                          int n_lists, const int* cluster_sizes);

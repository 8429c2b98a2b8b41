// Clustering: point records, mutual nearest-neighbour linking (phase 1),
// density-driven merging (phase 2), noise assignment, cluster extraction and
// the result file.
#pragma once

#include <cstdint>

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

// Clusters n points. Returns the number of cluster lists (also left in
// n_groups), 0 when none, or -1 when the distance matrix cannot be allocated
// ("Memory error" has then been printed).
int algoMutuel(double** data, int n, int dims, int& n_groups, int min_groups, const double* params,
               DistanceFn distance, int** cluster_members, int* cluster_sizes, int& noise_flag);

// Writes "coordinates<TAB>...label\n" per point, replacing the file
// atomically. 1 on success, 0 when the file cannot be written.
int PrintResultClustering(const char* path, double** matrix, int n, int dims, int** cluster_members,
                          int n_lists, const int* cluster_sizes);

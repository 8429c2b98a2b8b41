// Sampling: reduction of a large data matrix to at most K prototype rows by
// farthest-member splitting, with each prototype's population and density.
#pragma once

#include "util.h"

// Selects at most `count` prototypes among the n rows of `data` and copies
// them into the first rows of `prototypes`. On return count = m, the number
// chosen; rows[j], populations[j] and densities[j] describe prototype j.
// When row_assignment is given (n entries) it receives, for every data row,
// the number of the prototype the row belongs to. Returns m.
int SamplingApproach_PROBA_P(double** data, int n, int dims, double threshold, double** prototypes, int& count,
                             double* densities, int* rows, int* populations, char* reserved, int* options,
                             int* row_assignment = nullptr);

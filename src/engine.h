// The engine behind tavri::Cluster: standardising, sampling or the distinct
// rows, clustering and labelling, on data the caller owns.
#pragma once

#include <cstddef>
#include <functional>

#include "tavri/tavri.hpp"

namespace tavri {

// Runs the engine with the run parameter vector of the command line (slots
// 0 to 7 are read; see RunSlot in mainTavri.h) on `data`, rows x cols
// row-major, which is standardised in place. Result::standardised is left
// empty: the standardised values are in `data`. On a sampled run
// `release_data` (when set) is called once the engine reads `data` no more:
// the caller may free it then; the prototypes' coordinates are in
// Result::prototype_coordinates.
Result RunEngine(double* data, std::size_t rows, std::size_t cols, const double* params, Observer* observer,
                 const std::function<void()>& release_data);

// The run parameter vector that `options` stands for.
void ParamsFromOptions(const Options& options, double* params);

}  // namespace tavri

#include "engine.h"

#include <algorithm>
#include <climits>
#include <functional>
#include <cmath>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "sampling.h"
#include "tavri.h"
#include "util.h"

#ifndef TAVRI_VERSION
#define TAVRI_VERSION "1.0.0"
#endif

namespace tavri {

void Observer::Standardised(const double*, std::size_t, std::size_t) {}
void Observer::Sampled(const Result&) {}
void Observer::FirstPhaseDone(int, int) {}
void Observer::Progress(Stage, std::size_t, std::size_t) {}

std::string Version() { return TAVRI_VERSION; }

namespace {

constexpr std::size_t kMaxClustered = 4000;  // largest row count clustered directly
constexpr int kPrototypeBudget = 4000;

// The shape must be something, and the rows countable by an int (the
// clustering and the sampling index rows with ints).
void CheckShape(std::size_t rows, std::size_t cols) {
    if (rows == 0) throw Error("no rows to cluster: the data are empty");
    if (cols == 0) throw Error("no columns to cluster: every row is empty");
    if (rows > static_cast<std::size_t>(INT_MAX))
        throw Error(std::to_string(rows) + " rows are more than " + std::to_string(INT_MAX) +
                    ", the most Tavri can index");
    if (cols > static_cast<std::size_t>(INT_MAX) || rows > SIZE_MAX / cols / sizeof(double))
        throw Error(std::to_string(rows) + " x " + std::to_string(cols) + " values are more than memory can address");
}

// Every value must be finite: the first that is not is named.
void CheckValues(const double* data, std::size_t rows, std::size_t cols) {
    for (std::size_t i = 0; i < rows; ++i) {
        const double* row = data + i * cols;
        for (std::size_t j = 0; j < cols; ++j) {
            if (!std::isfinite(row[j]))
                throw Error("row " + std::to_string(i) + ", column " + std::to_string(j) + " holds " +
                            (std::isnan(row[j]) ? "nan" : row[j] > 0 ? "inf" : "-inf") +
                            ": every value must be a finite number");
        }
    }
}

// The points to cluster after sampling: the prototypes and who they stand
// for. `release` is called once the sampling reads the data no more.
std::vector<double*> SamplePoints(double* data, std::size_t rows, std::size_t cols, Result& result,
                                  Observer* observer, const std::function<void()>& release) {
    std::vector<double>& coordinates = result.prototype_coordinates;
    const int n = static_cast<int>(rows);
    std::vector<double*> row_pointers(rows);
    for (std::size_t i = 0; i < rows; ++i) row_pointers[i] = data + i * cols;
    std::vector<int> prototype_rows(kPrototypeBudget);
    std::vector<int> populations(kPrototypeBudget);
    std::vector<double> densities(kPrototypeBudget);
    coordinates.assign(static_cast<std::size_t>(kPrototypeBudget) * cols, 0.0);
    result.point_of_row.assign(rows, 0);
    SamplingHooks hooks;
    if (observer != nullptr)
        hooks.progress = [observer](int k, int budget) {
            observer->Progress(Observer::Stage::kSampling, static_cast<std::size_t>(k), static_cast<std::size_t>(budget));
        };
    hooks.data_done = [&row_pointers, &release] {
        std::vector<double*>().swap(row_pointers);
        if (release) release();
    };
    const SamplingOutputs out{prototype_rows.data(), populations.data(), densities.data(),
                              result.point_of_row.data(), coordinates.data()};
    const int m = SampleRows(row_pointers.data(), n, static_cast<int>(cols), kPrototypeBudget, out, hooks);
    const std::size_t count = static_cast<std::size_t>(m);
    prototype_rows.resize(count);
    populations.resize(count);
    densities.resize(count);
    coordinates.resize(count * cols);
    result.prototypes = prototype_rows;
    result.clustered_rows = std::move(prototype_rows);
    result.populations = std::move(populations);
    result.densities = std::move(densities);
    if (observer != nullptr) observer->Sampled(result);
    std::vector<double*> points(count);
    for (std::size_t j = 0; j < count; ++j) points[j] = coordinates.data() + j * cols;
    return points;
}

// Without sampling every distinct row is clustered once: copies lie at
// distance 0.0, which the density and ratio rules cannot weigh.
std::vector<double*> DistinctPoints(double* data, std::size_t rows, std::size_t cols, Result& result) {
    result.clustered_rows = DistinctRows(data, rows, cols, result.point_of_row);
    result.populations.assign(result.clustered_rows.size(), 0);
    for (const int p : result.point_of_row) ++result.populations[static_cast<std::size_t>(p)];
    std::vector<double*> points;
    points.reserve(result.clustered_rows.size());
    for (const int r : result.clustered_rows) points.push_back(data + static_cast<std::size_t>(r) * cols);
    return points;
}

// Clusters the points and labels them, then every row by its point.
void ClusterAndLabel(std::vector<double*>& points, std::size_t cols, const double* params, Result& result,
                     Observer* observer) {
    const int n = static_cast<int>(points.size());
    ClusterLists lists(n);
    ClusteringHooks hooks;
    if (observer != nullptr) {
        hooks.first_phase_done = [observer](int groups, int count) { observer->FirstPhaseDone(groups, count); };
        hooks.progress = [observer](int done, int total) {
            observer->Progress(Observer::Stage::kClustering, static_cast<std::size_t>(done),
                               static_cast<std::size_t>(total));
        };
    }
    int n_lists = 0;
    int noise_flag = 0;
    RunClustering(points.data(), n, static_cast<int>(cols), n_lists, 2, params, d_Eucl, lists.members.data(),
                  lists.sizes.data(), noise_flag, hooks);
    result.has_noise = noise_flag == 1;
    result.n_clusters = result.has_noise ? n_lists - 1 : n_lists;
    result.point_labels = PointLabels(lists.members.data(), lists.sizes.data(), n, n_lists);
    // The noise list is the last list; its points carry -1 here.
    for (int& label : result.point_labels)
        if (result.has_noise && label == n_lists - 1) label = -1;
    result.labels.resize(result.point_of_row.size());
    for (std::size_t r = 0; r < result.point_of_row.size(); ++r)
        result.labels[r] = result.point_labels[static_cast<std::size_t>(result.point_of_row[r])];
}

}  // namespace

void ParamsFromOptions(const Options& options, double* params) {
    const double defaults[9] = {0.15, 1.0, 1.0, 1.0, options.u, options.attach_noise ? 1.0 : 0.0,
                                0.0, options.sampling ? 1.0 : 0.0, 0.0};
    std::copy(defaults, defaults + 9, params);
}

Result RunEngine(double* data, std::size_t rows, std::size_t cols, const double* params, Observer* observer,
                 const std::function<void()>& release_data) {
    CheckShape(rows, cols);
    if (data == nullptr) throw Error("no data given");
    CheckValues(data, rows, cols);
    const bool sampling = static_cast<int>(params[7]) == 1;
    if (rows > kMaxClustered && !sampling)
        throw Error(std::to_string(rows) + " rows are more than the 4000 clustered directly: turn sampling on");
    Result result;
    if (observer != nullptr) observer->Progress(Observer::Stage::kStandardising, 0, 1);
    result.mean.resize(cols);
    result.scale.resize(cols);
    StandardiseColumns(data, rows, cols, result.mean.data(), result.scale.data());
    if (observer != nullptr) {
        observer->Progress(Observer::Stage::kStandardising, 1, 1);
        observer->Standardised(data, rows, cols);
    }
    std::vector<double*> points = rows > kMaxClustered ? SamplePoints(data, rows, cols, result, observer, release_data)
                                                       : DistinctPoints(data, rows, cols, result);
    ClusterAndLabel(points, cols, params, result, observer);
    return result;
}

Result Cluster(const double* data, std::size_t rows, std::size_t cols, const Options& options) {
    // Refused before the copy: a shape that cannot be clustered costs no memory.
    CheckShape(rows, cols);
    if (data == nullptr) throw Error("no data given");
    CheckValues(data, rows, cols);
    std::vector<double> copy(data, data + rows * cols);
    return Cluster(std::move(copy), rows, cols, options, nullptr);
}

Result Cluster(std::vector<double>&& data, std::size_t rows, std::size_t cols, const Options& options,
               Observer* observer) {
    CheckShape(rows, cols);
    if (data.size() != rows * cols)
        throw Error("the data hold " + std::to_string(data.size()) + " values, not rows x cols = " +
                    std::to_string(rows) + " x " + std::to_string(cols));
    double params[9];
    ParamsFromOptions(options, params);
    Result result = RunEngine(data.data(), rows, cols, params, observer, {});
    result.standardised = std::move(data);
    return result;
}

}  // namespace tavri

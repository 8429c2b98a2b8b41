// Tavri: clustering of numeric points without being told how many clusters
// there are.
//
// The one header a C++ program includes. Link the library target
// Tavri::tavri (find_package(Tavri)) and call tavri::Cluster:
//
//     std::vector<double> data = {0, 0,  0, 1,  10, 10,  10, 11};  // 4 rows x 2 columns
//     tavri::Result r = tavri::Cluster(data.data(), 4, 2);
//     // r.labels: one label per row, -1 for noise
//
// What a run does: every column is standardised (mean 0, population standard
// deviation 1; a column whose values are all equal becomes 0). More than 4000
// rows are first reduced to at most 4000 prototype rows by farthest-member
// splitting; otherwise identical rows are clustered once. The points are then
// grouped in two phases (mutual nearest neighbours, then density-driven
// merging at a falling threshold), and groups of at most n / 100 of the n
// points clustered form one noise list, unless attach_noise joins them to
// the nearest large group. The answers are those of the `tavri` command on
// the same numbers, bit for bit.
//
// Thread safety: the library keeps no global state that changes; calls may
// run at the same time in different threads.
#ifndef TAVRI_TAVRI_HPP
#define TAVRI_TAVRI_HPP

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavri {

struct Options {
    double u = 0.04;            // balance threshold of the density merging: larger values refuse
                                // more merges of groups that touch unevenly
    bool attach_noise = false;  // join every group too small to be a cluster to the nearest large one
    bool sampling = true;       // reduce more than 4000 rows to prototypes (false: such data are refused)
};

struct Result {
    std::vector<int> labels;  // one per input row, in input order: 0 .. n_clusters-1, or -1 for noise
    int n_clusters = 0;       // clusters, the noise list not counted
    bool has_noise = false;   // the run reported a noise list
    std::vector<double> standardised;  // rows x cols, row-major: the standardised data
    std::vector<double> mean;          // per column: standardised = (x - mean) / scale ...
    std::vector<double> scale;         // ... (scale 1 for a constant column, which becomes 0)
    std::vector<int> prototypes;       // input rows clustered after sampling (empty without sampling)
    std::vector<double> prototype_coordinates;  // their standardised rows, row-major (empty without sampling)
    std::vector<int> clustered_rows;   // input row of each clustered point: the prototypes, or
                                       // the first occurrence of each distinct row
    std::vector<int> populations;      // rows each clustered point stands for (its copies, or the
                                       // rows of its prototype)
    std::vector<double> densities;     // density of each prototype: population / radius, 0 for a
                                       // radius of 0 (empty without sampling)
    std::vector<int> point_of_row;     // input row -> its clustered point (index into clustered_rows)
    std::vector<int> point_labels;     // label of each clustered point (-1 for noise)
};

// Every refusal: invalid shapes, values that are not finite (the message names
// the row and the column), more than 4000 rows with sampling off. Running out
// of memory throws std::bad_alloc.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a caller may want to hear while a run goes on; every method has an
// empty default. Called on the calling thread. An exception thrown from a
// method ends the run and reaches the caller of Cluster.
class Observer {
public:
    virtual ~Observer() = default;
    enum class Stage { kStandardising, kSampling, kClustering };
    // The data are standardised: `standardised` holds rows x cols values.
    virtual void Standardised(const double* standardised, std::size_t rows, std::size_t cols);
    // The sampling chose result.prototypes (populations, densities and
    // point_of_row are set too).
    virtual void Sampled(const Result& result);
    // The first phase left `groups` groups of the `points` points clustered.
    virtual void FirstPhaseDone(int groups, int points);
    // Progress inside a stage: `done` of `total` units of work.
    virtual void Progress(Stage stage, std::size_t done, std::size_t total);
};

// Clusters `rows` points of `cols` coordinates each, given row-major in
// `data` (rows x cols values, which are copied, not changed).
Result Cluster(const double* data, std::size_t rows, std::size_t cols, const Options& options = {});

// The same, taking the values over: they are standardised in place and end
// up in Result::standardised, so the data are never held twice.
Result Cluster(std::vector<double>&& data, std::size_t rows, std::size_t cols, const Options& options = {},
               Observer* observer = nullptr);

// The version of the library, "MAJOR.MINOR.PATCH".
std::string Version();

}  // namespace tavri

#endif

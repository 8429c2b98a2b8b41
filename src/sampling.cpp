#include "sampling.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <memory>
#include <new>
#include <thread>
#include <stdexcept>
#include <vector>

#include "member_lists.h"
#include "sampling_kernels.h"
#include "task_crew.h"

namespace {

// The matrix helpers report failure by a null result; here, as for every other
// allocation of the step, running out of memory ends the run.
double** TakeMatrix(int rows, int cols) {
    double** m = Reservmemdouble(rows, cols);
    if (m == nullptr) throw std::bad_alloc();
    return m;
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kDefaultMargin = 1.0 + 1e-12;

std::size_t Count(int n) { return static_cast<std::size_t>(n > 0 ? n : 0); }

// d_Eucl from a sum of squares, and the sum itself in index order: together
// the same bits as d_Eucl, without the call through a pointer.
inline double EuclidFromSquares(double s) { return s == 0.0 ? 0.0 : std::sqrt(s); }
inline double Euclid(const double* a, const double* b, int dims) {
    double s = 0.0;
    for (int t = 0; t < dims; ++t) {
        const double diff = a[t] - b[t];
        s += diff * diff;
    }
    return EuclidFromSquares(s);
}

// The prototype to split among `count` candidates (prototype numbers in
// increasing order; all k when order is null): the best score (radius / rmax)
// x (population / pmax), strictly better, so equal scores keep the lower
// number; -1 when none scores above 0 (rmax 0.0 makes every score NaN).
int BestScore(const double* radius, const int* population, const int* order, int count, double rmax, int pmax) {
    int split = -1;
    double best = 0.0;
    for (int i = 0; i < count; ++i) {
        const int j = order != nullptr ? order[i] : i;
        const double score = (radius[j] / rmax) * (static_cast<double>(population[j]) / pmax);
        if (score > best) {
            split = j;
            best = score;
        }
    }
    return split;
}

// The first prototype's row by start_mode: a random row among the first n-1,
// or the first row nearest to the corner of per-column minima (0) or maxima (-1).
int FirstPrototype(double** data, const ParamFCNNrule* p, std::minstd_rand& random) {
    const int n = p->n_rows;
    const int dims = p->n_dims;
    if (p->start_mode != 0 && p->start_mode != -1)
        return n >= 2 ? static_cast<int>(random() % static_cast<unsigned>(n - 1)) : 0;
    const bool maximum = p->start_mode == -1;
    std::vector<double> corner(Count(dims), maximum ? -1e10 : 1e10);
    for (int i = 0; i < n; ++i) {
        const double* row = data[i];
        for (int j = 0; j < dims; ++j) {
            if (maximum ? row[j] > corner[j] : row[j] < corner[j]) corner[j] = row[j];
        }
    }
    // Strict comparison: the first row at the smallest distance wins.
    int f = 0;
    double best = 100000.0;
    const bool euclid = p->distance == d_Eucl;
    for (int i = 0; i < n; ++i) {
        const double d = euclid ? Euclid(corner.data(), data[i], dims) : p->distance(corner.data(), data[i], dims);
        if (d < best) {
            best = d;
            f = i;
        }
    }
    return f;
}

// A twentieth of the rows, but never fewer than 1000 (nor more than exist).
int InertiaSampleSize(int n) { return min(n, max(n / 20, 1000)); }

// The history arrays of the block, sized for the run's budget.
void SizeHistories(ParamFCNNrule* p) {
    const int size = std::max(p->max_prototypes, 1);
    if (p->history_size == size) return;
    delete[] p->cost_history;
    delete[] p->max_radius_history;
    p->cost_history = nullptr;
    p->max_radius_history = nullptr;
    p->cost_history = new double[Count(size)];
    p->max_radius_history = new double[Count(size)];
    p->history_size = size;
    // Stands for "no cost yet": larger than any normalised cost.
    std::fill_n(p->cost_history, size, 1e10);
    std::fill_n(p->max_radius_history, size, 0.0);
}

}  // namespace

// ---- Parameter block -------------------------------------------------------

ParamFCNNrule* InitParamFCNNrule(int n) {
    ParamFCNNrule* p = new ParamFCNNrule();
    p->n_rows = n;
    p->distance = d_Eucl;
    // The histories are sized when a run knows its budget.
    p->cost_history = nullptr;
    p->max_radius_history = nullptr;
    p->history_size = 0;
    // n_dims is only known after creation: the centroid pass takes the matrix.
    p->centroids = nullptr;
    p->centroid_rows = n;
    p->centroid_cols = 0;
    p->max_prototypes = n;
    p->scale_by_inertia = 0;
    p->acceleration = 2;
    p->threads = 2;
    p->scan_margin = kDefaultMargin;
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
    p->threads = 2;
    p->scan_margin = kDefaultMargin;
    p->cost_threshold = 0.01;
}

void LibereParamFCNNrule(ParamFCNNrule* p) {
    delete[] p->cost_history;
    p->cost_history = nullptr;
    delete[] p->max_radius_history;
    p->max_radius_history = nullptr;
    p->history_size = 0;
    Delete2D(p->centroids, p->centroid_rows);
    p->centroids = nullptr;
    p->centroid_cols = 0;
}

// ---- Workspace -------------------------------------------------------------

int InitMemory(Internal* w, ParamFCNNrule* p) {
    // Per row N entries, per prototype K+1; released in full should any
    // allocation fail.
    const std::size_t n = std::max<std::size_t>(Count(p->n_rows), 1);
    const std::size_t k1 = Count(p->max_prototypes + 1);
    w->skip_flag = w->assignment = w->farthest_member = w->prototype_row = w->active = w->population = nullptr;
    w->distance_to_prototype = w->radius = w->newest_distance = nullptr;
    w->tri = nullptr;
    w->split_prototype = -1;
    w->scale = 1.0;
    w->radius_limit = -1.0;
    try {
        w->skip_flag = new int[k1]();
        w->assignment = new int[n]();
        w->farthest_member = new int[k1]();
        w->prototype_row = new int[k1]();
        w->active = new int[n]();
        w->newest_distance = new double[k1]();
        w->distance_to_prototype = new double[n]();
        w->radius = new double[k1]();
        w->population = new int[k1]();
        w->tri = new Tri();
        InitTri(w->tri, static_cast<int>(k1));
    } catch (...) {
        LibereMemoireAlgorithme(w, p);
        throw;
    }
    return 1;
}

void InitTri(Tri* t, int n) { t->label = new int[Count(n)](); }

void LibereMemoireAlgorithme(Internal* w, ParamFCNNrule* /*p*/) {
    delete[] w->skip_flag;
    delete[] w->assignment;
    delete[] w->farthest_member;
    delete[] w->prototype_row;
    delete[] w->active;
    delete[] w->distance_to_prototype;
    delete[] w->radius;
    delete[] w->population;
    delete[] w->newest_distance;
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
    // The run's draws: the scale's sample, then a random start. Without a
    // generator of the caller's, one in its unseeded state.
    std::minstd_rand* given = w->random;
    std::minstd_rand own;
    w->random = given != nullptr ? given : &own;
    const int n = p->n_rows;
    w->scale =
        p->scale_by_inertia == 1 ? InertieGenAleaListe(data, n, p->n_dims, InertiaSampleSize(n), *w->random) : 1.0;
    const int f = InitParametres(data, w, p);
    w->random = given;
    // Radii are never negative, so this limit never stops the iteration.
    w->radius_limit = -1.0;
    return f;
}

double InertieGenAleaListe(double** data, int n, int dims, int s) {
    std::minstd_rand random;
    return InertieGenAleaListe(data, n, dims, s, random);
}

double InertieGenAleaListe(double** data, int n, int dims, int s, std::minstd_rand& random) {
    random.seed(static_cast<std::minstd_rand::result_type>(static_cast<std::uint32_t>(std::time(nullptr))));
    // Draws are taken modulo n-1: fewer than two rows (or an empty sample) give no estimate.
    if (n < s || n < 2 || s < 1) return 0.0;
    std::vector<double> mean(Count(dims), 0.0);
    std::vector<int> drawn(Count(s));
    for (int t = 0; t < s; ++t) {
        const int r = static_cast<int>(random() % static_cast<unsigned>(n - 1));
        drawn[Count(t)] = r;
        const double* row = data[r];
        for (int j = 0; j < dims; ++j) mean[Count(j)] += row[j];
    }
    for (int j = 0; j < dims; ++j) mean[Count(j)] /= s;
    double sum = 0.0;
    for (int t = 0; t < s; ++t) {
        const double d = d_Eucl(mean.data(), data[drawn[Count(t)]], dims);
        sum += d * d;
    }
    return std::sqrt(sum / s);
}

int InitParametres(double** data, Internal* w, ParamFCNNrule* p) {
    const int n = p->n_rows;
    const int kmax = p->max_prototypes;
    std::fill(w->newest_distance, w->newest_distance + kmax + 1, 0.0);
    for (int i = 0; i < n; ++i) {
        w->active[i] = 1;
        // Farther than any real distance, so the first pass assigns every row.
        w->distance_to_prototype[i] = 1e10;
        w->assignment[i] = 0;
    }
    // Radii are kept per prototype.
    for (int j = 0; j <= kmax; ++j) w->radius[j] = -1e10;
    for (int j = 0; j < kmax; ++j) w->skip_flag[j] = 0;
    std::minstd_rand own;
    const int f = FirstPrototype(data, p, w->random != nullptr ? *w->random : own);
    w->distance_to_prototype[f] = 0.0;
    w->population[0] = n;
    w->farthest_member[0] = f;
    w->active[f] = 0;
    w->prototype_row[0] = f;
    return f;
}

// ---- The plain iteration ---------------------------------------------------

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
        w->split_prototype = BestScore(radius, population, nullptr, k, rmax, pmax);
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

// ---- The listed iteration ----------------------------------------------------

namespace {

using tavri::MemberLists;
using tavri::SamplingKernels;
constexpr int kLanes = MemberLists::kLanes;

// A new list is filled by bands of distance, from its largest distance down to
// 0, about four rows to a band: scans of it then stop early.
constexpr int kRowsPerBand = 4;
constexpr int kFewestBands = 32;
constexpr int kVisitsAhead = 4;  // lists whose first chunk is fetched that many visits ahead
// Steps whose visited lists hold fewer entries than this scan on one thread:
// waking the other would cost more than it saves.
constexpr long long kSharedScanEntries = 4096;
constexpr int kSegmentChunks = 256;  // chunks a scan reads before it hands over what it found
// Radius range in which the product filter of the split choice is sound.
constexpr double kScoreLow = 1e-200;
constexpr double kScoreHigh = 1e300;
constexpr double kValueBound = 1e100;  // every squared distance of such values is finite

// Squared distance from which a prototype of radius r certainly passes the
// skip test (its distance x 0.5 > r); +inf when only the exact test can tell.
double CertainSkip(double r, double margin) {
    // Any positive sum gives a positive root, whose half is above 0.
    if (r == 0.0) return std::numeric_limits<double>::denorm_min();
    if (r >= tavri::kTinyDistance) {
        const double twice = 2.0 * r;
        return twice * twice * margin;
    }
    return kInf;
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

// The iteration of SamplingApproach_PROBA through member lists: each step does
// what InitBoucle, FindNewInstance_PROBA and Update1knnPrototype do, visiting
// only the prototypes that fail the skip test and, among their rows,
// measuring only those the per-row test does not excuse. Squared distances
// settle most comparisons with a margin; whenever the outcome is not certain
// the exact distance decides, so every result is the one of the plain pass.
// After the first step the data rows are never read again: the rows'
// coordinates live in the lists, the prototypes' in pc_.
class ListedSampling {
public:
    ListedSampling(double** data, ParamFCNNrule* p, const SamplingKernels& kernels, const SamplingHooks& hooks);
    // Runs from the first prototype at row `first`; returns k.
    int Run(int first, double scale);
    void Output(int k, const SamplingOutputs& out) const;

private:
    // A prototype visited in a step: its distance to the newest prototype
    // (NaN without skip tests, +inf for the split prototype when it passes).
    struct Visit {
        int prototype;
        double distance;
        bool lost_farthest;
    };
    // Where the scan of a visited list left the rows that may move: in the
    // found buffers of `thread`, `count` of them from `offset`.
    struct Scan {
        int thread;
        std::size_t offset;
        int count;
    };
    // A row joining the newest prototype in a step, from `entry` of its list.
    struct Mover {
        double d;
        int row;
        int entry;
    };

    void StartFirst(int q);
    const double* TakeNewest(int b, int q);
    void CollectVisits(int b, const double* newest);
    void ScanVisited(const double* newest);
    void ScanOne(int v, int thread, const double* newest);
    void CollectMovers(int b, int q, const double* newest);
    void FillNewest(int b);
    void RefreshVisited();
    int ChooseSplit(int k, double& rmax);

    double** data_;
    ParamFCNNrule* p_;
    const SamplingKernels& kernels_;
    const SamplingHooks& hooks_;
    const int n_, dims_, kmax_;
    const bool use_skips_;
    const double margin_;
    const std::size_t stride_;         // pc_ holds dimension t of prototype j at [t * stride_ + j]
    std::vector<double> pc_;           // prototype coordinates by dimension
    std::vector<double> certain_;      // per prototype: CertainSkip of its radius; 0.0 past the last
    std::vector<int> prototype_row_;   // per prototype
    std::vector<int> population_;      // per prototype: its rows, its own included
    std::vector<double> radius_;       // per prototype: its farthest member's distance
    std::vector<int> farthest_;        // per prototype: its farthest member (-1 when none)
    int split_ = -1;                   // the prototype split by the last choice
    MemberLists lists_;
    // Scratch of one step.
    std::vector<int> candidates_;          // prototypes near enough to the newest to be tested
    std::vector<double> candidate_sums_;   // their squared distances to it
    std::vector<Visit> visits_;
    std::vector<Scan> scans_;              // per visit
    // Per thread: rows of the visited lists that may move and their squared
    // distances to the newest prototype; and room for one segment of a scan.
    std::vector<int> found_entries_[2];
    std::vector<double> found_sums_[2];
    std::vector<int> segment_entries_[2];
    std::vector<double> segment_sums_[2];
    tavri::TaskCrew crew_;
    std::vector<Mover> movers_;
    double newest_radius_ = 0.0;           // the newest prototype's farthest member so far
    int newest_farthest_ = -1;
    std::vector<int> band_count_;
    std::vector<int> order_;
    std::vector<double> newest_coords_;
};

ListedSampling::ListedSampling(double** data, ParamFCNNrule* p, const SamplingKernels& kernels,
                               const SamplingHooks& hooks)
    : data_(data),
      p_(p),
      kernels_(kernels),
      hooks_(hooks),
      n_(p->n_rows),
      dims_(p->n_dims),
      kmax_(p->max_prototypes),
      use_skips_(p->skip_tests != 0),
      margin_(p->scan_margin),
      // Room for 4-lane loads past the last prototype.
      stride_(Count(p->max_prototypes + 1) / 4 * 4 + 8),
      pc_(stride_ * Count(dims_), 0.0),
      certain_(stride_, 0.0),
      prototype_row_(Count(kmax_ + 1), 0),
      population_(Count(kmax_ + 1), 0),
      radius_(Count(kmax_ + 1), 0.0),
      farthest_(Count(kmax_ + 1), -1),
      candidates_(Count(kmax_ + 1)),
      candidate_sums_(Count(kmax_ + 1)),
      crew_(p->threads == 2 && std::thread::hardware_concurrency() >= 2 && p->n_rows >= kSharedScanEntries),
      newest_coords_(Count(dims_)) {
    visits_.reserve(Count(kmax_ + 1));
    // At the start of a step every list holds at most half as many dead as
    // live entries; the step adds the newest list; each list may end in a
    // partial chunk. Untouched chunks take no memory.
    lists_.Init(5LL * n_ / (2 * kLanes) + 2LL * (kmax_ + 1) + 16, dims_, kmax_ + 1);
}

// Prototype b at row q: its coordinates into pc_; returns them.
const double* ListedSampling::TakeNewest(int b, int q) {
    prototype_row_[Count(b)] = q;
    if (b == 0) {
        std::copy(data_[q], data_[q] + dims_, newest_coords_.begin());
    } else {
        // The row is a member of the split prototype's list until this step.
        const int e = lists_.Find(split_, q);
        if (e < 0) throw std::logic_error("sampling: new prototype missing from its list");
        const double* x = lists_.EntryCoords(e);
        for (int t = 0; t < dims_; ++t) newest_coords_[Count(t)] = x[t * kLanes];
    }
    for (int t = 0; t < dims_; ++t) pc_[Count(t) * stride_ + Count(b)] = newest_coords_[Count(t)];
    return newest_coords_.data();
}

// The first step: one prototype holds every row. Its list is filled by bands
// of decreasing distance straight from the data rows, in three sweeps (the
// largest distance, the band counts, the places), so that no row is held
// twice on the way.
void ListedSampling::StartFirst(int q) {
    const double* newest = newest_coords_.data();
    double rb = 0.0;
    int fb = -1;
    int members = 0;
    for (int i = 0; i < n_; ++i) {
        if (i == q) continue;
        const double d = Euclid(data_[i], newest, dims_);
        ++members;
        // >=: of members at the same largest distance the later row is kept.
        if (d >= rb) {
            rb = d;
            fb = i;
        }
    }
    const int bands = std::max(members / kRowsPerBand, kFewestBands);
    const double per_band = rb > 0.0 ? bands / rb : 0.0;
    auto band_of = [&](double d) { return std::min(bands - 1, static_cast<int>((rb - d) * per_band)); };
    band_count_.assign(Count(bands + 1), 0);
    for (int i = 0; i < n_; ++i)
        if (i != q) ++band_count_[Count(band_of(Euclid(data_[i], newest, dims_)) + 1)];
    for (int i = 0; i < bands; ++i) band_count_[Count(i + 1)] += band_count_[Count(i)];
    lists_.StartFilled(0, members);
    for (int i = 0; i < n_; ++i) {
        if (i == q) continue;
        const double d = Euclid(data_[i], newest, dims_);
        lists_.Place(0, band_count_[Count(band_of(d))]++, i, d, data_[i], 1);
    }
    lists_.SetBounds(0);
    population_[0] = n_;
    radius_[0] = rb;
    farthest_[0] = fb;
    certain_[0] = CertainSkip(rb, margin_);
}

// The prototypes whose lists the newest one may take rows from: those failing
// the skip test, and the split prototype, which loses the newest one's row.
void ListedSampling::CollectVisits(int b, const double* newest) {
    visits_.clear();
    const int s = split_;
    bool split_seen = false;
    if (use_skips_) {
        const int nc = kernels_.scan_prototypes(pc_.data(), stride_, dims_, b, newest, certain_.data(),
                                                candidates_.data(), candidate_sums_.data());
        for (int c = 0; c < nc; ++c) {
            const int j = candidates_[Count(c)];
            const double dj = EuclidFromSquares(candidate_sums_[Count(c)]);
            if (dj * 0.5 > radius_[Count(j)]) continue;  // the skip test, exactly
            visits_.push_back(Visit{j, dj, false});
            split_seen = split_seen || j == s;
        }
    } else {
        for (int j = 0; j < b; ++j) visits_.push_back(Visit{j, std::numeric_limits<double>::quiet_NaN(), false});
        split_seen = true;
    }
    // Should the split prototype pass the skip test, none of its rows is measured.
    if (!split_seen) visits_.push_back(Visit{s, kInf, false});
}

// Scans visit v's list on `thread` for the rows that may move, a segment at
// a time, so that the buffers grow with what is found, not with the lists.
void ListedSampling::ScanOne(int v, int thread, const double* newest) {
    const Visit& visit = visits_[Count(v)];
    const int g = visit.prototype;
    if (lists_.Head(g) >= 0 && lists_.Next(lists_.Head(g)) >= 0) lists_.Prefetch(lists_.Next(lists_.Head(g)));
    std::vector<int>& entries = found_entries_[thread];
    std::vector<double>& sums = found_sums_[thread];
    std::vector<int>& segment_entries = segment_entries_[thread];
    std::vector<double>& segment_sums = segment_sums_[thread];
    segment_entries.resize(kSegmentChunks * kLanes);
    segment_sums.resize(kSegmentChunks * kLanes);
    const std::size_t offset = entries.size();
    tavri::ListCursor cursor{lists_.Head(g), 0};
    while (cursor.chunk >= 0) {
        const int found = kernels_.scan_list(lists_, g, cursor, kSegmentChunks, newest, dims_, visit.distance, margin_,
                                             segment_entries.data(), segment_sums.data());
        entries.insert(entries.end(), segment_entries.begin(), segment_entries.begin() + found);
        sums.insert(sums.end(), segment_sums.begin(), segment_sums.begin() + found);
    }
    scans_[Count(v)] = Scan{thread, offset, static_cast<int>(entries.size() - offset)};
}

// The scans of one step: they only read the lists, so the visits are shared
// between two threads when there is enough to share.
void ListedSampling::ScanVisited(const double* newest) {
    const int count = static_cast<int>(visits_.size());
    scans_.resize(Count(count));
    for (int thread = 0; thread < 2; ++thread) {
        found_entries_[thread].clear();
        found_sums_[thread].clear();
    }
    long long entries = 0;
    for (const Visit& visit : visits_) entries += lists_.Size(visit.prototype);
    if (entries >= kSharedScanEntries) {
        crew_.Run(count, [this, newest](int v, int thread) { ScanOne(v, thread, newest); });
        return;
    }
    // A visit starts on a chunk not touched for a while: fetch a few ahead.
    for (int v = 0; v < std::min(count, kVisitsAhead); ++v)
        if (lists_.Head(visits_[Count(v)].prototype) >= 0) lists_.Prefetch(lists_.Head(visits_[Count(v)].prototype));
    for (int v = 0; v < count; ++v) {
        if (v + kVisitsAhead < count && lists_.Head(visits_[Count(v + kVisitsAhead)].prototype) >= 0)
            lists_.Prefetch(lists_.Head(visits_[Count(v + kVisitsAhead)].prototype));
        ScanOne(v, 0, newest);
    }
}

// Rows of the visited lists strictly nearer to the newest prototype b (row q)
// leave their lists, in visit order; the lost farthest members are noted.
void ListedSampling::CollectMovers(int b, int q, const double* newest) {
    movers_.clear();
    newest_radius_ = 0.0;
    newest_farthest_ = -1;
    // The newest prototype's row leaves the split prototype's list first.
    for (Visit& visit : visits_) {
        if (visit.prototype != split_) continue;
        lists_.Kill(split_, lists_.Find(split_, q));
        visit.lost_farthest = farthest_[Count(split_)] == q;
    }
    ScanVisited(newest);
    for (std::size_t v = 0; v < visits_.size(); ++v) {
        Visit& visit = visits_[v];
        const int g = visit.prototype;
        const Scan& scan = scans_[v];
        const int* entries = found_entries_[scan.thread].data() + scan.offset;
        const double* sums = found_sums_[scan.thread].data() + scan.offset;
        int moved = 0;
        for (int c = 0; c < scan.count; ++c) {
            const int e = entries[c];
            const double d = EuclidFromSquares(sums[c]);
            // Strict: a tie leaves the row with the older prototype.
            if (!(d < lists_.EntryDistance(e))) continue;
            const int r = lists_.EntryRow(e);
            lists_.Kill(g, e);
            movers_.push_back(Mover{d, r, e});
            ++moved;
            visit.lost_farthest = visit.lost_farthest || r == farthest_[Count(g)];
            if (d > newest_radius_ || (d == newest_radius_ && r > newest_farthest_)) {
                newest_radius_ = d;
                newest_farthest_ = r;
            }
        }
        population_[Count(g)] -= moved;
        population_[Count(b)] += moved;
    }
}

// The newest prototype's list, by bands of decreasing distance; the movers'
// coordinates are still in their dead entries, which no compaction has
// dropped yet.
void ListedSampling::FillNewest(int b) {
    const int nm = static_cast<int>(movers_.size());
    const double rb = newest_radius_;
    const int bands = std::max(nm / kRowsPerBand, kFewestBands);
    const double per_band = rb > 0.0 ? bands / rb : 0.0;
    auto band_of = [&](double d) { return std::min(bands - 1, static_cast<int>((rb - d) * per_band)); };
    band_count_.assign(Count(bands + 1), 0);
    for (const Mover& m : movers_) ++band_count_[Count(band_of(m.d) + 1)];
    for (int i = 0; i < bands; ++i) band_count_[Count(i + 1)] += band_count_[Count(i)];
    order_.resize(Count(nm));
    for (int m = 0; m < nm; ++m) order_[Count(band_count_[Count(band_of(movers_[Count(m)].d))]++)] = m;
    for (const int m : order_) {
        const Mover& mover = movers_[Count(m)];
        lists_.Append(b, mover.row, mover.d, lists_.EntryCoords(mover.entry), kLanes);
    }
    lists_.SetBounds(b);
    radius_[Count(b)] = rb;
    farthest_[Count(b)] = newest_farthest_;
    certain_[Count(b)] = CertainSkip(rb, margin_);
}

// A visited prototype that lost its farthest member finds the next; lists
// with many dead entries are compacted.
void ListedSampling::RefreshVisited() {
    for (const Visit& visit : visits_) {
        const int g = visit.prototype;
        // Otherwise the farthest member stays, and with it the radius.
        if (visit.lost_farthest) {
            lists_.Farthest(g, radius_[Count(g)], farthest_[Count(g)]);
            certain_[Count(g)] = CertainSkip(radius_[Count(g)], margin_);
        }
        if (lists_.NeedsCompaction(g)) lists_.Compact(g);
    }
}

// The prototype to split among the k, or -1: the rule of FindNewInstance_PROBA.
// With the radii in a sound range, a prototype whose radius x population lies
// a relative 1e-9 below the largest cannot reach the best score (each score
// is that product over rmax x pmax within three roundings), so only the others
// are scored, in order, exactly as the full pass would.
int ListedSampling::ChooseSplit(int k, double& rmax) {
    const tavri::Extremes e = kernels_.extremes(radius_.data(), population_.data(), k);
    rmax = e.rmax;
    const bool filter = e.rmax >= kScoreLow && e.pmax >= 1 && e.rmax * e.pmax <= kScoreHigh;
    // -inf admits every prototype: the plain score pass.
    const double floor = filter ? e.prodmax * (1.0 - 1e-9) : -kInf;
    const int count = kernels_.reaching(radius_.data(), population_.data(), k, floor, candidates_.data());
    return BestScore(radius_.data(), population_.data(), candidates_.data(), count, e.rmax, e.pmax);
}

int ListedSampling::Run(int first, double scale) {
    // The cost and the stop tests read these through a view of the workspace.
    Internal view{};
    view.population = population_.data();
    view.radius = radius_.data();
    view.scale = scale;
    view.radius_limit = -1.0;
    int k = 0;
    int b = 0;
    int next = first;
    for (;;) {
        k = b + 1;
        const int q = next;
        const double* newest = TakeNewest(b, q);
        if (b == 0) {
            StartFirst(q);
            if (hooks_.data_done) hooks_.data_done();
        } else {
            // q leaves the prototype it was split from.
            population_[Count(b)] = 1;
            --population_[Count(split_)];
            CollectVisits(b, newest);
            CollectMovers(b, q, newest);
            FillNewest(b);
            RefreshVisited();
        }
        double rmax = 0.0;
        split_ = ChooseSplit(k, rmax);
        next = split_ == -1 ? -1 : farthest_[Count(split_)];
        if (next == -1) break;
        // What ProcessCriteria records: rmax is its largest radius.
        if (p_->track_criteria != 0) p_->max_radius_history[k - 1] = rmax;
        // Radii, populations and the scale are never negative: the cost cannot
        // fall below a threshold that is not positive.
        const int stop = p_->cost_threshold > 0.0 ? CalculCost(&view, p_, k) : 0;
        if (stop == 1 || TestFin(&view, p_, k) == 1) break;
        if (hooks_.progress) hooks_.progress(k, kmax_);
        b = k;
    }
    return k;
}

void ListedSampling::Output(int k, const SamplingOutputs& out) const {
    for (int j = 0; j < k; ++j) {
        const std::size_t at = Count(j);
        out.rows[j] = prototype_row_[at];
        out.populations[j] = population_[at];
        // A prototype whose members all coincide with it has no spread: density 0.0, not infinite.
        out.densities[j] = radius_[at] != 0.0 ? static_cast<double>(population_[at]) / radius_[at] : 0.0;
        if (out.coordinates != nullptr)
            for (int t = 0; t < dims_; ++t) out.coordinates[at * Count(dims_) + Count(t)] = pc_[Count(t) * stride_ + at];
    }
    if (out.row_assignment == nullptr) return;
    // Rows live in the lists; a row marked as the next prototype when the
    // loop stopped stays a member.
    for (int j = 0; j < k; ++j) {
        out.row_assignment[prototype_row_[Count(j)]] = j;
        for (int c = lists_.Head(j); c >= 0; c = lists_.Next(c)) {
            for (int l = 0; l < kLanes; ++l) {
                const int r = lists_.Row(c)[l];
                if (r >= 0) out.row_assignment[r] = j;
            }
        }
    }
}

// The plain loop of SamplingApproach_PROBA over every row at every step.
int PlainSampling(double** data, ParamFCNNrule* p, const SamplingOutputs& out, const SamplingHooks& hooks) {
    struct Workspace {
        Internal w{};
        ParamFCNNrule* p;
        ~Workspace() { LibereMemoireAlgorithme(&w, p); }
    } workspace{Internal{}, p};
    Internal* w = &workspace.w;
    std::minstd_rand random;
    w->random = &random;
    int next = InitProgramme(data, w, p);
    int k = 0;
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
        if (hooks.progress) hooks.progress(k, p->max_prototypes);
        Update1knnPrototype(data, w, p, k);
        b = k;
    }
    const int dims = p->n_dims;
    for (int j = 0; j < k; ++j) {
        out.rows[j] = w->prototype_row[j];
        out.populations[j] = w->population[j];
        // A prototype whose members all coincide with it has no spread: density 0.0, not infinite.
        out.densities[j] = w->radius[j] != 0.0 ? static_cast<double>(w->population[j]) / w->radius[j] : 0.0;
        if (out.coordinates != nullptr)
            std::copy(data[out.rows[j]], data[out.rows[j]] + dims, out.coordinates + Count(j) * Count(dims));
    }
    if (out.row_assignment != nullptr) std::copy(w->assignment, w->assignment + p->n_rows, out.row_assignment);
    if (p->gravity_on == 1) UpdateWithGravity(data, w, p, k);
    if (hooks.data_done) hooks.data_done();
    return k;
}

}  // namespace

int SamplingHasAvx2Kernels() { return tavri::HasAvx2Kernels() ? 1 : 0; }

int RunSampling(double** data, ParamFCNNrule* p, const SamplingOutputs& out, const SamplingHooks& hooks) {
    if (p == nullptr) return 0;
    // Nothing to represent or no room for a prototype.
    if (p->n_rows < 1 || p->max_prototypes < 1) return 0;
    SizeHistories(p);
    if (!ListedIterationApplies(data, p) || p->gravity_on == 1) return PlainSampling(data, p, out, hooks);
    // The same draws as the plain loop: the scale's sample, then a random start.
    std::minstd_rand random;
    const int n = p->n_rows;
    const double scale =
        p->scale_by_inertia == 1 ? InertieGenAleaListe(data, n, p->n_dims, InertiaSampleSize(n), random) : 1.0;
    const int first = FirstPrototype(data, p, random);
    ListedSampling sampling(data, p, tavri::ChooseKernels(p->acceleration), hooks);
    const int k = sampling.Run(first, scale);
    sampling.Output(k, out);
    return k;
}

int SamplingApproach_PROBA(double** data, int* rows_out, int& k, int* pops_out, double* dens_out, int** lists,
                           ParamFCNNrule* p, int* row_assignment) {
    (void)lists;
    if (p == nullptr) return 0;
    SamplingOutputs out{rows_out, pops_out, dens_out, row_assignment, nullptr};
    k = RunSampling(data, p, out);
    return k;
}

// ---- Operations the iteration does not call ---------------------------------

int UpdateWithGravity(double** data, Internal* w, ParamFCNNrule* p, int k) {
    const int dims = p->n_dims;
    if (p->centroids == nullptr || p->centroid_cols < dims) {
        Delete2D(p->centroids, p->centroid_rows);
        p->centroids = nullptr;
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
    std::vector<int> fill(Count(k), 0);
    for (int i = 0; i < n; ++i) {
        const int g = w->assignment[i];
        if (g >= 0 && g < k) ++fill[Count(g)];
    }
    for (int j = 0; j < k; ++j) {
        delete[] lists[j];
        lists[j] = fill[Count(j)] > 0 ? new int[Count(fill[Count(j)])] : nullptr;
        fill[Count(j)] = 0;
    }
    for (int i = 0; i < n; ++i) {
        const int g = w->assignment[i];
        if (g >= 0 && g < k) lists[g][fill[Count(g)]++] = i;
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

namespace {

// A block released on every path, an exhausted heap included.
struct BlockOwner {
    ParamFCNNrule* p;
    ~BlockOwner() {
        LibereParamFCNNrule(p);
        delete p;
    }
};

// The front end's block: the member lists are never filled by the
// iteration, so none are made.
ParamFCNNrule* FrontEndBlock(int n, int dims, int max_prototypes, double threshold) {
    ParamFCNNrule* p = InitParamFCNNrule(n);
    InitSingleParamFCNNrule(p);
    p->n_dims = dims;
    p->n_rows = n;
    p->max_prototypes = max_prototypes;
    p->track_criteria = 1;
    p->cost_threshold = threshold;
    p->gravity_on = 0;
    return p;
}

}  // namespace

int SampleRows(double** data, int n, int dims, int max_prototypes, const SamplingOutputs& out,
               const SamplingHooks& hooks) {
    const BlockOwner block{FrontEndBlock(n, dims, max_prototypes, 0.0)};
    // The pipeline's options: the first prototype at the minimum corner, the
    // cost scaled by the inertia estimate.
    block.p->start_mode = 0;
    block.p->scale_by_inertia = 1;
    return RunSampling(data, block.p, out, hooks);
}

int SamplingApproach_PROBA_P(double** data, int n, int dims, double threshold, double** prototypes, int& count,
                             double* densities, int* rows, int* populations, char* reserved, int* options,
                             int* row_assignment) {
    (void)reserved;
    const BlockOwner block{FrontEndBlock(n, dims, count, threshold)};
    if (options != nullptr) {
        block.p->start_mode = options[1];
        block.p->scale_by_inertia = options[3];
    }
    int m = SamplingApproach_PROBA(data, rows, count, populations, densities, nullptr, block.p, row_assignment);
    m = SelectinstanceWithListe(data, dims, rows, m, 0, nullptr, prototypes);
    count = m;
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

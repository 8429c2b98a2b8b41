#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <tuple>
#include <vector>

#include "sampling.h"
#include "test_support.h"

namespace {

// Row-major cells; the row pointers are rebuilt on every get(), so copies stay safe.
struct Matrix {
    int rows, cols;
    std::vector<double> cells;
    std::vector<double*> ptr;
    Matrix(int r, int c, std::vector<double> v = {})
        : rows(r), cols(c), cells(v.empty() ? std::vector<double>(static_cast<std::size_t>(r) * c) : v), ptr(r) {}
    double* operator[](int i) { return cells.data() + static_cast<std::size_t>(i) * cols; }
    double** get() {
        for (int i = 0; i < rows; ++i) ptr[i] = (*this)[i];
        return ptr.data();
    }
};

// side 0: uniform in [0, scale); otherwise integers below side, i.e. repeated rows and equal distances.
Matrix Random(int n, int dims, std::uint64_t seed, int side = 0, double scale = 1.0) {
    test_support::SplitMix g{seed};
    Matrix m(n, dims);
    for (double& v : m.cells) v = side == 0 ? g.Uniform() * scale : g.Below(side);
    return m;
}

// n rows around `distinct` random centres, each centre used at least once (source[i]: the centre of row i).
// With spread 0 the rows are exact copies; otherwise they lie within +-spread, rounded to hundredths as in a
// data file, so that blobs with many equal distances form.
Matrix Copies(int n, int dims, int distinct, std::uint64_t seed, std::vector<int>& source, double spread = 0.0) {
    test_support::SplitMix g{seed};
    Matrix centres = Random(distinct, dims, seed + 1, 0, 20.0), m(n, dims);
    source.resize(n);
    for (int i = 0; i < n; ++i) source[i] = i < distinct ? i : g.Below(distinct);
    for (int i = n - 1; i > 0; --i) std::swap(source[i], source[g.Below(i + 1)]);
    for (int i = 0; i < n * dims; ++i) {
        const double v = centres[source[i / dims]][i % dims];
        m.cells[i] = spread == 0.0 ? v : std::round((v + (g.Uniform() * 2.0 - 1.0) * spread) * 100.0) / 100.0;
    }
    return m;
}

struct Result {
    int m = 0;
    std::vector<int> rows, pops, assign;
    std::vector<double> dens, cost;  // the costs only through the loop
    bool operator==(const Result& o) const {
        return std::tie(m, rows, pops, assign, dens, cost) == std::tie(o.m, o.rows, o.pops, o.assign, o.dens, o.cost);
    }
};

int kPipeline[4] = {1, 0, 0, 1}, kUnscaled[4] = {1, 0, 0, 0};  // the pipeline's, and without the cost scale

// Through the front end with the given options, or (options null) through the
// loop with a block of our own, to reach the settings the front end fixes.
Result Sample(Matrix& data, int K, int* options, int skip = 1, int start = 0, int accel = 2, double threshold = 0.0) {
    Result r;
    r.rows.assign(K, -1), r.pops.assign(K, -1), r.dens.assign(K, -1.0), r.assign.assign(data.rows, -1);
    int k = K;
    if (options != nullptr) {
        Matrix protos(K, data.cols);
        r.m = SamplingApproach_PROBA_P(data.get(), data.rows, data.cols, 0.0, protos.get(), k, r.dens.data(),
                                       r.rows.data(), r.pops.data(), nullptr, options, r.assign.data());
        for (int j = 0; j < r.m; ++j)
            for (int t = 0; t < data.cols; ++t) EXPECT_EQ(protos[j][t], data[r.rows[j]][t]) << "prototype " << j;
    } else {
        ParamFCNNrule* p = InitParamFCNNrule(data.rows);
        InitSingleParamFCNNrule(p);
        p->n_dims = data.cols, p->max_prototypes = K, p->track_criteria = 1, p->cost_threshold = threshold;
        p->start_mode = start, p->skip_tests = skip, p->acceleration = accel;
        r.m = SamplingApproach_PROBA(data.get(), r.rows.data(), k, r.pops.data(), r.dens.data(), nullptr, p,
                                     r.assign.data());
        r.cost.assign(p->cost_history, p->cost_history + r.m);
        LibereParamFCNNrule(p);
        delete p;
    }
    EXPECT_EQ(k, r.m);
    r.rows.resize(r.m), r.pops.resize(r.m), r.dens.resize(r.m);
    return r;
}

// Independent check: every row belongs to the first prototype at its smallest
// distance, populations count the rows, each density is the population over
// the largest member distance (0.0 when that is 0.0).
void CheckAgainstBruteForce(Matrix& data, const Result& r) {
    std::vector<int> counts(r.m, 0);
    std::vector<double> radius(r.m, 0.0);
    for (int i = 0; i < data.rows; ++i) {
        double best = INFINITY, d;
        int nearest = -1;
        for (int j = 0; j < r.m; ++j)
            if ((d = d_Eucl(data[i], data[r.rows[j]], data.cols)) < best) best = d, nearest = j;
        ASSERT_EQ(r.assign[i], nearest) << "row " << i;
        ++counts[nearest];
        radius[nearest] = std::max(radius[nearest], best);
    }
    EXPECT_EQ(counts, r.pops);
    for (int j = 0; j < r.m; ++j)
        EXPECT_EQ(r.dens[j], radius[j] != 0.0 ? r.pops[j] / radius[j] : 0.0) << "prototype " << j;
}

}  // namespace

// With at least K distinct rows the budget is filled; otherwise each distinct
// row becomes exactly one prototype, of density 0.0. Neither the random state
// nor the cost scale changes the result.
TEST(SamplingFrontEnd, PrototypesAreDistinctDataRowsFromTheMinimumCorner) {
    const struct { int n, dims, distinct; } cases[] = {{10000, 3, 10000}, {10000, 2, 1500}, {5000, 3, 1}, {1, 2, 1}};
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << c.n << " rows, " << c.distinct << " distinct");
        std::vector<int> source, chosen(c.distinct, 0);
        Matrix data = Copies(c.n, c.dims, c.distinct, 2024, source);
        std::srand(1);
        const Result r = Sample(data, 4000, kPipeline);
        ASSERT_EQ(r.m, std::min(c.distinct, 4000));
        std::vector<double> corner(c.dims, INFINITY), to_corner(c.n);
        for (int i = 0; i < c.n * c.dims; ++i) corner[i % c.dims] = std::min(corner[i % c.dims], data.cells[i]);
        for (int i = 0; i < c.n; ++i) to_corner[i] = d_Eucl(corner.data(), data[i], c.dims);
        EXPECT_EQ(r.rows[0], std::min_element(to_corner.begin(), to_corner.end()) - to_corner.begin());
        // No distinct row twice: with fewer than K of them, each is chosen, so that
        // every row lies on its prototype and every density is 0.0 (checked below).
        for (int row : r.rows) ++chosen[source[row]];
        EXPECT_EQ(*std::max_element(chosen.begin(), chosen.end()), 1);
        CheckAgainstBruteForce(data, r);  // populations thus add up to N
        std::srand(987654);
        EXPECT_TRUE(r == Sample(data, 4000, kPipeline));
        EXPECT_TRUE(r == Sample(data, 4000, kUnscaled));
        // No budget: nothing chosen (the output arrays are null, so nothing may be written); no block: likewise.
        EXPECT_EQ(Sample(data, 0, kPipeline).m, 0);
        EXPECT_EQ(SamplingApproach_PROBA(data.get(), nullptr, c.n, nullptr, nullptr, nullptr, nullptr), 0);
    }
}

// The rows expected are derived by hand; the brute-force check adds that a row
// as far from the newest prototype as from its own stays where it is.
TEST(SamplingTies, TieRulesAndStopsHoldOnEveryPath) {
    struct { const char* name; Matrix data; int K, start; std::vector<int> rows; } cases[] = {
        // After 0 and 10, prototypes 0 {0,1} and 1 {10,9} both have radius 1 and population 2;
        // 9 is chosen next but the budget ends, so it stays a member of prototype 1.
        {"equal scores split the lower number", Matrix(4, 1, {9, 1, 10, 0}), 3, 0, {3, 2, 1}},
        {"equal farthest: the later row", Matrix(4, 2, {4, 3, 0, 0, 3, 4, 1, 0}), 3, 0, {1, 2, 0}},
        {"as far from the newest, 1-d", Matrix(4, 1, {0, 10, 5, 5}), 2, 0, {0, 1}},
        {"as far from the newest, 2-d", Matrix(4, 2, {0, 0, 2, 2, 1, 1, 1, 1}), 2, 0, {0, 1}},
        {"minimum corner: lowest row at 1", Matrix(4, 2, {5, 5, 0, 1, 1, 0, 0, 1}), 1, 0, {1}},
        {"maximum corner: lowest row at 1", Matrix(3, 2, {0, 0, 2, 1, 1, 2}), 1, -1, {1}},
        {"none within 100000 of the corner: row 0", Matrix(3, 2, {0, 3e5, 3e5, 0, 2e5, 2e5}), 1, 0, {0}},
        {"budget above the row count: stops at N - 1", Matrix(6, 1, {0, 1, 3, 7, 15, 31}), 10, 0, {0, 5, 4, 3, 2}},
    };
    for (auto& c : cases)
        for (int accel : {0, 1, 2})
            for (int skip : {0, 1}) {
                SCOPED_TRACE(testing::Message() << c.name << ", acceleration " << accel << ", skip tests " << skip);
                const Result r = Sample(c.data, c.K, nullptr, skip, c.start, accel);
                EXPECT_EQ(r.rows, c.rows);
                CheckAgainstBruteForce(c.data, r);
            }
}

// The plain pass over every row (acceleration 0) is the reference; the member
// lists, portable or AVX2, and the skip tests must give it bit for bit.
TEST(SamplingAcceleration, EveryWayOfVisitingTheRowsGivesThePlainResult) {
    std::vector<int> unused;
    struct { const char* name; Matrix data; int K, start; double threshold; } cases[] = {
        {"uniform 3-d", Random(6000, 3, 11), 700, 0, 0.0},
        {"integer grid 2-d", Random(6000, 2, 12, 30), 700, 0, 0.0},
        {"integer grid 5-d, maximum corner", Random(5000, 5, 13, 4), 600, -1, 0.0},
        {"repeated rows, fewer than K", Copies(5000, 4, 400, 15, unused), 700, 0, 0.0},
        {"blobs 10-d, full budget", Copies(12000, 10, 7, 14, unused, 1.0), 4000, 0, 0.0},
        {"blobs 4-d, stopped by the cost", Copies(5000, 4, 7, 21, unused, 1.0), 2000, 0, 0.6},
        {"24-d, coordinates read from the rows", Random(3000, 24, 16), 300, -1, 0.0},
        {"1-d", Random(5000, 1, 17), 900, 0, 0.0},
        {"tiny values: squares underflow", Random(3000, 3, 18, 0, 1e-150), 400, 0, 0.0},
        {"one far outlier", [] { Matrix m = Random(4000, 6, 19); m[1234][2] = 1e6; return m; }(), 500, 0, 0.0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Result plain = Sample(c.data, c.K, nullptr, 1, c.start, 0, c.threshold);
        ASSERT_GT(plain.m, 1);
        CheckAgainstBruteForce(c.data, plain);
        // A positive threshold stops at the first cost strictly below it, before the budget.
        EXPECT_TRUE(c.threshold == 0.0 || (plain.m < c.K && plain.cost.back() < c.threshold &&
                                           *std::min_element(plain.cost.begin(), plain.cost.end() - 1) >= c.threshold));
        for (int accel : {0, 1, 2})
            for (int skip : {0, 1})
                EXPECT_TRUE(Sample(c.data, c.K, nullptr, skip, c.start, accel, c.threshold) == plain)
                    << "acceleration " << accel << ", skip tests " << skip;
    }
}

// Operations of the module that the loop does not call, on hand-worked data.
TEST(SamplingHelpers, OperationsOutsideTheLoop) {
    double distances[] = {4.0, NAN};
    double* m[] = {distances};
    EXPECT_EQ(InegalTriangular(m, 2.0, 0, 0), 0);  // 4 < 4 is false
    EXPECT_EQ(InegalTriangular(m, 2.5, 0, 0), 1);
    EXPECT_EQ(InegalTriangular(m, 2.0, 0, 1), 1);  // not a number counts as below
    const double radii[] = {1.0, 1.25, 0.0}, row[] = {2.0, 2.6, 9.0};
    int flags[] = {7, 7, 7};
    DisablePrototype(radii, row, 3, flags);  // strict, and the newest (last) entry is left alone
    EXPECT_EQ(std::vector<int>(flags, flags + 3), (std::vector<int>{0, 1, 7}));
    Matrix three(3, 1, {0, 1, 2});
    for (unsigned seed = 1; seed <= 20; ++seed) {
        std::srand(seed);
        EXPECT_LT(Sample(three, 1, nullptr, 1, 1).rows[0], 2) << "a random start never takes the last row";
    }

    Matrix data(5, 2, {0, 0, 10, 10, 2, 4, 20, 20, 4, 8});
    Matrix out(5, 2);
    int rows[] = {3, 1, 0}, counts[] = {5, 1, 7};
    EXPECT_EQ(SelectinstanceWithListe(data.get(), 2, rows, 3, 2, counts, out.get()), 2);
    EXPECT_EQ(std::vector<double>(out.cells.begin(), out.cells.begin() + 4), (std::vector<double>{20, 20, 0, 0}));
    EXPECT_EQ(counts[1], 7);

    // Rows 0, 2, 4 belong to prototype 1, row 1 to prototype 0, row 3 to 2; prototype 3 has none.
    ParamFCNNrule* p = InitParamFCNNrule(5);
    InitSingleParamFCNNrule(p);
    p->n_dims = 2;
    p->max_prototypes = 4;
    Internal w{};
    InitMemory(&w, p);
    const int assignment[] = {1, 0, 1, 2, 1}, population[] = {1, 3, 1, 0};
    std::copy(assignment, assignment + 5, w.assignment);
    std::copy(population, population + 4, w.population);
    int* lists[4] = {};
    AttributionPattern(4, lists, &w, p);
    EXPECT_EQ(std::vector<int>(lists[1], lists[1] + 3), (std::vector<int>{0, 2, 4}));
    EXPECT_EQ(lists[0][0], 1);
    EXPECT_EQ(lists[3], nullptr);
    EXPECT_EQ(UpdateWithGravity(data.get(), &w, p, 3), 1);
    EXPECT_EQ(std::vector<double>(p->centroids[1], p->centroids[1] + 2), (std::vector<double>{2.0, 4.0}));
    EXPECT_EQ(p->centroids[2][0], 20.0);
    for (int* list : lists) delete[] list;
    LibereMemoireAlgorithme(&w, p);
    LibereParamFCNNrule(p);
    delete p;
}

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>
#include <tuple>
#include <vector>

#include "sampling.h"
#include "test_support.h"
#include "util.h"

using Matrix = std::vector<std::vector<double>>;

// The row pointers the module takes; they live to the end of the calling expression.
std::vector<double*> Ptrs(Matrix& m) {
    std::vector<double*> rows;
    for (auto& row : m) rows.push_back(row.data());
    return rows;
}

// side 0: uniform in [0, scale); otherwise integers below side, i.e. repeated rows and equal distances.
Matrix Random(int n, int dims, std::uint64_t seed, int side = 0, double scale = 1.0) {
    test_support::SplitMix g{seed};
    Matrix m(n, std::vector<double>(dims));
    for (auto& row : m)
        for (double& v : row) v = side == 0 ? g.Uniform() * scale : g.Below(side);
    return m;
}

// Each column brought to mean 0 and deviation 1, as the pipeline does before sampling.
Matrix Standardised(Matrix m) {
    NormaliseEcartType(Ptrs(m).data(), static_cast<int>(m.size()), static_cast<int>(m[0].size()));
    return m;
}

// Rows within +-1 of `blobs` centres, rounded to hundredths as in a data file: many distances are equal.
Matrix Blobs(int n, int dims, int blobs, std::uint64_t seed) {
    const Matrix centres = Random(blobs, dims, seed + 1, 0, 20.0);
    Matrix m = Random(n, dims, seed, 0, 2.0);
    for (int i = 0; i < n; ++i)
        for (int t = 0; t < dims; ++t) m[i][t] = std::round((centres[i % blobs][t] + m[i][t] - 1.0) * 100.0) / 100.0;
    return m;
}

struct Result {
    int m = 0;
    std::vector<int> rows, pops, assign;  // rows, pops (and dens) keep K entries; those past m must stay 0
    std::vector<double> dens, cost;  // the costs only with a positive threshold
    auto Tie() const { return std::tie(m, rows, pops, assign, dens, cost); }
};

int kPipeline[4] = {1, 0, 0, 1};

// Through the front end with these options, or else through the loop with a block of our own.
Result Sample(Matrix& data, int K, int* options, int skip = 1, int start = 0, int accel = 2, double threshold = 0.0,
              int threads = 1, double margin = 0.0) {
    const int n = static_cast<int>(data.size()), dims = static_cast<int>(data[0].size());
    Result r{0, std::vector<int>(K), std::vector<int>(K), std::vector<int>(n), std::vector<double>(K), {}};
    int k = K;
    if (options != nullptr) {
        Matrix protos(K, std::vector<double>(dims));
        r.m = SamplingApproach_PROBA_P(Ptrs(data).data(), n, dims, 0.0, Ptrs(protos).data(), k, r.dens.data(),
                                       r.rows.data(), r.pops.data(), nullptr, options, r.assign.data());
        for (int j = 0; j < r.m; ++j) EXPECT_EQ(protos[j], data[r.rows[j]]) << "prototype " << j;
    } else {
        ParamFCNNrule* p = InitParamFCNNrule(n);
        InitSingleParamFCNNrule(p);
        p->n_dims = dims;
        p->max_prototypes = K;
        p->cost_threshold = threshold;
        p->start_mode = start;
        p->skip_tests = skip;
        p->acceleration = accel;
        p->threads = threads;
        if (margin != 0.0) p->scan_margin = margin;
        r.m = SamplingApproach_PROBA(Ptrs(data).data(), r.rows.data(), k, r.pops.data(), r.dens.data(), nullptr, p,
                                     r.assign.data());
        if (threshold > 0.0) r.cost.assign(p->cost_history, p->cost_history + r.m);
        LibereParamFCNNrule(p);
        delete p;
    }
    EXPECT_EQ(k, r.m);
    return r;
}

// Independent check: every row belongs to the first prototype at its smallest distance (so no two prototypes
// coincide), populations count the rows, a density is population / largest member distance (0.0 for 0.0).
void CheckAgainstBruteForce(Matrix& data, const Result& r) {
    std::vector<int> counts(r.pops.size(), 0);
    std::vector<double> radius(r.m, 0.0), d(r.m);
    for (std::size_t i = 0; i < data.size(); ++i) {
        for (int j = 0; j < r.m; ++j) d[j] = d_Eucl(data[i].data(), data[r.rows[j]].data(), data[i].size());
        const int nearest = static_cast<int>(std::min_element(d.begin(), d.end()) - d.begin());
        ASSERT_EQ(r.assign[i], nearest) << "row " << i;
        ++counts[nearest];
        radius[nearest] = std::max(radius[nearest], d[nearest]);
    }
    EXPECT_EQ(counts, r.pops);
    for (int j = 0; j < r.m; ++j) EXPECT_EQ(r.dens[j], radius[j] != 0.0 ? r.pops[j] / radius[j] : 0.0) << j;
}

// K distinct rows fill the budget; with fewer, each becomes exactly one prototype, of density 0.0.
TEST(SamplingFrontEnd, PrototypesAreDistinctDataRows) {
    for (Matrix data : {Random(10000, 3, 1), Random(10000, 2, 2, 40), Random(5000, 3, 3, 1), Matrix{{4, 2}}}) {
        const int distinct = static_cast<int>(std::set<std::vector<double>>(data.begin(), data.end()).size());
        SCOPED_TRACE(testing::Message() << data.size() << " rows, " << distinct << " distinct");
        const Result r = Sample(data, 4000, kPipeline);
        ASSERT_EQ(r.m, std::min(distinct, 4000));
        CheckAgainstBruteForce(data, r);
        EXPECT_TRUE(r.Tie() == Sample(data, 4000, nullptr).Tie());  // minimum corner; the scale's draws change nothing
        EXPECT_EQ(Sample(data, 0, kPipeline).m, 0);  // no budget: the output arrays are null, none may be written
    }
}

// The plain pass without skip tests is checked by brute force (and by hand); every path without them must
// reproduce it, every path with them the plain pass with them. The two agree except where a row lies exactly
// half-way to the newest prototype and rounding puts it nearer: the per-row test keeps it with its prototype.
TEST(SamplingPaths, TieRulesAndSeededSetsGiveThePlainResultOnEveryPath) {
    struct Case {
        const char* name;
        Matrix data;
        int K, start;
        double threshold;
        std::vector<int> rows;
        bool midpoints = false;  // the skip tests decide some rows
    } cases[] = {
        // Prototypes 0 {0,1} and 1 {10,9} tie (radius 1, population 2); 9, chosen next, stays a member at the budget.
        {"equal scores split the lower number", {{9}, {1}, {10}, {0}}, 3, 0, 0.0, {3, 2, 1}},
        {"equal farthest: the later row", {{4, 3}, {0, 0}, {3, 4}, {1, 0}}, 3, 0, 0.0, {1, 2, 0}},
        {"as far from the newest as from its own", {{0}, {10}, {5}, {5}}, 2, 0, 0.0, {0, 1}},
        {"minimum corner: lowest row at 1", {{5, 5}, {0, 1}, {1, 0}, {0, 1}}, 1, 0, 0.0, {1}},
        {"maximum corner: lowest row at 1", {{0, 0}, {2, 1}, {1, 2}}, 1, -1, 0.0, {1}},
        {"none within 100000 of the corner: row 0", {{0, 3e5}, {3e5, 0}, {2e5, 2e5}}, 1, 0, 0.0, {0}},
        {"budget above the row count: stops at N - 1", {{0}, {1}, {3}, {7}, {15}, {31}}, 10, 0, 0.0, {0, 5, 4, 3, 2}},
        {"integer grid 2-d, fewer distinct rows than K", Random(6000, 2, 12, 30), 1000, 0, 0.0, {}},
        {"integer grid 5-d, maximum corner", Random(5000, 5, 13, 4), 600, -1, 0.0, {}},
        {"blobs 10-d, full budget", Blobs(6000, 10, 7, 14), 4000, 0, 0.0, {}},
        {"blobs 4-d, stopped by the cost", Blobs(5000, 4, 7, 21), 2000, 0, 0.6, {}},
        {"24-d", Random(3000, 24, 16), 300, -1, 0.0, {}},
        {"1-d", Random(5000, 1, 17), 900, 0, 0.0, {}},
        {"tiny values: squares underflow", Random(3000, 3, 18, 0, 1e-160), 400, 0, 0.0, {}},
        {"one far outlier", [] { Matrix m = Random(4000, 6, 19); m[1234][2] = 1e6; return m; }(), 500, 0, 0.0, {}},
        {"standardised grid: rows half-way between prototypes", Standardised(Random(8000, 2, 13, 40)), 4000, 0, 0.0,
         {}, true},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Result plain = Sample(c.data, c.K, nullptr, 0, c.start, 0, c.threshold);
        CheckAgainstBruteForce(c.data, plain);
        EXPECT_TRUE(c.rows.empty() || std::vector<int>(plain.rows.begin(), plain.rows.begin() + plain.m) == c.rows);
        // A positive threshold stops at the first cost strictly below it.
        EXPECT_TRUE(c.threshold == 0.0 || (plain.cost.back() < c.threshold &&
                                           *std::min_element(plain.cost.begin(), plain.cost.end() - 1) >= c.threshold));
        const Result tested = Sample(c.data, c.K, nullptr, 1, c.start, 0, c.threshold);
        EXPECT_EQ(tested.Tie() == plain.Tie(), !c.midpoints);
        for (int path = 2; path < 6; ++path)  // acceleration path / 2, skip tests path % 2
            EXPECT_TRUE(Sample(c.data, c.K, nullptr, path % 2, c.start, path / 2, c.threshold).Tie() ==
                        (path % 2 != 0 ? tested : plain).Tie())
                << "acceleration " << path / 2 << ", skip tests " << path % 2;
        // Lists scanned on two threads: the same result (runs of 4096 rows or more share their scans).
        EXPECT_TRUE(Sample(c.data, c.K, nullptr, 1, c.start, 2, c.threshold, 2).Tie() == tested.Tie())
            << "two threads";
    }
}

// The lists' squared-distance filter lets a row through up to d x d x margin: below 1, rows that the exact
// distance puts strictly nearer to the newest prototype are missed; the margin in use misses none. The
// standardised grid holds such rows: distances equal but for their rounding.
TEST(SamplingPaths, TheFilterMarginMissesNoRowThatMoves) {
    Matrix grid = Standardised(Random(8000, 2, 13, 40));
    const Result tested = Sample(grid, 4000, nullptr, 1, 0, 0);
    EXPECT_TRUE(Sample(grid, 4000, nullptr, 1, 0, 2).Tie() == tested.Tie());
    for (int accel : {1, 2})
        EXPECT_FALSE(Sample(grid, 4000, nullptr, 1, 0, accel, 0.0, 1, 1.0 - 1e-12).Tie() == tested.Tie())
            << "a margin below 1 must change the result here, acceleration " << accel;
}

// Operations of the module that the loop does not call, on hand-worked data.
TEST(SamplingHelpers, OperationsOutsideTheLoop) {
    // Row 0 against 2 x 2.0: equal is not below, not a number counts as below. Rows 1 and 2: radii and distances.
    Matrix m = {{4.0, 3.9, NAN}, {1.0, 1.25, 0.0}, {2.0, 2.6, 9.0}};
    for (int col : {0, 1, 2}) EXPECT_EQ(InegalTriangular(Ptrs(m).data(), 2.0, 0, col), col == 0 ? 0 : 1);
    int flags[] = {7, 7, 7};
    DisablePrototype(m[1].data(), m[2].data(), 3, flags);  // strict; the newest (last) entry is left alone
    EXPECT_EQ(std::vector<int>(flags, flags + 3), (std::vector<int>{0, 1, 7}));
    int k = 1;
    EXPECT_EQ(SamplingApproach_PROBA(nullptr, nullptr, k, nullptr, nullptr, nullptr, nullptr), 0);  // no block

    Matrix data = {{0, 0}, {10, 10}, {2, 4}, {20, 20}, {4, 8}};
    for (unsigned seed = 1; seed <= 50; ++seed) {
        std::srand(seed);
        EXPECT_LT(Sample(data, 1, nullptr, 1, 1).rows[0], 4) << "a random start never takes the last row";
    }
    Matrix out(3, std::vector<double>(2));
    int rows[] = {3, 1, 0}, counts[] = {5, 4, 7};
    EXPECT_EQ(SelectinstanceWithListe(Ptrs(data).data(), 2, rows, 3, 5, counts, Ptrs(out).data()), 2);
    EXPECT_EQ(out, (Matrix{{20, 20}, {0, 0}, {0, 0}}));
    EXPECT_EQ(counts[1], 7);  // counts below 5 are left out; the kept ones move to the front

    // Rows 0, 2, 4 belong to prototype 1, row 1 to prototype 0, row 3 to 2; prototype 3 has none.
    int assignment[] = {1, 0, 1, 2, 1}, population[] = {1, 3, 1, 0};
    Internal w{};
    w.assignment = assignment;
    w.population = population;
    ParamFCNNrule* p = InitParamFCNNrule(5);
    InitSingleParamFCNNrule(p);
    p->n_dims = 2;
    int* lists[4] = {};
    AttributionPattern(4, lists, &w, p);
    EXPECT_EQ(std::vector<int>(lists[1], lists[1] + 3), (std::vector<int>{0, 2, 4}));
    EXPECT_EQ(lists[3], nullptr);
    UpdateWithGravity(Ptrs(data).data(), &w, p, 3);
    EXPECT_EQ(std::vector<double>(p->centroids[1], p->centroids[1] + 2), (std::vector<double>{2.0, 4.0}));
    for (int* list : lists) delete[] list;
    LibereParamFCNNrule(p);
    delete p;
}

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

#include "sampling.h"
#include "test_support.h"

namespace {

using SplitMix64 = test_support::SplitMix;

struct Matrix {
    int rows, cols;
    std::vector<double> cells;
    std::vector<double*> ptr;
    Matrix(int r, int c) : rows(r), cols(c), cells(static_cast<std::size_t>(r) * c), ptr(r) {
        for (int i = 0; i < r; ++i) ptr[i] = cells.data() + static_cast<std::size_t>(i) * c;
    }
    Matrix(std::initializer_list<std::vector<double>> values)
        : Matrix(static_cast<int>(values.size()), static_cast<int>(values.begin()->size())) {
        int i = 0;
        for (const auto& row : values) std::copy(row.begin(), row.end(), ptr[i++]);
    }
    double** get() { return ptr.data(); }
    double* operator[](int i) { return ptr[i]; }
};

// side 0: uniform in [0,1); otherwise small integers, i.e. duplicates and equal distances.
Matrix Random(int n, int dims, std::uint64_t seed, int side = 0) {
    SplitMix64 g{seed};
    Matrix m(n, dims);
    for (double& v : m.cells) v = side == 0 ? g.Uniform() : g.Below(side);
    return m;
}

struct Result {
    int m = 0;
    std::vector<int> rows, pops, assign;
    std::vector<double> dens, max_radius, cost;  // the last two only through the loop
    bool operator==(const Result& o) const {
        return m == o.m && rows == o.rows && pops == o.pops && assign == o.assign && Same(dens, o.dens) &&
               Same(max_radius, o.max_radius) && Same(cost, o.cost);
    }
    // Bit for bit, so that a NaN equals itself and -0.0 differs from 0.0.
    static bool Same(const std::vector<double>& a, const std::vector<double>& b) {
        return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
    }
};

// Through the front end with the given options, or (options null) through the
// loop with a block of our own, to reach settings the front end fixes.
Result Sample(Matrix& data, int K, const int* options, int skip_tests = 1, int start_mode = 0,
              DistanceFn distance = d_Eucl, int acceleration = 2, double threshold = 0.0) {
    Result r;
    r.rows.assign(K, -1), r.pops.assign(K, -1), r.dens.assign(K, -1.0), r.assign.assign(data.rows, -1);
    int k = K;
    if (options != nullptr) {
        Matrix protos(K, data.cols);
        r.m = SamplingApproach_PROBA_P(data.get(), data.rows, data.cols, 0.0, protos.get(), k, r.dens.data(),
                                       r.rows.data(), r.pops.data(), nullptr, const_cast<int*>(options),
                                       r.assign.data());
        for (int j = 0; j < r.m; ++j)
            for (int t = 0; t < data.cols; ++t) EXPECT_EQ(protos[j][t], data[r.rows[j]][t]) << "prototype " << j;
    } else {
        ParamFCNNrule* p = InitParamFCNNrule(data.rows);
        InitSingleParamFCNNrule(p);
        p->n_dims = data.cols, p->max_prototypes = K, p->track_criteria = 1, p->cost_threshold = threshold;
        p->start_mode = start_mode, p->skip_tests = skip_tests, p->distance = distance;
        p->acceleration = acceleration;
        r.m = SamplingApproach_PROBA(data.get(), r.rows.data(), k, r.pops.data(), r.dens.data(), nullptr, p,
                                     r.assign.data());
        r.max_radius.assign(p->max_radius_history, p->max_radius_history + std::max(r.m, 0));
        if (threshold > 0.0) r.cost.assign(p->cost_history, p->cost_history + std::max(r.m, 0));
        LibereParamFCNNrule(p);
        delete p;
    }
    EXPECT_EQ(k, r.m);
    r.rows.resize(r.m), r.pops.resize(r.m), r.dens.resize(r.m);
    return r;
}
const int kPipeline[4] = {1, 0, 0, 1};

// Independent check: every row belongs to the first prototype at its smallest
// distance, populations count the rows, each density is the population over
// the largest distance of a non-prototype member.
void CheckAgainstBruteForce(Matrix& data, const Result& r) {
    std::vector<char> is_proto(data.rows, 0);
    for (int j = 0; j < r.m; ++j) is_proto[r.rows[j]] = 1;
    std::vector<int> counts(r.m, 0);
    std::vector<double> radius(r.m, 0.0);
    for (int i = 0; i < data.rows; ++i) {
        double best = std::numeric_limits<double>::infinity();
        int nearest = -1;
        for (int j = 0; j < r.m; ++j) {
            const double d = d_Eucl(data[i], data[r.rows[j]], data.cols);
            if (d < best) best = d, nearest = j;
        }
        ASSERT_EQ(r.assign[i], nearest) << "row " << i;
        ++counts[nearest];
        if (!is_proto[i] && best > radius[nearest]) radius[nearest] = best;
    }
    EXPECT_EQ(counts, r.pops);
    for (int j = 0; j < r.m; ++j) {
        EXPECT_EQ(r.assign[r.rows[j]], j);
        EXPECT_EQ(r.dens[j], radius[j] != 0.0 ? r.pops[j] / radius[j] : 0.0) << "prototype " << j;
    }
}

long g_distance_calls = 0;
double CountingDistance(const double* a, const double* b, int dims) {
    ++g_distance_calls;
    return d_Eucl(a, b, dims);
}

}  // namespace

// ---- Whole runs --------------------------------------------------------------

TEST(SamplingRun, AllRowsEqualGiveOnePrototypeOfDensityZero) {
    Matrix data(5000, 3);
    for (double& v : data.cells) v = 0.25;
    const Result r = Sample(data, 4000, kPipeline);
    EXPECT_EQ(r.rows, std::vector<int>{0});  // every row ties with the corner: the first is taken
    EXPECT_EQ(r.pops, std::vector<int>{5000});
    EXPECT_EQ(r.dens, std::vector<double>{0.0});
    EXPECT_EQ(r.assign, std::vector<int>(5000, 0));
}

TEST(SamplingRun, EachDistinctValueBecomesExactlyOnePrototype) {
    SplitMix64 g{77};
    const int n = 10000, distinct = 1500;
    Matrix values = Random(distinct, 2, 78);
    std::vector<int> source(n), multiplicity(distinct, 0), chosen(distinct, 0);
    for (int i = 0; i < n; ++i) source[i] = i < distinct ? i : g.Below(distinct);
    for (int i = n - 1; i > 0; --i) std::swap(source[i], source[g.Below(i + 1)]);
    Matrix data(n, 2);
    for (int i = 0; i < n; ++i) std::copy(values[source[i]], values[source[i]] + 2, data[i]), ++multiplicity[source[i]];
    const Result r = Sample(data, 4000, kPipeline);
    ASSERT_EQ(r.m, distinct);
    for (int j = 0; j < r.m; ++j) {
        ++chosen[source[r.rows[j]]];
        EXPECT_EQ(r.pops[j], multiplicity[source[r.rows[j]]]);
        EXPECT_EQ(r.dens[j], 0.0);
    }
    EXPECT_EQ(chosen, std::vector<int>(distinct, 1));
    // Copies stay with the prototype of their own value.
    for (int i = 0; i < n; ++i) ASSERT_EQ(source[r.rows[r.assign[i]]], source[i]) << "row " << i;
}

TEST(SamplingRun, ManyDistinctRowsFillTheBudgetExactly) {
    Matrix data = Random(10000, 3, 2024);
    const Result r = Sample(data, 4000, kPipeline);
    ASSERT_EQ(r.m, 4000);
    // Prototype 0: the first row nearest the per-column minimum corner.
    double corner[3] = {1e10, 1e10, 1e10};
    for (int i = 0; i < data.rows; ++i)
        for (int t = 0; t < 3; ++t) corner[t] = std::fmin(corner[t], data[i][t]);
    int first = 0;
    for (int i = 1; i < data.rows; ++i)
        if (d_Eucl(corner, data[i], 3) < d_Eucl(corner, data[first], 3)) first = i;
    EXPECT_EQ(r.rows[0], first);
    CheckAgainstBruteForce(data, r);  // populations thus add up to N
}

TEST(SamplingRun, EdgeSizes) {
    // A budget above the row count stops one short of the rows.
    Matrix line{{0.0}, {1.0}, {3.0}, {7.0}, {15.0}, {31.0}};
    const Result r = Sample(line, 10, nullptr);
    EXPECT_EQ(r.m, 5);
    CheckAgainstBruteForce(line, r);
    // No budget: nothing chosen, nothing written.
    int rows = -1, pops = -1, count = 0;
    double dens = -1.0;
    EXPECT_EQ(SamplingApproach_PROBA_P(line.get(), 6, 1, 0.0, nullptr, count, &dens, &rows, &pops, nullptr,
                                       const_cast<int*>(kPipeline)),
              0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(rows, -1);
    // A single row, with the inertia estimate on.
    Matrix single{{4.0, 5.0}};
    const Result one = Sample(single, 3, kPipeline);
    EXPECT_EQ(one.pops, std::vector<int>{1});
    EXPECT_EQ(one.dens, std::vector<double>{0.0});
}

TEST(SamplingRun, ResultDoesNotDependOnClockOrRandomStateWithPipelineOptions) {
    Matrix data = Random(5000, 3, 5, 40);
    std::srand(1);
    const Result a = Sample(data, 700, kPipeline);
    std::srand(987654);
    for (int i = 0; i < 37; ++i) std::rand();
    const Result b = Sample(data, 700, kPipeline);
    const int unscaled[4] = {1, 0, 0, 0};
    EXPECT_TRUE(a == b);
    EXPECT_TRUE(a == Sample(data, 700, unscaled));
    CheckAgainstBruteForce(data, a);
}

// ---- Tie rules ---------------------------------------------------------------

TEST(SamplingTies, EqualScoresSplitTheLowerPrototypeNumber) {
    // After 0 and 10, prototypes 0 {0,1} and 1 {10,9} both have radius 1 and population 2.
    Matrix data{{9.0}, {1.0}, {10.0}, {0.0}};
    for (int skip : {1, 0}) {
        const Result r = Sample(data, 3, nullptr, skip);
        EXPECT_EQ(r.rows, (std::vector<int>{3, 2, 1})) << "skip tests " << skip;
        // Row 9 was chosen next but the budget ended: it stays a member of prototype 1.
        EXPECT_EQ(r.pops, (std::vector<int>{1, 2, 1}));
        EXPECT_EQ(r.dens, (std::vector<double>{0.0, 2.0, 0.0}));
    }
}

TEST(SamplingTies, FarthestMemberTieGoesToTheLaterRow) {
    Matrix data{{4.0, 3.0}, {0.0, 0.0}, {3.0, 4.0}, {1.0, 0.0}};  // rows 0 and 2 both 5 from row 1
    for (int skip : {1, 0}) EXPECT_EQ(Sample(data, 3, nullptr, skip).rows[1], 2) << "skip tests " << skip;
}

TEST(SamplingTies, RowEquallyFarFromNewestPrototypeStays) {
    Matrix line{{0.0}, {10.0}, {5.0}, {5.0}};
    Matrix plane{{0.0, 0.0}, {2.0, 2.0}, {1.0, 1.0}, {1.0, 1.0}};
    for (Matrix* data : {&line, &plane}) {
        for (int skip : {1, 0}) {
            const Result r = Sample(*data, 2, nullptr, skip);
            EXPECT_EQ(r.rows, (std::vector<int>{0, 1})) << "skip tests " << skip;
            EXPECT_EQ(r.assign, (std::vector<int>{0, 1, 0, 0}));
            EXPECT_EQ(r.pops, (std::vector<int>{3, 1}));
        }
    }
}

// A callback other than d_Eucl always takes the pass over every row.
TEST(SamplingTies, SkipTestsNeverChangeTheResult) {
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Matrix tied = Random(3000, 2 + static_cast<int>(seed % 2), seed, 12);
        Matrix spread = Random(3000, 3, seed + 100);
        for (Matrix* data : {&tied, &spread}) {
            for (int K : {150, 600}) {
                g_distance_calls = 0;
                const Result with = Sample(*data, K, nullptr, 1, 0, CountingDistance);
                const long calls_with = g_distance_calls;
                g_distance_calls = 0;
                EXPECT_TRUE(with == Sample(*data, K, nullptr, 0, 0, CountingDistance)) << "K " << K;
                EXPECT_LT(calls_with, g_distance_calls) << "K " << K;  // the tests did spare work
                CheckAgainstBruteForce(*data, with);
            }
        }
    }
}

// ---- Ways of visiting the rows -----------------------------------------------------

namespace {

// Points around a few centres, rounded to hundredths as in a data file: many
// equal distances inside each blob.
Matrix Blobs(int n, int dims, std::uint64_t seed) {
    SplitMix64 g{seed};
    Matrix centres = Random(7, dims, seed + 1);
    Matrix m(n, dims);
    for (int i = 0; i < n; ++i) {
        const int c = g.Below(7);
        for (int t = 0; t < dims; ++t)
            m[i][t] = std::round((centres[c][t] * 20.0 + g.Uniform() + g.Uniform() - 1.0) * 100.0) / 100.0;
    }
    return m;
}

// Rows drawn from `distinct` random rows, so that many rows coincide.
Matrix Copies(int n, int dims, int distinct, std::uint64_t seed) {
    SplitMix64 g{seed};
    Matrix values = Random(distinct, dims, seed + 1);
    Matrix m(n, dims);
    for (int i = 0; i < n; ++i) {
        const int v = g.Below(distinct);
        std::copy(values[v], values[v] + dims, m[i]);
    }
    return m;
}

struct Case {
    std::string name;
    Matrix data;
    int K;
};

std::vector<Case> VisitCases() {
    std::vector<Case> cases;
    cases.push_back({"uniform 3-d", Random(6000, 3, 11), 700});
    cases.push_back({"integer grid 2-d", Random(6000, 2, 12, 30), 700});
    cases.push_back({"integer grid 5-d", Random(5000, 5, 13, 4), 600});
    cases.push_back({"blobs 10-d", Blobs(6000, 10, 14), 500});
    cases.push_back({"copies, fewer than K", Copies(5000, 4, 400, 15), 700});
    cases.push_back({"24-d, coordinates read from the rows", Random(3000, 24, 16), 300});
    cases.push_back({"1-d", Random(5000, 1, 17), 900});
    Matrix tiny = Random(3000, 3, 18);
    for (double& v : tiny.cells) v *= 1e-150;  // squares underflow: the exact comparisons decide
    cases.push_back({"tiny values", std::move(tiny), 400});
    Matrix outlier = Random(4000, 6, 19);
    outlier[1234][2] = 1e6;
    cases.push_back({"one far outlier", std::move(outlier), 500});
    return cases;
}

}  // namespace

TEST(SamplingAcceleration, MemberListsGiveThePlainPassResult) {
    for (Case& c : VisitCases()) {
        SCOPED_TRACE(c.name);
        const Result plain = Sample(c.data, c.K, nullptr, 1, 0, d_Eucl, 0);
        ASSERT_GT(plain.m, 1);
        for (int acceleration : {1, 2}) {
            for (int skip : {1, 0}) {
                EXPECT_TRUE(Sample(c.data, c.K, nullptr, skip, 0, d_Eucl, acceleration) == plain)
                    << "acceleration " << acceleration << ", skip tests " << skip;
            }
        }
        CheckAgainstBruteForce(c.data, plain);
    }
}

TEST(SamplingAcceleration, Avx2KernelsMatchPortableKernelsBitForBit) {
    if (SamplingHasAvx2Kernels() == 0) GTEST_SKIP() << "no AVX2 on this processor";
    for (Case& c : VisitCases()) {
        SCOPED_TRACE(c.name);
        for (int start : {0, -1}) {
            const Result portable = Sample(c.data, c.K, nullptr, 1, start, d_Eucl, 1);
            EXPECT_TRUE(Sample(c.data, c.K, nullptr, 1, start, d_Eucl, 2) == portable) << "start " << start;
        }
    }
    // A full budget on more rows, through the front end as the pipeline calls it.
    Matrix data = Blobs(20000, 10, 20);
    ParamFCNNrule* p = InitParamFCNNrule(data.rows);
    InitSingleParamFCNNrule(p);
    p->n_dims = data.cols, p->max_prototypes = 4000, p->track_criteria = 1, p->cost_threshold = 0.0;
    p->start_mode = 0;
    Result r[2];
    for (int a = 0; a < 2; ++a) {
        p->acceleration = a + 1;
        r[a].rows.resize(4000), r[a].pops.resize(4000), r[a].dens.resize(4000), r[a].assign.resize(data.rows);
        int k = 0;
        r[a].m = SamplingApproach_PROBA(data.get(), r[a].rows.data(), k, r[a].pops.data(), r[a].dens.data(), nullptr,
                                        p, r[a].assign.data());
    }
    EXPECT_EQ(r[0].m, 4000);
    EXPECT_TRUE(r[0] == r[1]);
    LibereParamFCNNrule(p);
    delete p;
}

TEST(SamplingAcceleration, PositiveCostThresholdStopsAtTheSameStep) {
    Matrix data = Blobs(5000, 4, 21);
    const Result plain = Sample(data, 2000, nullptr, 1, 0, d_Eucl, 0, 0.6);
    ASSERT_GT(plain.m, 1);
    ASSERT_LT(plain.m, 2000);  // the cost stopped the loop, not the budget
    // The last recorded cost is the first below the threshold.
    EXPECT_LT(plain.cost[plain.m - 1], 0.6);
    for (int j = 0; j + 1 < plain.m; ++j) ASSERT_GE(plain.cost[j], 0.6) << "k " << j + 1;
    for (int acceleration : {1, 2}) {
        EXPECT_TRUE(Sample(data, 2000, nullptr, 1, 0, d_Eucl, acceleration, 0.6) == plain)
            << "acceleration " << acceleration;
    }
}

// ---- First prototype and cost scale --------------------------------------------

TEST(SamplingStart, FirstPrototype) {
    Matrix low{{5.0, 5.0}, {0.0, 1.0}, {1.0, 0.0}, {0.0, 1.0}};  // rows 1-3 all 1 from (0,0)
    EXPECT_EQ(Sample(low, 1, nullptr, 1, 0).rows, std::vector<int>{1});
    Matrix high{{0.0, 0.0}, {2.0, 1.0}, {1.0, 2.0}};  // rows 1-2 both 1 from (2,2)
    EXPECT_EQ(Sample(high, 1, nullptr, 1, -1).rows, std::vector<int>{1});
    Matrix far{{0.0, 3e5}, {3e5, 0.0}, {2e5, 2e5}};  // none within 100000.0: row 0, not the nearest
    EXPECT_EQ(Sample(far, 1, nullptr, 1, 0).rows, std::vector<int>{0});
    std::vector<int> seen(3, 0);  // a random start never takes the last row
    for (unsigned seed = 0; seed < 200; ++seed) {
        std::srand(seed);
        ++seen[Sample(high, 1, nullptr, 1, 1).rows[0]];
    }
    EXPECT_EQ(seen[2], 0);
}

TEST(SamplingStart, InertiaEstimate) {
    Matrix data(50, 2);
    for (double& v : data.cells) v = 0.5;
    data[49][0] = 1e6;  // never drawn, so only the equal rows count
    EXPECT_EQ(InertieGenAleaListe(data.get(), 50, 2, 50), 0.0);
    EXPECT_EQ(InertieGenAleaListe(data.get(), 50, 2, 51), 0.0);  // sample larger than the data
    // Replays the draws from the same clock seed.
    Matrix spread = Random(60, 2, 9);
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::time_t before = std::time(nullptr);
        const double got = InertieGenAleaListe(spread.get(), 60, 2, 40);
        if (std::time(nullptr) != before) continue;
        std::srand(static_cast<unsigned>(before));
        std::vector<int> drawn(40);
        double mean[2] = {0.0, 0.0}, sum = 0.0;
        for (int& r : drawn) r = std::rand() % 59, mean[0] += spread[r][0], mean[1] += spread[r][1];
        mean[0] /= 40, mean[1] /= 40;
        for (int r : drawn) sum += d_Eucl(mean, spread[r], 2) * d_Eucl(mean, spread[r], 2);
        EXPECT_EQ(got, std::sqrt(sum / 40));
        return;
    }
    FAIL() << "the clock moved during every attempt";
}

TEST(SamplingStart, ZeroThresholdNeverStopsWhateverTheScale) {
    ParamFCNNrule* p = InitParamFCNNrule(4);
    InitSingleParamFCNNrule(p);
    int population[2] = {3, 1};
    double radius[2] = {0.5, 0.0};
    Internal w{};
    w.population = population, w.radius = radius;
    p->cost_threshold = 0.0;
    for (double scale : {0.0, 1e-300, 1.0, 1e300}) {
        w.scale = scale;
        EXPECT_EQ(CalculCost(&w, p, 2), 0) << "scale " << scale;
    }
    w.scale = 1.0;
    p->cost_threshold = 0.375;  // cost = 3 x 0.5 / 4: stops only strictly below the threshold
    EXPECT_EQ(CalculCost(&w, p, 2), 0);
    EXPECT_EQ(p->cost_history[1], 0.375);
    p->cost_threshold = 0.38;
    EXPECT_EQ(CalculCost(&w, p, 2), 1);
    LibereParamFCNNrule(p);
    delete p;
}

// ---- Other operations ------------------------------------------------------------

TEST(SamplingOperations, CentroidsAreTheMembersMeansBeyondTwentyDimensions) {
    Matrix data = Random(40, 25, 3);
    ParamFCNNrule* p = InitParamFCNNrule(40);
    InitSingleParamFCNNrule(p);
    p->n_dims = 25, p->max_prototypes = 4, p->gravity_on = 1;
    std::vector<int> rows(4), pops(4), assign(40);
    std::vector<double> dens(4);
    int k = 0;
    const int m = SamplingApproach_PROBA(data.get(), rows.data(), k, pops.data(), dens.data(), nullptr, p,
                                         assign.data());
    ASSERT_EQ(m, 4);
    Matrix sums(4, 25);
    for (int i = 0; i < 40; ++i)
        for (int t = 0; t < 25; ++t) sums[assign[i]][t] += data[i][t];
    for (int j = 0; j < 4; ++j)
        for (int t = 0; t < 25; ++t) EXPECT_EQ(p->centroids[j][t], sums[j][t] / pops[j]);
    LibereParamFCNNrule(p);
    delete p;
}

TEST(SamplingOperations, ListsSelectionAndGeometricTests) {
    ParamFCNNrule* p = InitParamFCNNrule(6);
    InitSingleParamFCNNrule(p);
    int assignment[6] = {2, 0, 2, 0, 0, 2};
    Internal w{};
    w.assignment = assignment;
    int* lists[3] = {new int[9], nullptr, nullptr};
    AttributionPattern(3, lists, &w, p);
    EXPECT_EQ(std::vector<int>(lists[0], lists[0] + 3), (std::vector<int>{1, 3, 4}));
    EXPECT_EQ(lists[1], nullptr);
    EXPECT_EQ(std::vector<int>(lists[2], lists[2] + 3), (std::vector<int>{0, 2, 5}));
    for (int* list : lists) delete[] list;
    LibereParamFCNNrule(p);
    delete p;

    Matrix data{{1.0, 2.0}, {3.0, 4.0}, {5.0, 6.0}}, out(3, 2);
    int rows[3] = {2, 0, 1}, counts[3] = {5, 1, 7};
    EXPECT_EQ(SelectinstanceWithListe(data.get(), 2, rows, 3, 2, counts, out.get()), 2);
    EXPECT_EQ(out.cells[0], 5.0);
    EXPECT_EQ(out.cells[2], 3.0);
    EXPECT_EQ(counts[1], 7);  // kept counts move to the front

    double row[2] = {2.0, std::nan("")};
    double* m[1] = {row};
    EXPECT_EQ(InegalTriangular(m, 1.0, 0, 0), 0);  // 2 is not below 2 x 1
    EXPECT_EQ(InegalTriangular(m, 1.0000001, 0, 0), 1);
    EXPECT_EQ(InegalTriangular(m, 1.0, 0, 1), 1);
    double radii[3] = {1.0, 0.9, 5.0}, to_newest[3] = {2.0, 2.0, 2.0};
    int flags[3] = {-1, -1, -1};
    DisablePrototype(radii, to_newest, 3, flags);
    EXPECT_EQ(flags[0], 0);
    EXPECT_EQ(flags[1], 1);
    EXPECT_EQ(flags[2], -1);  // the newest prototype itself is not tested
}

#include "tavri.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <new>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

// Allocation-failure hook: the util allocators use nothrow array new; when
// armed, the call after `g_nothrow_successes_left` successes fails once.
static int g_nothrow_successes_left = -1;
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (g_nothrow_successes_left >= 0 && g_nothrow_successes_left-- == 0) return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

namespace {

using Ints = std::vector<int>;
using Trio = std::array<double, 3>;  // merge tests; a merge (into, from, link); a contact answer
const Trio kOn = {1.0, 1.0, 0.04};   // the default merge tests
const Trio kOff = {0.0, 0.0, 0.04};
const std::vector<double> kNine = {0, 1, 3, 4, 10, 11, 13, 14, 30};

// The neighbour tables of the density phase; `first`: the first head at the smallest distance (plain scan only).
struct Tables { Ints not_smaller, nearest; std::vector<double> distance; Ints first; };

// Points (row-major coordinates), one group per point, and the clustering workspace over them.
struct Points {
    Points(const std::vector<double>& coords, int d, const std::vector<Trio>& merges = {})
        : n(static_cast<int>(coords.size()) / d), dims(d), recs(n) {
        data = Reservmemdouble(n, dims);
        for (int i = 0; i < n * dims; ++i) data[i / dims][i % dims] = coords[i];
        link = Reservmemdouble(n, n);
        GenereMatriceDistance(data, n, dims, nullptr, link, d_Eucl);
        algo_init(data, n, dims, nullptr, recs.data());
        InitGroupSpace(ws, data, n, dims, link, d_Eucl);
        for (const Trio& m : merges) Merge(static_cast<int>(m[0]), static_cast<int>(m[1]), m[2]);  // (into, from, link)
    }
    ~Points() {
        algo_delete(n, recs.data());
        Delete2D(link, n);
        Delete2D(data, n);
    }
    HPtC_S* r() { return recs.data(); }
    void Merge(int into, int from, double d) { ConnectionSingle(r(), into, from, d, &ws); }
    // The group's points; none for an absorbed record.
    Ints Members(int h) const { return Ints(recs[h].member_list.begin(), recs[h].member_list.end()); }
    int Link(double x) { return findclosest1KNN(ws, r(), x, groups); }
    int Pass(double t, Trio tests = kOn) { return AlgoUnit_DensityNeighborMin(ws, r(), 0, 0, t, 0.95, tests.data()); }
    Trio Contacts(int a, int b, double x) {  // {mutual pairs, count of a, count of b}; counts start at -1
        double ca = -1.0, cb = -1.0;
        const int mutual = GetMutualdistance(ws, r(), a, b, x, ca, cb);
        return {static_cast<double>(mutual), ca, cb};
    }
    Tables Neighbours() {
        Tables t{Ints(n), Ints(n), {}, {}};
        t.distance = getdistance_DensityMin(ws, r(), t.not_smaller.data(), t.nearest.data());
        return t;
    }
    int n, dims, groups = -1;
    double **data, **link;
    std::vector<HPtC_S> recs;
    GroupSpace ws;
};

// Cluster lists as the pipeline holds them.
struct Lists {
    explicit Lists(int n) : members(std::max(n, 1), nullptr), sizes(members.size(), 0) {}
    ~Lists() { std::for_each(members.begin(), members.end(), [](int* m) { delete[] m; }); }
    Ints List(int k) const { return Ints(members[k], members[k] + sizes[k]); }
    std::vector<int*> members;  // of n entries
    Ints sizes;
};

// One driver run with the default run parameters, some slots changed.
struct DriverRun {
    DriverRun(const Points& p, std::vector<std::pair<int, double>> changes = {}) : lists(p.n) {
        std::array<double, 9> params = {0.15, 1.0, 1.0, 1.0, 0.04, 0.0, 0.0, 1.0, 0.0};
        for (const auto& c : changes) params[c.first] = c.second;
        testing::internal::CaptureStdout();
        count = algoMutuel(p.data, p.n, p.dims, groups, 2, params.data(), d_Eucl, lists.members.data(),
                           lists.sizes.data(), noise);
        out = testing::internal::GetCapturedStdout();
    }
    Lists lists;
    int count = 0, groups = -1, noise = -1;
    std::string out;
};

// The neighbour tables by their rules, tie rules included, from point distances alone.
Tables PlainTables(const Points& p) {
    Tables t{Ints(p.n), Ints(p.n), std::vector<double>(p.n, 0.0), Ints(p.n, -1)};
    for (int i = 0; i < p.n; ++i) {
        t.not_smaller[i] = t.nearest[i] = i;
        const HPtC_S& g = p.recs[i];
        if (g.is_head == 0) continue;
        double best = 1000000.0, best_not_smaller = 100000.0, lowest = 1000000.0;
        for (int j = 0, examined = 0; j < p.n; ++j) {
            const HPtC_S& o = p.recs[j];
            if (j == i || o.is_head == 0) continue;
            double d = 100000000.0;  // the single-link distance by a strict search (NaN never taken)
            for (int q : p.Members(i))
                for (int s : p.Members(j)) d = PointDistance(p.ws, q, s) < d ? PointDistance(p.ws, q, s) : d;
            auto take = [&](int& held, double& at, bool spacing) {  // the tie rules of both searches
                const HPtC_S& k = p.recs[held];
                const bool tie_won = (spacing && j >= 2 && g.member_count != 1 && o.member_count != 1 &&
                                      std::fabs(k.mean_link - o.mean_link) > std::fabs(g.mean_link - o.mean_link)) ||
                                     (examined >= 2 && k.member_count < o.member_count);
                if (d < at || (d == at && tie_won)) held = j, at = d;
            };
            if (d < lowest) t.first[i] = j, lowest = d;
            take(t.nearest[i], best, true);
            if (o.member_count >= g.member_count) take(t.not_smaller[i], best_not_smaller, false);
            ++examined;
        }
        t.distance[i] = best;
    }
    return t;
}

// Two columns of `rows` points one apart, facing each other 2 apart: ratio 0.5, one mutual
// pair per row, contact counts min(rows, 4). With `far`, each column also has a point at
// height 10, the two exactly 4 (the contact radius) apart: not a mutual pair.
Points Columns(int rows, bool far) {
    std::vector<double> coords;
    std::vector<Trio> merges;
    const int size = rows + (far ? 1 : 0);
    for (int side = 0; side < 2; ++side) {
        for (int k = 0; k < rows; ++k) coords.insert(coords.end(), {2.0 * side, static_cast<double>(k)});
        if (far) coords.insert(coords.end(), {4.0 * side, 10.0});
        for (int k = 1; k < size; ++k) merges.push_back({side * size * 1.0, side * size + k * 1.0, 1.0});
    }
    return Points(coords, 2, merges);
}

}  // namespace

// ---- Phase 1 ----------------------------------------------------------------------

TEST(MutualLinking, MergesLinkRatiosAndPassEdges) {
    // Groups 0 = {0, 1, 2} (mean 2), 3 = {3, 4} (mean 4), 5 = {10, 14} (mean 8); points 7 and 20 alone.
    Points p({0, 1, 2, 3, 4, 10, 14, 7, 20}, 1, {{0, 1, 2}, {0, 2, 2}, {3, 4, 4}, {5, 6, 8}});
    // Two single points; geometric mean of 0.25 and 1; a single point has no spacing; link 0.
    auto r = [&p](int a, int b, double d) { return CalculRatio(p.r(), a, b, d); };
    EXPECT_EQ((std::vector<double>{r(7, 8, 7.0), r(5, 0, 2.0), r(7, 0, 4.0), r(0, 7, 1.0), r(0, 3, 0.0)}),
              (std::vector<double>{1.0, 0.5, 0.5, 0.5, 0.0}));
    p.Merge(0, 3, 6.0);
    // Mean (1 x 4 + 2 x 2 + 6) / 4; a single point's min_link 0.0 bounds nothing.
    EXPECT_TRUE(p.recs[0].mean_link == 3.5 && p.recs[0].min_link == 2.0 && p.recs[5].min_link == 8.0);
    EXPECT_EQ(p.Members(0), (Ints{0, 1, 2, 3, 4}));
    Points line({0, 1, 2}, 1), two({0, 5}, 1), one({4}, 1);
    // 0 and 2 tie as point 1's nearest: the lower index wins. The last two groups never merge.
    EXPECT_TRUE(line.Link(0.0) == 1 && line.groups == 2 && line.Members(1) == (Ints{1, 0}));
    EXPECT_TRUE(two.Link(0.0) == 0 && two.groups == 2 && one.Link(0.0) == 0 && one.groups == 1);
    // Pairs at 0, 10, 30, 60, 100: only groups 1 and 3 are mutual, ratio 1/9. With n = 10
    // the 5 groups are not below n / 2 (threshold 0); two more points make it 0.95.
    std::vector<Trio> pairs = {{1, 0, 1}, {3, 2, 1}, {5, 4, 1}, {7, 6, 1}, {9, 8, 1}};
    Points ten({0, 1, 10, 11, 30, 31, 60, 61, 100, 101}, 1, pairs);
    pairs.insert(pairs.end(), {{9, 10, 1}, {9, 11, 1}});
    Points twelve({0, 1, 10, 11, 30, 31, 60, 61, 100, 101, 102, 103}, 1, pairs);
    EXPECT_TRUE(ten.Link(1.0) == 4 && ten.groups == 4 && twelve.Link(1.0) == 0 && twelve.groups == 5);
}

// ---- Phase 2 ----------------------------------------------------------------------

TEST(NeighbourTables, TieRules) {
    // Group 0 at 10 (mean 3) has 2 (at 5, mean 1) and 4 (at 15, mean 3) 5 away: the closer spacing
    // wins the nearest-group tie, the not-smaller table keeps the first. Below record 2 the first stays.
    Points p({10, 10, 5, 5, 15, 15}, 1, {{0, 1, 3}, {2, 3, 1}, {4, 5, 3}});
    EXPECT_TRUE(p.Neighbours().nearest[0] == 4 && p.Neighbours().not_smaller[0] == 2);
    EXPECT_EQ(Points({5, 15, 10, 10, 5, 15}, 1, {{0, 4, 1}, {1, 5, 3}, {2, 3, 3}}).Neighbours().nearest[2], 0);
    // Point 0: a far point, point 2 at 5, a pair at -5: from the third group examined on the larger wins.
    const Tables t = Points({0, 100, 5, -5, -5}, 1, {{3, 4, 1}}).Neighbours();
    EXPECT_TRUE(t.nearest[0] == 3 && t.not_smaller[0] == 3 && t.distance[0] == 5.0);
}

TEST(ContactRegions, ContactPointsAndMutualPairs) {
    // Groups {10, 0, 8} and {-3, 13, -4} touch at 10-13 and 0-(-3): the contact points are the first members
    // in member order at the smallest distance, 10 and -3. In {0, 2} against {1, 2.5} point 1 is as near to 0
    // as to 2, and its nearest is the first, 0: two mutual pairs.
    Points ab({10, 0, 8, -3, 13, -4}, 1, {{0, 1, 1}, {0, 2, 1}, {3, 4, 1}, {3, 5, 1}});
    Points tie({0, 2, 1, 2.5}, 1, {{0, 1, 1}, {2, 3, 1}});
    EXPECT_TRUE(ab.Contacts(0, 3, 3.0) == (Trio{2, 2, 2}) && ab.Contacts(3, 0, 3.0) == (Trio{2, 2, 2}));
    EXPECT_EQ(tie.Contacts(0, 2, 1.0), (Trio{2, 1, 2}));
    // a = {0}, b = {2}; the answers follow merges into either group and the link distance.
    Points p({0, 2, 3, -3}, 1);
    EXPECT_EQ(p.Contacts(0, 1, 2.0), (Trio{1, 1, 1}));
    p.Merge(1, 2, 1.0);  // b = {2, 3}: 3 lies within 4 of the contact point 2
    EXPECT_EQ(p.Contacts(0, 1, 2.0), (Trio{1, 1, 2}));
    p.Merge(0, 3, 3.0);  // a = {0, -3}
    EXPECT_EQ(p.Contacts(0, 1, 2.0), (Trio{1, 2, 2}));
    EXPECT_EQ(p.Contacts(0, 1, 0.5), (Trio{0, 1, 1}));  // radius 1: each contact point counts itself only
}

TEST(NinePoints, PhaseOneListsAndTheMergeAtTheThirteenthThreshold) {
    Points p(kNine, 1);
    EXPECT_TRUE(p.Link(0.0) == 4 && p.groups == 5);
    for (int h : {1, 3, 5, 7}) EXPECT_TRUE(p.Members(h) == (Ints{h, h - 1}) && p.recs[h].mean_link == 1.0);
    EXPECT_TRUE(p.Link(0.0) == 2 && p.groups == 3);
    EXPECT_TRUE(p.recs[3].mean_link == 4.0 / 3.0 && p.recs[7].mean_link == 4.0 / 3.0);
    EXPECT_TRUE(p.Link(1.0) == 0 && p.groups == 3);  // 3 < 9 / 2: ratio 2/9 is below 0.95
    Lists lists(9);
    lists.members[0] = new int[5];  // left over: replaced
    EXPECT_EQ(GetListe(p.r(), 9, lists.members.data(), lists.sizes.data()), 3);
    EXPECT_TRUE(lists.List(0) == (Ints{3, 2, 1, 0}) && lists.List(1) == (Ints{7, 6, 5, 4}) &&
                lists.List(2) == Ints{8} && lists.members[3] == nullptr);
    // Phase 2: no merge down to 0.25, then group 3 joins 7 (one mutual pair, contact counts 4 and 4).
    double threshold = 0.8;
    for (int step = 0; step < 12; ++step, threshold -= 0.05) EXPECT_EQ(p.Pass(threshold), 3) << threshold;
    EXPECT_EQ(threshold, 0.1999999999999999);  // repeated subtraction, not 0.2
    EXPECT_EQ(p.Contacts(3, 7, 6.0), (Trio{1, 4, 4}));
    EXPECT_EQ(p.Pass(threshold), 2);
    EXPECT_TRUE(p.Members(7) == (Ints{7, 6, 5, 4, 3, 2, 1, 0}) && p.recs[7].mean_link == 2.0);
}

TEST(DensityMerging, RatioThresholdRefusalTestsAndBoundaries) {
    // Two pairs of mean 1, 2 apart: ratio 0.5.
    Points at({0, 1, 3, 4}, 1, {{1, 0, 1}, {3, 2, 1}}), above({0, 1, 3, 4}, 1, {{1, 0, 1}, {3, 2, 1}});
    // The ratio must exceed the threshold; of two equal groups the lower index is absorbed.
    EXPECT_TRUE(at.Pass(0.5) == 2 && above.Pass(0.49) == 1 && above.Members(3) == (Ints{3, 2, 1, 0}));
    // Pairs of mean 19 (ratio 0.95: no tests) and 18 (0.9), 20 apart; u = 1 refuses whatever is tested.
    EXPECT_EQ(Points({0, 19, 39, 58}, 1, {{1, 0, 19}, {3, 2, 19}}).Pass(0.8, {1, 1, 1}), 1);
    for (const Trio& tests : {Trio{1, 1, 1}, Trio{1, 2, 1}, Trio{1, 0, 1}})  // a switch is on at exactly 1
        EXPECT_EQ(Points({0, 18, 38, 56}, 1, {{1, 0, 18}, {3, 2, 18}}).Pass(0.8, tests), tests[1] == 1 ? 2 : 1);
    // The mutual-pair test refuses when m x (1 - R) > max(2, smaller count / 2): 3 rows give 1.5 (not
    // above 2), 4 rows 2 (not above 2), 5 rows 2.5; the balance test refuses when u > R x 1.
    const std::tuple<int, bool, Trio, int> columns[] = {
        {3, false, kOn, 1}, {4, false, kOn, 1}, {5, false, kOn, 2}, {5, false, {2, 1, 0.04}, 1}, {4, true, kOn, 1},
        {4, false, {1, 1, 0.5}, 1}, {4, false, {1, 1, std::nextafter(0.5, 1.0)}, 2}};
    for (const auto& [rows, far, tests, left] : columns) EXPECT_EQ(Columns(rows, far).Pass(0.3, tests), left) << rows;
    // Counts 1 and 2 (-4 lies exactly on the contact radius): 0.3 > 0.5 x 0.5.
    EXPECT_EQ(Points({0, -4, 2, 3}, 1, {{0, 1, 4}, {2, 3, 1}}).Pass(0.3, {1, 1, 0.3}), 2);
    // A point is judged by its neighbour's spacing; 5.5 follows 4 into the grown group {0, 1, 2, 3}.
    Points point({0, 1, 2}, 1, {{1, 0, 1}}), chain({0, 1, 2, 3, 4, 5.5}, 1, {{3, 2, 1}, {3, 1, 1}, {3, 0, 1}});
    EXPECT_TRUE(point.Pass(0.8) == 1 && point.Members(1) == (Ints{1, 0, 2}));
    EXPECT_TRUE(chain.Pass(0.5) == 1 && chain.Members(3) == (Ints{3, 2, 1, 0, 4, 5}));
    // Links 0 and 1 against mean 0: NaN and 0 ratios (single points too); at most n - 2 absorptions.
    EXPECT_EQ(Points({0, 0, 0, 0}, 1, {{1, 0, 0}, {3, 2, 0}}).Pass(-1.0, kOff), 2);
    EXPECT_EQ(Points({0, 0, 1, 1}, 1, {{1, 0, 0}, {3, 2, 0}}).Pass(-1.0, kOff), 1);
    Points line({0, 1, 2, 3}, 1);
    EXPECT_TRUE(line.Pass(-1.0, kOff) == 2 && line.Members(1) == (Ints{1, 0, 2}));
}

// ---- Small groups: extraction and noise assignment ------------------------------------

TEST(SmallGroups, NoiseListOrAttachmentToTheNearestTaggedHead) {
    // n = 250: groups 10 (240 points), 20 (8 points) and 30 (2 points, exactly the minimum).
    Points p(std::vector<double>(250, 0.0), 1);
    for (int i = 0; i < 250; ++i)
        if (i != 10 && i != 20 && i != 30) p.Merge(i == 31 ? 30 : (i > 20 && i < 28) ? 20 : 10, i, 1.0);
    Lists lists(250);
    int noise = 0;
    auto fill = [&](int min_size, int n) {
        return FillListe_densitymin(p.r(), min_size, n, lists.members.data(), lists.sizes.data(), noise);
    };
    EXPECT_TRUE(fill(250 / 100, 250) == 3 && noise == 1 && lists.sizes[0] == 240 && lists.members[0][0] == 10);
    EXPECT_TRUE(lists.sizes[1] == 8 && lists.members[1][0] == 20 && lists.List(2) == (Ints{30, 31}));
    EXPECT_TRUE(fill(1, 250) == 3 && noise == 0);  // every group larger than the minimum: no noise list
    // Every group at most the minimum: one noise list, groups in head order. n = 0: nothing.
    EXPECT_TRUE(fill(240, 250) == 1 && noise == 1 && lists.sizes[0] == 250);
    EXPECT_TRUE(lists.members[0][0] == 10 && lists.members[0][240] == 20 && lists.members[0][248] == 30);
    EXPECT_TRUE(fill(1, 0) == 0 && noise == 0);
    // Noise assignment instead: tagged groups 2 = {0, -1} and 5 = {10, 11}. Point 0 (at 5) is as
    // near to both and goes to the lower head; 3, 6 and 7 go to 5; 8 is beyond the cap.
    Points q({5, -1, 0, 8, 11, 10, 12, 13, 1e6}, 1, {{2, 1, 1}, {5, 4, 1}}), untagged({0, 1, 5}, 1);
    q.recs[2].tag = q.recs[5].tag = 1;
    EXPECT_EQ(FinishConnection_without(q.ws, q.r()), 5);
    EXPECT_TRUE(q.Members(2) == (Ints{2, 1, 0, 8}) && q.Members(5) == (Ints{5, 4, 3, 6, 7}));
    EXPECT_EQ(q.recs[2].mean_link, (1.0 + 5.0 + 100000.0) / 3.0);  // 8 came in at the capped distance
    // A second pass, or one with nothing tagged, attaches nothing.
    EXPECT_TRUE(FinishConnection_without(q.ws, q.r()) == 0 && FinishConnection_without(untagged.ws, untagged.r()) == 0);
}

// ---- Driver ---------------------------------------------------------------------------

TEST(Driver, NinePointExampleFloorsAndSwitches) {
    Points p(kNine, 1);
    const DriverRun run(p);
    EXPECT_TRUE(run.count == 2 && run.groups == 2 && run.noise == 0 && run.out == "n_cluster phase 1=3 (9)\n");
    EXPECT_TRUE(run.lists.List(0) == (Ints{7, 6, 5, 4, 3, 2, 1, 0}) && run.lists.List(1) == Ints{8});
    // A floor of 0.25 or one equal to the last threshold, or phase 2 off (0.9 truncates): the phase-1 groups.
    for (const auto& change : std::vector<std::pair<int, double>>{{0, 0.25}, {0, 0.1999999999999999}, {1, 0.9}}) {
        const DriverRun other(p, {change});
        EXPECT_TRUE(other.count == 3 && other.noise == 0 && other.lists.List(0) == (Ints{3, 2, 1, 0}) &&
                    other.lists.List(1) == (Ints{7, 6, 5, 4}) && other.lists.List(2) == Ints{8} &&
                    other.out.empty() == (change.first == 1));
    }
}

TEST(Driver, PhaseOneTightensOnlyAfterMultiPointGroupsFallAndFinishKeepsOneHundredth) {
    // Pass 1 makes pairs {0,1}, {8,9}, {100,101}; pass 2 adds 2.5 and 6.5 to the first two
    // (three multi-point groups still); pass 3 joins those two at ratio 0.3125, which only
    // the untightened phase accepts.
    Points p({0, 1, 2.5, 6.5, 8, 9, 100, 101}, 1);
    const DriverRun run(p, {{1, 0.0}});
    EXPECT_TRUE(run.count == 2 && run.lists.List(0) == (Ints{5, 4, 3, 2, 1, 0}));
    // n = 100: the outlier's group of one point is tagged, so it is not attached,
    // and extraction still makes it the noise list.
    std::vector<double> coords(100, 1000.0);
    for (int i = 0; i < 99; ++i) coords[i] = i;
    const DriverRun finish(Points(coords, 1), {{5, 1.0}});
    EXPECT_TRUE(finish.count == 2 && finish.noise == 1 && finish.lists.List(1) == Ints{99});
}

TEST(Driver, DistanceMatrixFailureReportsAndReturnsMinusOne) {
    g_nothrow_successes_left = 0;
    double** probe = Reservmemdouble(1, 1);  // not null when the hook is bypassed, as under valgrind
    g_nothrow_successes_left = -1;
    Delete2D(probe, 1);
    if (probe != nullptr) GTEST_SKIP() << "nothrow new cannot be replaced here";
    Points p(kNine, 1);
    for (int successes : {0, 3}) {  // the row table, then a row
        g_nothrow_successes_left = successes;
        const DriverRun run(p);
        g_nothrow_successes_left = -1;
        EXPECT_TRUE(run.count == -1 && run.groups == 0 && run.noise == 0 && run.lists.members[0] == nullptr &&
                    run.out == "Memory error\n");
    }
}

// ---- Random data, checked against plain scans ---------------------------------------------

// Small grids full of ties (some with NaN or far points) or distinct values: after any mix of
// merges, link passes and density passes, the neighbour tables and the link passes agree with
// plain scans over the point distances.
TEST(RandomTies, TablesAndLinkPassesMatchPlainScansAfterAnyMerges) {
    for (unsigned seed = 1; seed <= 90; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        const int n = 3 + static_cast<int>(rng() % 60), dims = 1 + static_cast<int>(rng() % 2);
        const unsigned span = 2 + rng() % 4, kind = seed % 4;  // 0: distinct values, 1: some NaN, 2: some far points
        std::vector<double> coords(n * dims);
        for (double& c : coords)
            c = kind == 0 ? std::ldexp(static_cast<double>(rng()), -24)
                : rng() % 20 != 0 || kind == 3 ? rng() % span : kind == 1 ? std::nan("") : 2e5;
        Points p(coords, dims);
        for (int round = 0; round < 12; ++round) {
            Ints live;
            for (int h = 0; h < n; ++h)
                if (p.recs[h].is_head != 0) live.push_back(h);
            if (live.size() < 3) break;
            const Tables ref = PlainTables(p), t = p.Neighbours();
            ASSERT_TRUE(t.nearest == ref.nearest && t.not_smaller == ref.not_smaller && t.distance == ref.distance);
            const unsigned action = rng() % 3;
            if (action == 0) p.Pass(0.05 * (rng() % 16));
            if (action == 1) {  // a link pass: mutual first nearest heads below 10000 merge upward if the ratio fits
                const double x = rng() % 2, threshold = static_cast<int>(live.size()) < n / 2 ? x * 0.95 : 0.0;
                std::vector<Ints> want(n);
                for (int j : live) want[j] = p.Members(j);
                for (int j : live) {
                    const int k = ref.first[j];
                    if (ref.distance[j] < 10000.0 && ref.first[k] == j && !want[j].empty() && !want[k].empty() &&
                        CalculRatio(p.r(), j, k, ref.distance[j]) >= threshold) {
                        want[k].insert(want[k].end(), want[j].begin(), want[j].end());
                        want[j].clear();
                    }
                }
                p.Link(x);
                for (int j = 0; j < n; ++j) ASSERT_EQ(p.Members(j), want[j]) << "round " << round << " record " << j;
            }
            // Otherwise a few merges, chains included.
            for (unsigned burst = action == 2 ? 1 + rng() % 3 : 0; burst > 0 && live.size() > 2; --burst) {
                const std::size_t k = live.size(), into = rng() % k, from = (into + 1 + rng() % (k - 1)) % k;
                p.Merge(live[into], live[from], 0.25 * (1 + rng() % 8));
                live.erase(live.begin() + static_cast<std::ptrdiff_t>(from));
            }
        }
    }
}

// Operations the clustering run does not call, on the nine points.
TEST(Summaries, LargeGroupShareClosestPairAndTaggedMerge) {
    Points p(kNine, 1, {{0, 1, 1.0}, {0, 2, 2.0}, {4, 5, 1.0}});  // groups {0,1,3}, {10,11}, singletons
    int n_large = -1;
    EXPECT_EQ(Real_dense(p.r(), 9, 1, n_large), 5.0 / 9.0);
    EXPECT_EQ(n_large, 2);
    EXPECT_EQ(Real_dense(p.r(), 9, 2, n_large), 3.0 / 9.0);  // strictly more than min_size
    EXPECT_EQ(n_large, 1);
    EXPECT_EQ(Real_dense(p.r(), 9, 3, n_large), 0.0);
    EXPECT_EQ(n_large, 0);
    int pa = -1, pb = -1;
    EXPECT_EQ(D_groupe_DensityMin(p.ws, p.recs[0], p.recs[4], pa, pb), 7.0);  // 3 to 10
    EXPECT_EQ(std::make_pair(pa, pb), std::make_pair(2, 4));
    pa = pb = -1;
    EXPECT_EQ(D_groupe_DensityMin(p.ws, p.recs[0], p.recs[1], pa, pb), 10000000.0);  // 1 is no head
    EXPECT_EQ(std::make_pair(pa, pb), std::make_pair(-1, -1));
    p.recs[8].tag = 1;  // a tagged b absorbs a; an untagged b is absorbed
    ConnectionSingleWithTag(p.r(), 6, 8, 16.0, &p.ws);
    EXPECT_EQ(p.Members(8), (Ints{8, 6}));
    EXPECT_EQ(p.recs[6].is_head, 0);
    ConnectionSingleWithTag(p.r(), 7, 4, 3.0, &p.ws);
    EXPECT_EQ(p.Members(7), (Ints{7, 4, 5}));
}

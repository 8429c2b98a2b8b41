#include "tavri.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

// Allocation-failure hook: the util allocators use nothrow array new; when
// armed, the call after `g_nothrow_successes_left` successes fails once.
namespace {
int g_nothrow_successes_left = -1;
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    if (g_nothrow_successes_left == 0) {
        g_nothrow_successes_left = -1;
        return nullptr;
    }
    if (g_nothrow_successes_left > 0) --g_nothrow_successes_left;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

namespace {

using Ints = std::vector<int>;

// Points (row-major coordinates), their records (one group per point) and
// the clustering workspace over them; everything is released at the end.
struct Points {
    Points(const std::vector<double>& coords, int dims_)
        : n(static_cast<int>(coords.size()) / dims_), dims(dims_), recs(n) {
        data = Reservmemdouble(n, dims);
        for (int i = 0; i < n; ++i)
            for (int c = 0; c < dims; ++c) data[i][c] = coords[i * dims + c];
        link = Reservmemdouble(n, n);
        GenereMatriceDistance(data, n, dims, nullptr, link, d_Eucl);
        algo_init(data, n, dims, nullptr, recs.data());
        InitGroupSpace(ws, data, n, dims, link, d_Eucl);
    }
    ~Points() {
        algo_delete(n, recs.data());
        Delete2D(link, n);
        Delete2D(data, n);
    }
    Points(const Points&) = delete;
    Points& operator=(const Points&) = delete;

    HPtC_S* r() { return recs.data(); }
    void Merge(int into, int from, double d) { ConnectionSingle(recs.data(), into, from, d, &ws); }
    Ints Members(int head) const {  // empty for an absorbed record
        const std::vector<int32_t>& m = recs[head].member_list;
        EXPECT_TRUE(recs[head].is_head == 0 || static_cast<int>(m.size()) == recs[head].member_count);
        return Ints(m.begin(), m.end());
    }
    // The point distance, straight from the coordinates.
    double D(int p, int q) const { return p == q ? 0.0 : d_Eucl(data[std::min(p, q)], data[std::max(p, q)], dims); }
    int Link(double x, int& groups) { return findclosest1KNN(ws, r(), x, groups); }
    int Pass(double threshold, const double* tests) {
        return AlgoUnit_DensityNeighborMin(ws, r(), 0, 0, threshold, 0.95, tests);
    }

    int n;
    int dims;
    double** data;
    double** link;  // the workspace's group distances
    std::vector<HPtC_S> recs;
    GroupSpace ws;
};

// Cluster lists as the pipeline holds them.
struct Lists {
    explicit Lists(int n) : members(n > 0 ? n : 1, nullptr), sizes(members.size(), 0) {}
    ~Lists() {
        for (int* m : members) delete[] m;
    }
    Ints List(int k) const { return Ints(members[k], members[k] + sizes[k]); }
    std::vector<int*> members;
    Ints sizes;
};

// The run parameter vector with the defaults, some slots changed.
std::array<double, 9> Params(std::initializer_list<std::pair<int, double>> changes = {}) {
    std::array<double, 9> params = {0.15, 1.0, 1.0, 1.0, 0.04, 0.0, 0.0, 1.0, 0.0};
    for (const auto& change : changes) params[change.first] = change.second;
    return params;
}

// One driver run: its lists, outputs and console text.
struct DriverRun {
    DriverRun(Points& p, const std::array<double, 9>& params, int min_groups = 2) : lists(p.n) {
        testing::internal::CaptureStdout();
        count = algoMutuel(p.data, p.n, p.dims, groups, min_groups, params.data(), d_Eucl, lists.members.data(),
                           lists.sizes.data(), noise);
        out = testing::internal::GetCapturedStdout();
    }
    Lists lists;
    int count = 0;
    int groups = -1;
    int noise = -1;
    std::string out;
};

struct Tables {
    Ints not_smaller, nearest;
    std::vector<double> distance;
};
Tables BuildTables(Points& p) {
    Tables t{Ints(p.n), Ints(p.n), {}};
    t.distance = getdistance_DensityMin(p.ws, p.r(), t.not_smaller.data(), t.nearest.data());
    return t;
}

// The worked example; two passes of phase 1 leave groups 3, 7 and 8.
const std::vector<double> kNine = {0, 1, 3, 4, 10, 11, 13, 14, 30};
void RunNinePointPhaseOne(Points& p) {
    int groups = 0;
    p.Link(0.0, groups);
    p.Link(0.0, groups);
}

std::string TempDir() {
    std::string pattern = testing::TempDir() + "tavri_clusterXXXXXX";
    const char* made = mkdtemp(pattern.data());
    return made != nullptr ? std::string(made) + "/" : std::string();
}
std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
std::vector<std::string> DirEntries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

}  // namespace

// ---- Point records -----------------------------------------------------------

TEST(PointRecords, InitWeightsAndReleaseAfterMerges) {
    std::vector<HPtC_S> recs(4);
    const int weights[4] = {5, 6, 7, 8};
    algo_init(nullptr, 4, 2, weights, recs.data());
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(recs[i].is_head == 1 && recs[i].member_count == 1 && recs[i].dims == 2);
        EXPECT_EQ(recs[i].member_list, (std::vector<int32_t>{i}));
        EXPECT_EQ(recs[i].weight, weights[i]);
        EXPECT_TRUE(recs[i].min_link == 0.0 && recs[i].mean_link == 0.0);
    }
    ConnectionSingle(recs.data(), 1, 0, 1.0);
    ConnectionSingle(recs.data(), 1, 3, 2.0);
    EXPECT_EQ(recs[1].member_list, (std::vector<int32_t>{1, 0, 3}));
    EXPECT_TRUE(recs[0].member_list.capacity() == 0 && recs[3].member_list.capacity() == 0);  // released
    algo_delete(4, recs.data());
    for (const HPtC_S& rec : recs) EXPECT_EQ(rec.member_list.capacity(), 0u);

    algo_init(nullptr, 1, 1, nullptr, recs.data());
    EXPECT_EQ(recs[0].weight, 1);
    algo_delete(1, recs.data());
}

TEST(PointRecords, RealDenseCountsGroupsStrictlyLargerThanMinSize) {
    Points p({0, 1, 5}, 1);
    int large = -1;
    EXPECT_EQ(Real_dense(p.r(), 3, 0, large), 1.0);
    EXPECT_EQ(large, 3);
    EXPECT_EQ(Real_dense(p.r(), 3, 1, large), 0.0);
    EXPECT_EQ(large, 0);
    p.Merge(1, 0, 1.0);
    EXPECT_EQ(Real_dense(p.r(), 3, 1, large), 2.0 / 3.0);
    EXPECT_EQ(large, 1);
}

// ---- Phase 1 -------------------------------------------------------------------

TEST(MutualLinking, MergeAppendsMembersAndKeepsLinkStatistics) {
    Points p({0, 1, 2, 3, 4}, 1);
    p.Merge(0, 1, 2.0);
    p.Merge(0, 2, 2.0);  // size 3, mean 2.0
    p.Merge(3, 4, 4.0);  // size 2, mean 4.0
    p.Merge(0, 3, 6.0);
    EXPECT_EQ(p.recs[0].mean_link, 3.5);  // (1 x 4.0 + 2 x 2.0 + 6.0) / 4
    EXPECT_EQ(p.recs[0].min_link, 2.0);
    EXPECT_EQ(p.Members(0), (Ints{0, 1, 2, 3, 4}));
    EXPECT_EQ(p.recs[3].is_head, 0);
}

TEST(MutualLinking, LinkRatio) {
    Points p({0, 1, 2, 3, 4}, 1);
    EXPECT_EQ(CalculRatio(p.r(), 0, 1, 7.0), 1.0);  // two single points
    p.Merge(1, 2, 2.0);
    p.Merge(3, 4, 8.0);
    EXPECT_EQ(CalculRatio(p.r(), 0, 1, 4.0), 0.5);
    EXPECT_EQ(CalculRatio(p.r(), 1, 0, 4.0), 0.5);
    EXPECT_EQ(CalculRatio(p.r(), 1, 3, 2.0), 0.5);  // geometric mean of 1 and 0.25
    EXPECT_EQ(CalculRatio(p.r(), 1, 3, 0.0), 0.0);
}

TEST(MutualLinking, KVoisinsKeepsTheFirstClosestPairAndCaps) {
    Points p({0, 10, 3, 7, 1e6}, 1);
    p.Merge(0, 1, 10.0);  // {0, 10}
    p.Merge(2, 3, 4.0);   // {3, 7}: 0-3 and 10-7 tie at 3
    double d = 0.0;
    int pa = -1;
    int pb = -1;
    k_voisins(p.ws, p.r(), 0, 2, d, &pa, &pb);
    EXPECT_TRUE(d == 3.0 && pa == 0 && pb == 0);
    k_voisins(p.ws, p.r(), 2, 0, d, &pa, &pb);
    EXPECT_TRUE(d == 3.0 && pa == 0 && pb == 0);
    d = 0.0;
    k_voisins(p.ws, p.r(), 0, 2, d);  // the distance alone
    EXPECT_EQ(d, 3.0);
    pa = -7;
    k_voisins(p.ws, p.r(), 0, 4, d, &pa, &pb);
    EXPECT_TRUE(d == 100000.0 && pa == -7);
}

TEST(MutualLinking, NearestHeadTiesGoToTheLowestIndex) {
    Points p({0, 1, 2}, 1);
    int groups = 0;
    EXPECT_EQ(p.Link(0.0, groups), 1);
    EXPECT_EQ(groups, 2);
    EXPECT_EQ(p.Members(1), (Ints{1, 0}));
    EXPECT_EQ(p.recs[1].mean_link, 1.0);
    EXPECT_EQ(p.Members(2), (Ints{2}));
}

TEST(MutualLinking, NeverMergesTheLastTwoGroups) {
    int groups = -1;
    Points two({0, 5}, 1);
    EXPECT_EQ(two.Link(0.0, groups), 0);
    EXPECT_EQ(groups, 2);
    Points one({4}, 1);
    EXPECT_EQ(one.Link(0.0, groups), 0);
    EXPECT_EQ(groups, 1);
    GroupSpace empty;
    InitGroupSpace(empty, nullptr, 0, 1, nullptr, d_Eucl);
    EXPECT_EQ(findclosest1KNN(empty, nullptr, 0.0, groups), 0);
    EXPECT_EQ(groups, 0);
}

TEST(MutualLinking, RatioThresholdAppliesOnlyBelowHalfTheGroups) {
    // Pairs at 0, 10, 30, 60, 100; only groups 1 and 3 are mutual, ratio 1/9.
    std::vector<double> coords = {0, 1, 10, 11, 30, 31, 60, 61, 100, 101};
    int groups = 0;
    {
        Points p(coords, 1);  // n = 10, h = 5: not below 10 / 2, threshold 0
        for (int h = 1; h < 10; h += 2) p.Merge(h, h - 1, 1.0);
        EXPECT_EQ(p.Link(1.0, groups), 4);
        EXPECT_EQ(groups, 4);
    }
    coords.insert(coords.end(), {102, 103});
    Points p(coords, 1);  // n = 12, h = 5 < 6: threshold 0.95
    for (int h = 1; h < 10; h += 2) p.Merge(h, h - 1, 1.0);
    p.Merge(9, 10, 1.0);
    p.Merge(9, 11, 1.0);
    EXPECT_EQ(p.Link(1.0, groups), 0);
    EXPECT_EQ(groups, 5);

    // Ratio 0 (link 0 against mean 1) still meets the threshold 0 of x = 0.
    Points zero({0, 1, 1, 50}, 1);
    zero.Merge(1, 0, 1.0);
    EXPECT_EQ(zero.Link(0.0, groups), 1);
    EXPECT_EQ(zero.Members(2), (Ints{2, 1, 0}));
}

TEST(MutualLinking, NinePointExamplePasses) {
    Points p(kNine, 1);
    int groups = 0;
    EXPECT_EQ(p.Link(0.0, groups), 4);
    EXPECT_EQ(groups, 5);
    for (int h : {1, 3, 5, 7}) EXPECT_EQ(p.Members(h), (Ints{h, h - 1}));
    EXPECT_EQ(p.recs[7].mean_link, 1.0);

    EXPECT_EQ(p.Link(0.0, groups), 2);
    EXPECT_EQ(groups, 3);
    EXPECT_EQ(p.Members(3), (Ints{3, 2, 1, 0}));
    EXPECT_EQ(p.Members(7), (Ints{7, 6, 5, 4}));
    EXPECT_EQ(p.recs[3].mean_link, 4.0 / 3.0);
    EXPECT_EQ(p.recs[7].mean_link, 4.0 / 3.0);

    EXPECT_EQ(p.Link(1.0, groups), 0);  // 3 < 9 / 2: ratio 2/9 is below 0.95
    EXPECT_EQ(groups, 3);
}

// ---- Phase 2: neighbour tables and contact regions -----------------------------

TEST(NeighbourTables, MeanLinkTieRuleAppliesFromRecordTwo) {
    {
        // Group 0 at 10 (mean 3) has groups 2 (at 5, mean 1) and 4 (at 15, mean 3) at distance 5.
        Points p({10, 10, 5, 5, 15, 15}, 1);
        p.Merge(0, 1, 3.0);
        p.Merge(2, 3, 1.0);
        p.Merge(4, 5, 3.0);
        const Tables t = BuildTables(p);
        EXPECT_EQ(t.nearest[0], 4);      // the closer spacing wins the tie
        EXPECT_EQ(t.not_smaller[0], 2);  // that table keeps the first
        EXPECT_EQ(t.distance[0], 5.0);
    }
    // The same tie with the candidates at records 0 and 1: the first found stays.
    Points p({5, 15, 10, 10, 5, 15}, 1);
    p.Merge(0, 4, 1.0);
    p.Merge(1, 5, 3.0);
    p.Merge(2, 3, 3.0);
    EXPECT_EQ(BuildTables(p).nearest[2], 0);
}

TEST(NeighbourTables, SizeTieRuleAppliesFromTheThirdGroupExamined) {
    {
        // Point 0 at 0: single point 1 at 5, pair 2 at -5. The pair is the second group examined.
        Points p({0, 5, -5, -5}, 1);
        p.Merge(2, 3, 1.0);
        const Tables t = BuildTables(p);
        EXPECT_TRUE(t.nearest[0] == 1 && t.not_smaller[0] == 1);
    }
    // A far group examined first makes the pair the third group: the larger group wins.
    Points p({0, 100, 5, -5, -5}, 1);
    p.Merge(3, 4, 1.0);
    const Tables t = BuildTables(p);
    EXPECT_TRUE(t.nearest[0] == 3 && t.not_smaller[0] == 3);
    EXPECT_EQ(t.distance[0], 5.0);
}

TEST(NeighbourTables, NotSmallerSkipsSmallerGroupsAndEmptyRows) {
    Points p({0, 1, 3, 6, 7}, 1);
    p.Merge(0, 1, 1.0);  // pair at 0-1
    p.Merge(3, 4, 1.0);  // pair at 6-7
    Tables t = BuildTables(p);
    EXPECT_EQ(t.nearest[0], 2);  // single point 3 is nearer
    EXPECT_EQ(t.not_smaller[0], 3);
    EXPECT_EQ(t.distance[0], 2.0);
    EXPECT_TRUE(t.nearest[1] == 1 && t.distance[1] == 0.0);  // absorbed record

    Points alone({0, 1}, 1);
    alone.Merge(1, 0, 1.0);
    t = BuildTables(alone);
    EXPECT_TRUE(t.nearest[1] == 1 && t.not_smaller[1] == 1 && t.distance[1] == 1000000.0);
}

TEST(ContactRegions, ContactPointIsTheFirstMemberAtTheSmallestDistance) {
    // Groups {0, 1, 10} and {-3, 13, 14} touch at two places at distance 3;
    // member order picks the contact points, the same point sets either way.
    struct Case {
        std::vector<double> coords;
        double count_a, count_b;
        double first_gap;  // a's point minus b's point of the first closest pair in member order
    };
    const Case cases[] = {{{0, 1, 10, -3, 13, 14}, 2.0, 1.0, 3.0}, {{10, 0, 1, 13, 14, -3}, 1.0, 2.0, -3.0}};
    for (const Case& c : cases) {
        Points p(c.coords, 1);
        p.Merge(0, 1, 1.0);
        p.Merge(0, 2, 1.0);
        p.Merge(3, 4, 1.0);
        p.Merge(3, 5, 1.0);
        double ca = -1.0;
        double cb = -1.0;
        EXPECT_EQ(GetMutualdistance(p.ws, p.r(), 0, 3, 3.0, ca, cb), 2);
        EXPECT_TRUE(ca == c.count_a && cb == c.count_b) << ca << " " << cb;
        ca = -1.0;
        cb = -1.0;
        EXPECT_EQ(GetMutualdistance(p.ws, p.r(), 0, 3, 3.0, ca, cb), 2);  // asked again
        EXPECT_TRUE(ca == c.count_a && cb == c.count_b);
        EXPECT_EQ(GetMutualdistance(p.ws, p.r(), 3, 0, 3.0, ca, cb), 2);  // from the other side
        EXPECT_TRUE(ca == c.count_b && cb == c.count_a);

        ca = 7.0;  // an absorbed group: nothing counted, nothing written
        EXPECT_EQ(GetMutualdistance(p.ws, p.r(), 0, 4, 3.0, ca, cb), 0);
        EXPECT_EQ(ca, 7.0);

        int pa = -1;
        int pb = -1;
        EXPECT_EQ(D_groupe_DensityMin(p.ws, p.recs[0], p.recs[3], pa, pb), 3.0);
        EXPECT_EQ(p.data[pa][0] - p.data[pb][0], c.first_gap);
        pa = -1;
        EXPECT_EQ(D_groupe_DensityMin(p.ws, p.recs[0], p.recs[4], pa, pb), 10000000.0);
        EXPECT_EQ(pa, -1);
    }
}

TEST(ContactRegions, NinePointGroupsTouchAtOnePair) {
    Points p(kNine, 1);
    RunNinePointPhaseOne(p);
    double ca = 0.0;
    double cb = 0.0;
    EXPECT_EQ(GetMutualdistance(p.ws, p.r(), 3, 7, 6.0, ca, cb), 1);
    EXPECT_TRUE(ca == 4.0 && cb == 4.0);
}

TEST(ContactRegions, AnswersFollowMergesIntoEitherGroupAndTheLinkDistance) {
    // a = {0}, b = {2}; c at 3 and d at -3 join b and a later.
    Points p({0, 2, 3, -3}, 1);
    double ca = 0.0;
    double cb = 0.0;
    EXPECT_EQ(GetMutualdistance(p.ws, p.r(), 0, 1, 2.0, ca, cb), 1);
    EXPECT_TRUE(ca == 1.0 && cb == 1.0);
    p.Merge(1, 2, 1.0);  // b = {2, 3}: 3 lies within 4 of the contact point 2
    EXPECT_EQ(GetMutualdistance(p.ws, p.r(), 0, 1, 2.0, ca, cb), 1);
    EXPECT_TRUE(ca == 1.0 && cb == 2.0) << ca << " " << cb;
    p.Merge(0, 3, 3.0);  // a = {0, -3}: -3 lies within 4 of the contact point 0
    EXPECT_EQ(GetMutualdistance(p.ws, p.r(), 0, 1, 2.0, ca, cb), 1);
    EXPECT_TRUE(ca == 2.0 && cb == 2.0) << ca << " " << cb;
    // A radius of 1: no pair within it, each contact point counts itself only.
    EXPECT_EQ(GetMutualdistance(p.ws, p.r(), 0, 1, 0.5, ca, cb), 0);
    EXPECT_TRUE(ca == 1.0 && cb == 1.0) << ca << " " << cb;
}

// ---- Group distances -------------------------------------------------------------

namespace {

// Smallest point distance between two groups as a strict search from `cap`
// finds it (NaN distances never taken), with the first pair found.
double PairScan(const Points& p, int a, int b, double cap, int* pos_a = nullptr, int* pos_b = nullptr) {
    const Ints in_a = p.Members(a);
    const Ints in_b = p.Members(b);
    double best = cap;
    for (std::size_t i = 0; i < in_a.size(); ++i)
        for (std::size_t j = 0; j < in_b.size(); ++j)
            if (p.D(in_a[i], in_b[j]) < best) {
                best = p.D(in_a[i], in_b[j]);
                if (pos_a != nullptr) *pos_a = static_cast<int>(i);
                if (pos_b != nullptr) *pos_b = static_cast<int>(j);
            }
    return best;
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

TEST(GroupDistances, PointDistanceIsTheMatrixEntry) {
    std::mt19937 rng(7);
    for (int dims = 1; dims <= 10; ++dims) {
        std::vector<double> coords(30 * dims);
        for (double& c : coords) c = std::ldexp(static_cast<double>(rng()), -20) - 2048.0;
        coords[5] = std::nan("");
        Points p(coords, dims);
        double** matrix = Reservmemdouble(p.n, p.n);
        GenereMatriceDistance(p.data, p.n, dims, nullptr, matrix, d_Eucl);
        for (int a = 0; a < p.n; ++a)
            for (int b = 0; b < p.n; ++b)
                ASSERT_TRUE(SameBits(PointDistance(p.ws, a, b), matrix[a][b])) << a << " " << b << " dims " << dims;
        Delete2D(matrix, p.n);
    }
}

TEST(GroupDistances, FollowEveryMergeOrderSkippingNaNAndCapping) {
    for (unsigned seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        const int n = 2 + static_cast<int>(rng() % 30);
        const int dims = 1 + static_cast<int>(rng() % 3);
        std::vector<double> coords(n * dims);
        for (double& c : coords) {
            const unsigned kind = rng() % 20;
            c = kind == 0 ? std::nan("") : kind == 1 ? 2e5 * (1 + rng() % 3) : static_cast<double>(rng() % 4);
        }
        Points p(coords, dims);
        Ints live(n);
        std::iota(live.begin(), live.end(), 0);
        while (live.size() > 1) {
            // A burst of merges (chains included) before the next reads.
            for (unsigned burst = rng() % 4; burst > 0 && live.size() > 1; --burst) {
                const std::size_t into = rng() % live.size();
                std::size_t from = rng() % (live.size() - 1);
                if (from >= into) ++from;
                p.Merge(live[into], live[from], 1.0);
                live.erase(live.begin() + static_cast<std::ptrdiff_t>(from));
            }
            for (int a : live) {
                for (int b : live) {
                    if (a == b) continue;
                    double d = -1.0;
                    k_voisins(p.ws, p.r(), a, b, d);
                    ASSERT_EQ(d, PairScan(p, a, b, 100000.0)) << a << " " << b;
                    ASSERT_EQ(Single_link(p.ws, p.r(), a, b), PairScan(p, a, b, 100000000.0)) << a << " " << b;
                }
            }
            const int a = live.front();
            const int b = live.back();
            int pa = -1, pb = -1, want_a = -1, want_b = -1;
            double d = 0.0;
            k_voisins(p.ws, p.r(), a, b, d, &pa, &pb);
            PairScan(p, a, b, 100000.0, &want_a, &want_b);
            EXPECT_TRUE(pa == want_a && pb == want_b);
        }
    }
}

TEST(GroupDistances, NaNGroupAbsorbingTakesTheOtherDistances) {
    Points p({std::nan(""), 0, 5, std::nan("")}, 1);
    EXPECT_EQ(Single_link(p.ws, p.r(), 0, 2), 100000000.0);
    double d = 0.0;
    k_voisins(p.ws, p.r(), 3, 0, d);
    EXPECT_EQ(d, 100000.0);
    p.Merge(0, 1, 1.0);  // the NaN point absorbs the point at 0
    EXPECT_EQ(Single_link(p.ws, p.r(), 0, 2), 5.0);
    EXPECT_EQ(Single_link(p.ws, p.r(), 2, 0), 5.0);
    EXPECT_EQ(Single_link(p.ws, p.r(), 3, 0), 100000000.0);
    p.Merge(3, 2, 1.0);
    k_voisins(p.ws, p.r(), 3, 0, d);
    EXPECT_EQ(d, 5.0);
}

// ---- Phase 2: merge pass -------------------------------------------------------

TEST(DensityMerging, NinePointExampleMergesAtTheThirteenthThreshold) {
    Points p(kNine, 1);
    RunNinePointPhaseOne(p);
    const double tests[3] = {1.0, 1.0, 0.04};
    double threshold = 0.8;
    for (int step = 0; step < 12; ++step, threshold -= 0.05) EXPECT_EQ(p.Pass(threshold, tests), 3) << threshold;
    EXPECT_EQ(threshold, 0.1999999999999999);  // repeated subtraction, not 0.2
    EXPECT_EQ(p.Pass(threshold, tests), 2);
    EXPECT_EQ(p.Members(7), (Ints{7, 6, 5, 4, 3, 2, 1, 0}));
    EXPECT_EQ(p.recs[7].mean_link, 2.0);
    EXPECT_EQ(p.Members(8), (Ints{8}));
}

TEST(DensityMerging, RatioMustExceedTheThresholdAndEqualPairsMergeUpward) {
    const double tests[3] = {1.0, 1.0, 0.04};
    for (double threshold : {0.5, 0.49}) {
        Points p({0, 1, 3, 4}, 1);  // two pairs of mean 1 at distance 2: ratio 0.5
        p.Merge(1, 0, 1.0);
        p.Merge(3, 2, 1.0);
        EXPECT_EQ(p.Pass(threshold, tests), threshold == 0.5 ? 2 : 1);
        if (threshold < 0.5) {
            EXPECT_EQ(p.Members(3), (Ints{3, 2, 1, 0}));  // the lower index is absorbed
        }
    }
}

TEST(DensityMerging, DirectRatioSkipsTheTestsAndSwitchesNeedExactlyOne) {
    ASSERT_EQ(19.0 / 20.0, 0.95);
    auto run = [](double spacing, double balance_switch) {
        // Pairs of the given mean link, 20 apart; u = 1 refuses every tested candidate.
        Points p({0, spacing, spacing + 20, 2 * spacing + 20}, 1);
        p.Merge(1, 0, spacing);
        p.Merge(3, 2, spacing);
        const double tests[3] = {1.0, balance_switch, 1.0};
        return p.Pass(0.8, tests);
    };
    EXPECT_EQ(run(19.0, 1.0), 1);  // ratio exactly 0.95: no tests
    EXPECT_EQ(run(18.0, 1.0), 2);  // ratio 0.9: refused
    EXPECT_EQ(run(18.0, 2.0), 1);
    EXPECT_EQ(run(18.0, 0.0), 1);
}

// Two columns of `rows` points, one apart, facing each other 2 apart (ratio
// 0.5, one mutual pair per row, contact counts min(rows, 4)). With `far_pair`
// each column also gets a point at height 10, the two exactly 4 (the contact
// radius) apart: not a mutual pair.
int RunColumns(int rows, const double* tests, bool far_pair = false) {
    const int size = rows + (far_pair ? 1 : 0);
    std::vector<double> coords;
    for (int side = 0; side < 2; ++side) {
        for (int k = 0; k < rows; ++k) coords.insert(coords.end(), {2.0 * side, static_cast<double>(k)});
        if (far_pair) coords.insert(coords.end(), {4.0 * side, 10.0});
    }
    Points p(coords, 2);
    for (int k = 1; k < size; ++k) {
        p.Merge(0, k, 1.0);
        p.Merge(size, size + k, 1.0);
    }
    return p.Pass(0.3, tests);
}

TEST(DensityMerging, MutualPairTestBoundary) {
    const double on[3] = {1.0, 1.0, 0.04};
    EXPECT_EQ(RunColumns(3, on), 1);  // 1.5 is not above L, which is at least 2
    EXPECT_EQ(RunColumns(4, on), 1);  // 4 x 0.5 = 2 is not above L = 2
    EXPECT_EQ(RunColumns(5, on), 2);  // 5 x 0.5 = 2.5 is
    EXPECT_EQ(RunColumns(4, on, true), 1);
    const double off[3] = {2.0, 1.0, 0.04};
    EXPECT_EQ(RunColumns(5, off), 1);
}

TEST(DensityMerging, BalanceTestBoundary) {
    const double at[3] = {1.0, 1.0, 0.5};  // u = R x 1
    EXPECT_EQ(RunColumns(4, at), 1);
    const double above[3] = {1.0, 1.0, std::nextafter(0.5, 1.0)};
    EXPECT_EQ(RunColumns(4, above), 2);

    // Pairs {0, -4} and {2, 3} linked at 2: -4 lies exactly on the radius 4
    // from the contact point 0, so the counts are 1 and 2: 0.3 > 0.5 x 0.5.
    Points p({0, -4, 2, 3}, 1);
    p.Merge(0, 1, 4.0);
    p.Merge(2, 3, 1.0);
    const double u[3] = {1.0, 1.0, 0.3};
    EXPECT_EQ(p.Pass(0.3, u), 2);
}

TEST(DensityMerging, RatioUsesTheMultiPointSpacingAndFollowsRedirects) {
    const double tests[3] = {1.0, 1.0, 0.04};
    Points single({0, 1, 2}, 1);  // point 2 is 1 from the pair of mean 1: ratio 1
    single.Merge(1, 0, 1.0);
    EXPECT_EQ(single.Pass(0.8, tests), 1);
    EXPECT_EQ(single.Members(1), (Ints{1, 0, 2}));

    // Group 3 = {0..3}; point 4 (at 4) joins it directly; point 5 (at 5.5)
    // had 4 as its nearest and follows it: ratio 1 / 1.5 against the grown group.
    Points chain({0, 1, 2, 3, 4, 5.5}, 1);
    for (int k = 2; k >= 0; --k) chain.Merge(3, k, 1.0);
    EXPECT_EQ(chain.Pass(0.5, tests), 1);
    EXPECT_EQ(chain.Members(3), (Ints{3, 2, 1, 0, 4, 5}));
}

TEST(DensityMerging, RatiosThatNeverMerge) {
    const double off[3] = {0.0, 0.0, 0.04};
    Points coincide({0, 0, 0, 0}, 1);  // link 0 against mean 0: NaN
    coincide.Merge(1, 0, 0.0);
    coincide.Merge(3, 2, 0.0);
    EXPECT_EQ(coincide.Pass(-1.0, off), 2);
    Points apart({0, 0, 1, 1}, 1);  // link 1 against mean 0: ratio 0, above -1
    apart.Merge(1, 0, 0.0);
    apart.Merge(3, 2, 0.0);
    EXPECT_EQ(apart.Pass(-1.0, off), 1);
    Points singles({0, 1, 2, 3}, 1);
    EXPECT_EQ(singles.Pass(0.0, off), 4);
    GroupSpace empty;
    InitGroupSpace(empty, nullptr, 0, 1, nullptr, d_Eucl);
    EXPECT_EQ(AlgoUnit_DensityNeighborMin(empty, nullptr, 0, 0, 0.8, 0.95, off), 0);
    Points one({3}, 1);
    EXPECT_EQ(one.Pass(0.8, off), 1);
}

TEST(DensityMerging, PassStopsAfterNMinusTwoAbsorptions) {
    // A negative threshold lets single points merge: 0 into 1, then 2 into 1;
    // point 3 would follow but the countdown has reached 2.
    Points p({0, 1, 2, 3}, 1);
    const double off[3] = {0.0, 0.0, 0.04};
    EXPECT_EQ(p.Pass(-1.0, off), 2);
    EXPECT_EQ(p.Members(1), (Ints{1, 0, 2}));
    EXPECT_EQ(p.Members(3), (Ints{3}));
}

// ---- Extraction ------------------------------------------------------------------

TEST(Extraction, OneListPerLiveGroupReplacingOldLists) {
    Points p(kNine, 1);
    RunNinePointPhaseOne(p);
    Lists lists(9);
    lists.members[0] = new int[5];  // left over: must be released, not leaked
    EXPECT_EQ(GetListe(p.r(), 9, lists.members.data(), lists.sizes.data()), 3);
    EXPECT_EQ(lists.List(0), (Ints{3, 2, 1, 0}));
    EXPECT_EQ(lists.List(1), (Ints{7, 6, 5, 4}));
    EXPECT_EQ(lists.List(2), (Ints{8}));
    EXPECT_EQ(lists.members[3], nullptr);
    EXPECT_EQ(GetListe(p.r(), 0, lists.members.data(), lists.sizes.data()), 0);
}

TEST(Extraction, NoiseListTakesGroupsOfAtMostMinSize) {
    Points p(std::vector<double>(250, 0.0), 1);
    for (int i = 0; i < 250; ++i) {
        if (i == 10 || i == 20 || i == 30) continue;
        p.Merge(i == 31 ? 30 : (i > 20 && i < 28) ? 20 : 10, i, 1.0);
    }
    Lists lists(250);
    int noise = 0;
    EXPECT_EQ(FillListe_densitymin(p.r(), 250 / 100, 250, lists.members.data(), lists.sizes.data(), noise), 3);
    EXPECT_EQ(noise, 1);
    EXPECT_TRUE(lists.sizes[0] == 240 && lists.members[0][0] == 10);
    EXPECT_TRUE(lists.sizes[1] == 8 && lists.members[1][0] == 20);
    EXPECT_EQ(lists.List(2), (Ints{30, 31}));  // exactly 2 = min size: noise

    // Every group larger than the minimum: no noise list.
    EXPECT_EQ(FillListe_densitymin(p.r(), 1, 250, lists.members.data(), lists.sizes.data(), noise), 3);
    EXPECT_EQ(noise, 0);
    noise = 1;
    EXPECT_EQ(FillListe_densitymin(p.r(), 1, 0, lists.members.data(), lists.sizes.data(), noise), 0);
    EXPECT_EQ(noise, 0);

    // Every group at most the minimum: one noise list, groups in head order.
    EXPECT_EQ(FillListe_densitymin(p.r(), 240, 250, lists.members.data(), lists.sizes.data(), noise), 1);
    EXPECT_EQ(noise, 1);
    ASSERT_EQ(lists.sizes[0], 250);
    EXPECT_EQ(lists.members[0][240], 20);
    EXPECT_EQ(lists.members[0][248], 30);
}

// ---- Noise assignment ----------------------------------------------------------------

TEST(NoiseAssignment, SmallGroupsJoinTheirNearestTaggedHeadInHeadOrder) {
    // Tagged groups 2 = {0, -1} and 5 = {10, 11}. Point 0 (at 5) is as near to
    // both and goes to the lower head; 3, 6 and 7 go to 5; 8 is beyond the cap.
    Points p({5, -1, 0, 8, 11, 10, 12, 13, 1e6}, 1);
    p.Merge(2, 1, 1.0);
    p.Merge(5, 4, 1.0);
    p.recs[2].tag = 1;
    p.recs[5].tag = 1;
    EXPECT_EQ(FinishConnection_without(p.ws, p.r()), 5);
    EXPECT_EQ(p.Members(2), (Ints{2, 1, 0, 8}));
    EXPECT_EQ(p.Members(5), (Ints{5, 4, 3, 6, 7}));
    EXPECT_EQ(p.recs[2].mean_link, (1.0 + 5.0 + 100000.0) / 3.0);  // 8 came in at the capped distance
    EXPECT_EQ(FinishConnection_without(p.ws, p.r()), 0);
}

TEST(NoiseAssignment, NothingTaggedAttachesNothingAndTagDecidesTheDirection) {
    Points p({0, 1, 5}, 1);
    EXPECT_EQ(FinishConnection_without(p.ws, p.r()), 0);
    EXPECT_EQ(p.recs[0].is_head + p.recs[1].is_head + p.recs[2].is_head, 3);
    ConnectionSingleWithTag(p.r(), 1, 0, 1.0, &p.ws);  // neither tagged: a absorbs b
    ASSERT_EQ(p.Members(1), (Ints{1, 0}));
    p.recs[1].tag = 1;
    ConnectionSingleWithTag(p.r(), 2, 1, 4.0, &p.ws);  // b tagged: b absorbs a
    EXPECT_EQ(p.Members(1), (Ints{1, 0, 2}));
}

// ---- Result file -----------------------------------------------------------------------

TEST(ResultFile, WritesCoordinatesAndLabels) {
    const std::string dir = TempDir();
    ASSERT_FALSE(dir.empty());
    Points line({-1, 1}, 1);
    Lists lists(2);
    lists.members[0] = new int[2]{0, 1};
    lists.sizes[0] = 2;
    EXPECT_EQ(PrintResultClustering((dir + "a").c_str(), line.data, 2, 1, lists.members.data(), 1,
                                    lists.sizes.data()),
              1);
    EXPECT_EQ(ReadFile(dir + "a"), "-1.000000\t0\n1.000000\t0\n");

    Points plane({0.5, -2, 3, 4, 1e-7, 0}, 2);
    lists.members[1] = new int[1]{2};
    lists.sizes[0] = 1;  // point 1 in no list
    lists.sizes[1] = 1;
    PrintResultClustering((dir + "b").c_str(), plane.data, 3, 2, lists.members.data(), 2, lists.sizes.data());
    EXPECT_EQ(ReadFile(dir + "b"), "0.500000\t-2.000000\t0\n3.000000\t4.000000\t2\n0.000000\t0.000000\t1\n");
    PrintResultClustering((dir + "b").c_str(), plane.data, 3, 2, lists.members.data(), 0, lists.sizes.data());
    EXPECT_EQ(ReadFile(dir + "b"), "0.500000\t-2.000000\t0\n3.000000\t4.000000\t0\n0.000000\t0.000000\t0\n");
    EXPECT_EQ(PrintResultClustering((dir + "c").c_str(), nullptr, 0, 2, lists.members.data(), 0, lists.sizes.data()),
              1);
    EXPECT_EQ(ReadFile(dir + "c"), "");
}

TEST(ResultFile, FailureReturnsZeroAndLeavesNoTemporaryFile) {
    const std::string dir = TempDir();
    ASSERT_FALSE(dir.empty());
    Points p({1}, 1);
    Lists lists(1);
    EXPECT_EQ(PrintResultClustering((dir + "missing/x").c_str(), p.data, 1, 1, lists.members.data(), 0,
                                    lists.sizes.data()),
              0);
    // The target is a directory: the temporary file is written, then cannot replace it.
    ASSERT_EQ(mkdir((dir + "taken").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir + "taken/inside").c_str(), 0700), 0);
    EXPECT_EQ(PrintResultClustering((dir + "taken").c_str(), p.data, 1, 1, lists.members.data(), 0,
                                    lists.sizes.data()),
              0);
    EXPECT_EQ(DirEntries(dir), (std::vector<std::string>{"taken"}));
}

// ---- Driver ------------------------------------------------------------------------------

TEST(Driver, NinePointsWithDefaultsAndOtherFloors) {
    Points p(kNine, 1);
    const DriverRun run(p, Params());
    EXPECT_TRUE(run.count == 2 && run.groups == 2 && run.noise == 0);
    EXPECT_EQ(run.out, "n_cluster phase 1=3 (9)\n");
    EXPECT_EQ(run.lists.List(0), (Ints{7, 6, 5, 4, 3, 2, 1, 0}));
    EXPECT_EQ(run.lists.List(1), (Ints{8}));

    const DriverRun quarter(p, Params({{0, 0.25}}));
    EXPECT_EQ(quarter.count, 3);
    EXPECT_EQ(quarter.lists.List(0), (Ints{3, 2, 1, 0}));
    EXPECT_EQ(quarter.lists.List(1), (Ints{7, 6, 5, 4}));
    EXPECT_EQ(quarter.lists.List(2), (Ints{8}));
    EXPECT_EQ(DriverRun(p, Params({{0, 0.1999999999999999}})).count, 3);  // a floor equal to a threshold is not used
}

TEST(Driver, PhaseTwoOffKeepsPhaseOneGroupsSilentlyAndFinishChangesNothingBelowHundred) {
    Points p(kNine, 1);
    const DriverRun off(p, Params({{1, 0.9}}));  // truncates to 0
    EXPECT_TRUE(off.count == 3 && off.noise == 0 && off.out.empty());
    EXPECT_EQ(off.lists.List(1), (Ints{7, 6, 5, 4}));

    const DriverRun finish(p, Params({{5, 1.0}}));
    EXPECT_EQ(finish.count, 2);
    EXPECT_EQ(finish.lists.List(0), (Ints{7, 6, 5, 4, 3, 2, 1, 0}));
    EXPECT_EQ(finish.lists.List(1), (Ints{8}));
}

TEST(Driver, PhaseOneTightensOnlyAfterMultiPointGroupsFall) {
    // Pass 1 makes pairs {0,1}, {8,9}, {100,101}; pass 2 adds 2.5 and 6.5 to
    // the first two (three multi-point groups still); pass 3 joins those two
    // at ratio 0.3125, which only the untightened phase accepts.
    Points p({0, 1, 2.5, 6.5, 8, 9, 100, 101}, 1);
    const DriverRun run(p, Params({{1, 0.0}}));
    EXPECT_EQ(run.count, 2);
    EXPECT_EQ(run.lists.List(0), (Ints{5, 4, 3, 2, 1, 0}));
    EXPECT_EQ(DriverRun(p, Params({{1, 0.0}}), 3).count, 2);  // 3 groups are not below 3
    const DriverRun four(p, Params({{1, 0.0}}), 4);
    EXPECT_EQ(four.count, 3);
    EXPECT_EQ(four.lists.List(0), (Ints{2, 1, 0}));
}

TEST(Driver, FinishKeepsGroupsOfExactlyOneHundredthAsTargets) {
    // n = 100: the outlier's group of one point is tagged, so it is not
    // attached, and extraction still makes it the noise list.
    std::vector<double> coords;
    for (int i = 0; i < 99; ++i) coords.push_back(i);
    coords.push_back(1000);
    Points p(coords, 1);
    const DriverRun run(p, Params({{5, 1.0}}));
    EXPECT_TRUE(run.count == 2 && run.noise == 1);
    EXPECT_EQ(run.lists.List(1), (Ints{99}));
}

TEST(Driver, DistanceMatrixFailureReportsAndReturnsMinusOne) {
    g_nothrow_successes_left = 0;
    double** probe = Reservmemdouble(1, 1);
    g_nothrow_successes_left = -1;
    if (probe != nullptr) {
        Delete2D(probe, 1);
        GTEST_SKIP() << "nothrow new cannot be replaced here (valgrind replaces it itself)";
    }
    Points p(kNine, 1);
    for (int successes : {0, 3}) {  // the row table, then a row
        g_nothrow_successes_left = successes;
        const DriverRun run(p, Params());
        g_nothrow_successes_left = -1;
        EXPECT_TRUE(run.count == -1 && run.groups == 0 && run.noise == 0);
        EXPECT_EQ(run.out, "Memory error\n");
        EXPECT_EQ(run.lists.members[0], nullptr);
    }
}

// ---- Random data full of ties, checked against brute force -------------------------------

namespace {

// Small integer grids: repeated points and equal distances everywhere.
std::vector<double> RandomGrid(std::mt19937& rng, int n, int dims) {
    const unsigned span = 2 + rng() % 4;
    std::vector<double> coords(n * dims);
    for (double& c : coords) c = static_cast<double>(rng() % span);
    return coords;
}

// Record invariants: every point listed once under a head, the head first;
// absorbed records hold no lists. Returns each point's head.
Ints CheckGroups(Points& p) {
    Ints owner(p.n, -1);
    for (int h = 0; h < p.n; ++h) {
        if (p.recs[h].is_head == 0) {
            EXPECT_EQ(p.recs[h].member_list.capacity(), 0u);
            continue;
        }
        const Ints members = p.Members(h);
        EXPECT_EQ(members.front(), h);
        EXPECT_LE(p.recs[h].min_link, p.recs[h].mean_link * (1.0 + 1e-12));
        for (int q : members) {
            EXPECT_EQ(owner[q], -1) << "point " << q << " listed twice";
            owner[q] = h;
        }
    }
    for (int q = 0; q < p.n; ++q) EXPECT_NE(owner[q], -1) << "point " << q << " unlisted";
    return owner;
}

// Neighbour tables against the smallest point-to-point distances.
void CheckTables(Points& p, const Ints& owner) {
    const Tables t = BuildTables(p);
    std::vector<double> link(p.n * p.n, 1000000.0);  // [head][head]
    for (int a = 0; a < p.n; ++a)
        for (int b = 0; b < p.n; ++b)
            if (owner[a] != owner[b]) {
                double& cell = link[owner[a] * p.n + owner[b]];
                cell = std::min(cell, p.D(a, b));
            }
    for (int i = 0; i < p.n; ++i) {
        if (p.recs[i].is_head == 0) {
            EXPECT_TRUE(t.nearest[i] == i && t.not_smaller[i] == i && t.distance[i] == 0.0);
            continue;
        }
        double best = 1000000.0;
        double best_not_smaller = 100000.0;
        for (int j = 0; j < p.n; ++j) {
            if (j == i || p.recs[j].is_head == 0) continue;
            best = std::min(best, link[i * p.n + j]);
            if (p.recs[j].member_count >= p.recs[i].member_count)
                best_not_smaller = std::min(best_not_smaller, link[i * p.n + j]);
        }
        EXPECT_EQ(t.distance[i], best);
        EXPECT_TRUE(t.nearest[i] == i || link[i * p.n + t.nearest[i]] == best);
        const int e = t.not_smaller[i];
        EXPECT_TRUE(e == i ? best_not_smaller == 100000.0
                           : p.recs[e].member_count >= p.recs[i].member_count && link[i * p.n + e] == best_not_smaller)
            << "record " << i;
    }
}

// The contact search side by side, as the rules state it: side a scans its
// members, each against b's in order; side b scans b's members against a's.
struct Contacts {
    int mutual;
    double count_a, count_b;
};
Contacts TwoSidedContacts(const Points& p, int a, int b, double x) {
    const Ints in_a = p.Members(a);
    const Ints in_b = p.Members(b);
    const double r = x + x;
    auto side = [&](const Ints& own, const Ints& other, Ints& near) {
        near.assign(own.size(), -1);
        int contact = -1;
        double closest = 100000.0;
        for (std::size_t s = 0; s < own.size(); ++s) {
            double nearest = 100000.0;
            for (std::size_t t = 0; t < other.size(); ++t) {
                const double d = p.D(own[s], other[t]);
                if (d < nearest && d < r) {
                    near[s] = static_cast<int>(t);
                    nearest = d;
                }
                if (d < closest) {
                    contact = static_cast<int>(s);
                    closest = d;
                }
            }
        }
        int count = 0;
        for (std::size_t s = 0; contact >= 0 && s < own.size(); ++s)
            if (p.D(own[s], own[contact]) < r) ++count;
        return static_cast<double>(count);
    };
    Ints near_a;
    Ints near_b;
    Contacts c{0, side(in_a, in_b, near_a), side(in_b, in_a, near_b)};
    for (std::size_t s = 0; s < in_a.size(); ++s)
        if (near_a[s] != -1 && near_b[near_a[s]] == static_cast<int>(s)) ++c.mutual;
    return c;
}

}  // namespace

TEST(RandomTies, ContactAnswersMatchTheTwoSidedSearchBeforeAndAfterMerges) {
    for (unsigned seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        const int n = 4 + static_cast<int>(rng() % 50);
        const int dims = 1 + static_cast<int>(rng() % 3);
        Points p(RandomGrid(rng, n, dims), dims);
        int groups = n;
        p.Link(0.0, groups);  // groups of a few points
        for (int round = 0; round < 30; ++round) {
            Ints live;
            for (int h = 0; h < n; ++h)
                if (p.recs[h].is_head != 0) live.push_back(h);
            if (live.size() < 2) break;
            const int a = live[rng() % live.size()];
            int b = live[rng() % live.size()];
            if (b == a) b = live[(std::find(live.begin(), live.end(), a) - live.begin() + 1) % live.size()];
            const double xs[] = {Single_link(p.ws, p.r(), a, b), 0.0, 0.5 * static_cast<double>(rng() % 6)};
            for (double x : xs) {
                const Contacts want = TwoSidedContacts(p, a, b, x);
                for (int ask = 0; ask < 2; ++ask) {
                    double ca = -1.0;
                    double cb = -1.0;
                    ASSERT_EQ(GetMutualdistance(p.ws, p.r(), a, b, x, ca, cb), want.mutual) << a << " " << b << " " << x;
                    ASSERT_TRUE(ca == want.count_a && cb == want.count_b) << a << " " << b << " " << x;
                }
            }
            // Grow one of the two (or a bystander) before the next round.
            const int c = live[rng() % live.size()];
            const int into = rng() % 2 == 0 ? a : b;
            if (c != into) p.Merge(into, c, 1.0);
        }
    }
}

namespace {

// The neighbour tables by the rules, from point distances alone.
Tables PlainTables(const Points& p) {
    Tables t{Ints(p.n), Ints(p.n), std::vector<double>(p.n, 0.0)};
    for (int i = 0; i < p.n; ++i) {
        t.not_smaller[i] = i;
        t.nearest[i] = i;
        const HPtC_S& group = p.recs[i];
        if (group.is_head == 0) continue;
        double best = 1000000.0;
        double best_not_smaller = 100000.0;
        int examined = 0;
        for (int j = 0; j < p.n; ++j) {
            const HPtC_S& other = p.recs[j];
            if (j == i || other.is_head == 0) continue;
            const double d = PairScan(p, i, j, 100000000.0);
            if (d < best) {
                t.nearest[i] = j;
                best = d;
            } else if (d == best) {
                const HPtC_S& kept = p.recs[t.nearest[i]];
                if ((j >= 2 && group.member_count != 1 && other.member_count != 1 &&
                     std::fabs(kept.mean_link - other.mean_link) > std::fabs(group.mean_link - other.mean_link)) ||
                    (examined >= 2 && kept.member_count < other.member_count))
                    t.nearest[i] = j;
            }
            if (other.member_count >= group.member_count) {
                if (d < best_not_smaller) {
                    t.not_smaller[i] = j;
                    best_not_smaller = d;
                } else if (d == best_not_smaller && examined >= 2 &&
                           p.recs[t.not_smaller[i]].member_count < other.member_count) {
                    t.not_smaller[i] = j;
                }
            }
            ++examined;
        }
        t.distance[i] = best;
    }
    return t;
}

// The member lists one phase-1 pass leads to by the rules, from point distances alone.
std::vector<Ints> PlainLinkPass(const Points& p, double x) {
    Ints heads;
    for (int h = 0; h < p.n; ++h)
        if (p.recs[h].is_head != 0) heads.push_back(h);
    Ints closest(p.n, -1);
    std::vector<double> distance(p.n, 10000.0);
    for (int j : heads)
        for (int k : heads)
            if (k != j && PairScan(p, j, k, 100000.0) < distance[j]) {
                distance[j] = PairScan(p, j, k, 100000.0);
                closest[j] = k;
            }
    std::vector<Ints> lists(p.n);
    for (int h : heads) lists[h] = p.Members(h);
    const int h = static_cast<int>(heads.size());
    const double threshold = h < p.n / 2 ? x * 0.95 : 0.0;
    std::vector<std::pair<int, double>> pairs;
    for (int j : heads)
        if (h != 2 && closest[j] != -1 && closest[closest[j]] == j)
            pairs.emplace_back(j, CalculRatio(p.recs.data(), j, closest[j], distance[j]));
    for (const auto& pair : pairs) {
        const int j = pair.first;
        const int k = closest[j];
        if (!lists[j].empty() && !lists[k].empty() && pair.second >= threshold) {
            lists[k].insert(lists[k].end(), lists[j].begin(), lists[j].end());
            lists[j].clear();
        }
    }
    return lists;
}

}  // namespace

TEST(RandomTies, TablesAndLinkPassesAgreeWithPlainScansAfterAnyMerges) {
    for (unsigned seed = 1; seed <= 80; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        const int n = 3 + static_cast<int>(rng() % 70);
        const int dims = 1 + static_cast<int>(rng() % 2);
        std::vector<double> coords = RandomGrid(rng, n, dims);
        if (seed % 2 == 0)  // distinct distances: no ties at all
            for (double& c : coords) c = std::ldexp(static_cast<double>(rng()), -24);
        Points p(coords, dims);
        for (int round = 0; round < 12; ++round) {
            Ints live;
            for (int h = 0; h < n; ++h)
                if (p.recs[h].is_head != 0) live.push_back(h);
            if (live.size() < 3) break;
            switch (rng() % 3) {
                case 0: {  // a few merges, chains included, between reads
                    for (unsigned burst = 1 + rng() % 4; burst > 0 && live.size() > 2; --burst) {
                        const std::size_t into = rng() % live.size();
                        std::size_t from = rng() % (live.size() - 1);
                        if (from >= into) ++from;
                        p.Merge(live[into], live[from], 0.25 * static_cast<double>(1 + rng() % 8));
                        live.erase(live.begin() + static_cast<std::ptrdiff_t>(from));
                    }
                    break;
                }
                case 1: {
                    const double x = static_cast<double>(rng() % 2);
                    const std::vector<Ints> want = PlainLinkPass(p, x);
                    int groups = 0;
                    p.Link(x, groups);
                    for (int h = 0; h < n; ++h) ASSERT_EQ(p.Members(h), want[h]) << "round " << round << " head " << h;
                    break;
                }
                default: {
                    const double tests[3] = {1.0, 1.0, 0.04};
                    p.Pass(0.05 * static_cast<double>(rng() % 16), tests);
                    break;
                }
            }
            const Tables want = PlainTables(p);
            const Tables got = BuildTables(p);
            ASSERT_EQ(got.nearest, want.nearest) << "round " << round;
            ASSERT_EQ(got.not_smaller, want.not_smaller) << "round " << round;
            ASSERT_EQ(got.distance, want.distance) << "round " << round;
        }
    }
}

TEST(NeighbourTables, NotSmallerFirstHolderSkipsSmallerGroupsAfterMerges) {
    // Group 0 = {(0,0), (0,-1)} sees, at distance 5: pair 2 = {(5,0), (6,0)},
    // single point 4 = (-5,0) (smaller than group 0) and triple 5 = {(0,5),
    // (0,6), (0,7)}; point 8 = (10,0) is 10 away, and single point 9 = (3,0)
    // its one nearest group, 3 away.
    Points p({0, 0, 0, -1, 5, 0, 6, 0, -5, 0, 0, 5, 0, 6, 0, 7, 10, 0, 3, 0}, 2);
    p.Merge(0, 1, 1.0);
    p.Merge(2, 3, 1.0);
    p.Merge(5, 6, 1.0);
    p.Merge(5, 7, 1.0);
    EXPECT_EQ(BuildTables(p).not_smaller, PlainTables(p).not_smaller);
    p.Merge(8, 2, 4.0);  // the first not-smaller group at 5 merges away behind 5
    EXPECT_EQ(BuildTables(p).not_smaller, PlainTables(p).not_smaller);
    p.Merge(5, 8, 3.0);  // 5 is now the only not-smaller group at 5
    const Tables t = BuildTables(p);
    EXPECT_EQ(t.not_smaller[0], 5);
    EXPECT_TRUE(t.nearest[0] == 9 && t.distance[0] == 3.0);
    EXPECT_EQ(t.not_smaller, PlainTables(p).not_smaller);
    EXPECT_EQ(t.nearest, PlainTables(p).nearest);
}

TEST(RandomTies, PassesKeepGroupsWholeAndTablesMatchBruteForce) {
    for (unsigned seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        const int n = 2 + static_cast<int>(rng() % 60);
        const int dims = 1 + static_cast<int>(rng() % 2);
        Points p(RandomGrid(rng, n, dims), dims);
        int groups = n;
        p.Link(0.0, groups);
        CheckTables(p, CheckGroups(p));

        // One density pass: groups grow only by appending, and only into
        // groups at least as large at the pass start.
        std::vector<Ints> before(n);
        for (int h = 0; h < n; ++h) before[h] = p.Members(h);
        const double tests[3] = {1.0, 1.0, 0.04};
        const int left = p.Pass(0.05 * static_cast<double>(rng() % 16), tests);
        const Ints after = CheckGroups(p);
        int heads = 0;
        for (int h = 0; h < n; ++h) {
            if (p.recs[h].is_head == 0) continue;
            ++heads;
            const Ints now = p.Members(h);
            ASSERT_GE(now.size(), before[h].size()) << "record " << h;
            EXPECT_TRUE(!before[h].empty() && std::equal(before[h].begin(), before[h].end(), now.begin()));
        }
        EXPECT_EQ(left, heads);
        for (int h = 0; h < n; ++h) EXPECT_GE(before[after[h]].size(), before[h].size()) << "record " << h;
        CheckTables(p, after);
    }
}

TEST(RandomTies, DriverListsHoldEveryPointOnceInHeadOrder) {
    const std::string dir = TempDir();
    ASSERT_FALSE(dir.empty());
    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        const int n = static_cast<int>(rng() % 140);
        const int dims = 1 + static_cast<int>(rng() % 2);
        Points p(RandomGrid(rng, n, dims), dims);
        const bool density = rng() % 3 != 0;
        DriverRun run(p, Params({{0, rng() % 2 == 0 ? 0.15 : 0.5}, {1, density ? 1.0 : 0.0}, {5, rng() % 2 * 1.0}}));
        ASSERT_TRUE(run.count == run.groups && run.count <= n && (run.count == 0) == (n == 0));
        EXPECT_TRUE(run.noise == 0 || (density && n >= 100));

        Ints seen(n, 0);
        int total = 0;
        const int clusters = run.count - run.noise;
        for (int k = 0; k < run.count; ++k) {
            total += run.lists.sizes[k];
            for (int q : run.lists.List(k)) ++seen[q];
            EXPECT_TRUE(k >= clusters || !density || run.lists.sizes[k] > n / 100) << "list " << k;
            EXPECT_TRUE(k == 0 || k >= clusters || run.lists.members[k - 1][0] < run.lists.members[k][0]);
        }
        EXPECT_EQ(total, n);
        for (int q = 0; q < n; ++q) EXPECT_EQ(seen[q], 1) << "point " << q;
        for (int k = run.count; k < n; ++k) EXPECT_EQ(run.lists.members[k], nullptr);

        ASSERT_EQ(PrintResultClustering((dir + "r").c_str(), p.data, n, dims, run.lists.members.data(), run.count,
                                        run.lists.sizes.data()),
                  1);
        std::istringstream file(ReadFile(dir + "r"));
        std::string line;
        int lines = 0;
        for (; std::getline(file, line); ++lines) {
            const int label = std::atoi(line.substr(line.rfind('\t') + 1).c_str());
            EXPECT_TRUE(label >= 0 && label < run.count) << line;
        }
        EXPECT_EQ(lines, n);
    }
}

// The plain reference engine (reference_engine.cpp) on small cases whose
// answers are known by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "reference_engine.h"
#include "test_support.h"

using test_support::SplitMix;

namespace {

TEST(ReferenceEngine, StandardisesByPopulationDeviation) {
    const auto column = reference::StandardiseColumn({1.0, 2.0, 3.0});
    const double z = std::sqrt(1.5);  // 1 / sqrt(2/3)
    EXPECT_DOUBLE_EQ(column.values[0], -z);
    EXPECT_EQ(column.values[1], 0.0);
    EXPECT_DOUBLE_EQ(column.values[2], z);
    EXPECT_FALSE(column.rescaled);
}

TEST(ReferenceEngine, ConstantColumnBecomesZero) {
    for (const auto& values : {std::vector<double>{5.0, 5.0, 5.0}, std::vector<double>{-0.0, 0.0}}) {
        const auto column = reference::StandardiseColumn(values);
        for (double v : column.values) EXPECT_TRUE(v == 0.0 && !std::signbit(v)) << "value " << v;
    }
}

TEST(ReferenceEngine, OutOfRangeColumnsAreRescaled) {
    // A sum that overflows, squares that overflow, squares that underflow.
    for (double scale : {5e307, 1e160, 1e-170}) {
        const auto column = reference::StandardiseColumn({1.0 * scale, 2.0 * scale, 3.0 * scale, 3.0 * scale});
        const auto plain = reference::StandardiseColumn({1.0, 2.0, 3.0, 3.0});
        EXPECT_TRUE(column.rescaled) << "scale " << scale;
        for (std::size_t i = 0; i < plain.values.size(); ++i)
            EXPECT_NEAR(column.values[i], plain.values[i], 1e-12) << "scale " << scale << ", row " << i;
    }
    EXPECT_NEAR(reference::StandardiseColumn({1e160, -1e160}).values[1], -1.0, 1e-15);
    EXPECT_FALSE(reference::StandardiseColumn({1e150, 2e150}).rescaled);
    EXPECT_NEAR(reference::StandardiseColumn({3e-200, 1e-200}).values[0], 1.0, 1e-12);
}

TEST(ReferenceEngine, ClustersTheNinePointsAsWorkedOut) {
    const reference::Table points = {{0}, {1}, {3}, {4}, {10}, {11}, {13}, {14}, {30}};
    const reference::Clustering c = reference::Cluster(points, 0.04, 0);
    EXPECT_EQ(c.phase1_groups, 3);
    EXPECT_EQ(c.list_count, 2);
    EXPECT_FALSE(c.noise_list);
    EXPECT_EQ(c.labels, (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 0, 1}));
}

TEST(ReferenceEngine, ThreePointsOnALineEndInOneGroup) {
    // Phase 1 links 0 and 1 (the tie for point 1 goes to 0) and stops at two
    // groups; phase 2 then absorbs point 2 at ratio 1.0.
    const reference::Clustering c = reference::Cluster({{0}, {1}, {2}}, 0.04, 0);
    EXPECT_EQ(c.phase1_groups, 2);
    EXPECT_EQ(c.list_count, 1);
    EXPECT_EQ(c.labels, (std::vector<int>{0, 0, 0}));
}

TEST(ReferenceEngine, SamplingKeepsOnePrototypePerDistinctRow) {
    reference::Table rows;
    SplitMix rng(31);
    for (int i = 0; i < 300; ++i) rows.push_back({static_cast<double>(rng.Below(10)), 1.0});
    const reference::Sample s = reference::SampleRows(rows, 100);
    ASSERT_EQ(s.prototype_rows.size(), 10u);
    int first_minimum = 0;
    while (rows[first_minimum][0] != 0.0) ++first_minimum;
    EXPECT_EQ(s.prototype_rows[0], first_minimum) << "the first prototype is the first row at the minimum corner";
    for (std::size_t r = 0; r < rows.size(); ++r)
        EXPECT_EQ(rows[s.prototype_rows[s.row_prototype[r]]], rows[r]) << "row " << r << " sits with a copy of itself";
}

TEST(ReferenceEngine, SamplingStopsAtTheBudgetOrOneRowShort) {
    reference::Table rows;
    SplitMix rng(32);
    for (int i = 0; i < 200; ++i) rows.push_back({rng.Uniform(), rng.Uniform()});
    EXPECT_EQ(reference::SampleRows(rows, 50).prototype_rows.size(), 50u);
    rows.resize(5);
    EXPECT_EQ(reference::SampleRows(rows, 100).prototype_rows.size(), 4u);
    EXPECT_EQ(reference::SampleRows(reference::Table(20, {2.0, 3.0}), 100).prototype_rows.size(), 1u);
}

}  // namespace

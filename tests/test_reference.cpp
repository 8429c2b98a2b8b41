// The executable's whole outputs against the plain reference engine
// (reference_engine.cpp): for every seeded case the data file is written to a
// temporary folder, the executable runs on it, and the console output and
// every output file must equal, byte for byte, what the reference computes
// from the same numbers. A difference is reported with the case, its seed,
// the file and the first differing line of both.
//
// The reference is checked first on small cases whose answers are known by
// hand, so that a fault shared by both engines does not pass unseen.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "golden_cases.h"
#include "reference_engine.h"
#include "test_support.h"

namespace fs = std::filesystem;
using golden_cases::SeededCase;
using test_support::SplitMix;

namespace {

using Seed = std::uint64_t;
using Rows = golden_cases::Rows;

// ---- Data of the extra cases, all full of ties: equal distances, repeated
// rows, equal columns.

// The size of a generated case, the first thing drawn from its generator.
struct Shape {
    int rows;
    int cols;
};

Shape DrawShape(SplitMix& rng, int min_rows, int max_rows) {
    return {min_rows + rng.Below(max_rows - min_rows + 1), 1 + rng.Below(10)};
}

// Small integer grids: with few columns most rows repeat.
std::string Grid(Seed seed) {
    SplitMix rng(seed);
    const Shape shape = DrawShape(rng, 2, 900);
    return golden_cases::Join(golden_cases::Draw(rng, shape.rows, shape.cols, 2 + rng.Below(7)));
}

// A few distinct rows, each repeated many times.
std::string Duplicates(Seed seed) {
    SplitMix rng(seed);
    const Shape shape = DrawShape(rng, 2, 700);
    const Rows points = golden_cases::Draw(rng, 1 + rng.Below(40), shape.cols, 21);
    Rows data;
    for (int i = 0; i < shape.rows; ++i) data.push_back(points[rng.Below(static_cast<int>(points.size()))]);
    return golden_cases::Join(data);
}

// Points on a straight line through a random integer direction, with
// integer steps of 0 to 3 (0 repeats a point).
std::string OnALine(Seed seed) {
    SplitMix rng(seed);
    const Shape shape = DrawShape(rng, 3, 800);
    const Rows direction = golden_cases::Draw(rng, 1, shape.cols, 7);
    Rows data;
    long t = 0;
    for (int i = 0; i < shape.rows; ++i) {
        t += rng.Below(4);
        std::vector<long> row;
        for (long d : direction[0]) row.push_back(t * (d - 3));
        data.push_back(row);
    }
    return golden_cases::Join(data);
}

std::string SomeBlobs(Seed seed) {
    SplitMix rng(seed);
    const Shape shape = DrawShape(rng, 100, 1500);
    return golden_cases::Blobs(shape.rows, shape.cols, 2 + rng.Below(7), rng.Below(11), seed);
}

// Short decimals written as a person would: quarters in even columns,
// tenths in odd ones.
std::string Decimals(Seed seed) {
    SplitMix rng(seed);
    const Shape shape = DrawShape(rng, 2, 800);
    const std::vector<std::string> quarter_digits = {"0", "25", "5", "75"};
    std::string text;
    for (int i = 0; i < shape.rows; ++i)
        for (int j = 0; j < shape.cols; ++j) {
            std::string value;
            if (j % 2 == 0) {
                const int quarters = rng.Below(13) - 6;
                value = (quarters < 0 ? "-" : "") + std::to_string(std::abs(quarters) / 4) + "." +
                        quarter_digits[std::abs(quarters) % 4];
            } else {
                value = std::to_string(rng.Below(30) - 15) + "." + std::to_string(rng.Below(10));
            }
            text += value + (j + 1 < shape.cols ? " " : "\n");
        }
    return text;
}

// Distinct cells of a small integer grid, in random order: equal distances
// everywhere, yet no repeated row.
std::string DistinctGrid(Seed seed) {
    SplitMix rng(seed);
    const int cols = 1 + rng.Below(4);
    const int side = 2 + rng.Below(std::vector<int>{400, 30, 9, 6}[cols - 1]);
    long cells = 1;
    for (int j = 0; j < cols; ++j) cells *= side;
    const int rows = 2 + rng.Below(static_cast<int>(std::min(cells, 900L)) - 1);
    std::vector<long> order(static_cast<std::size_t>(cells));
    for (long c = 0; c < cells; ++c) order[c] = c;
    Rows data;
    for (int i = 0; i < rows; ++i) {
        std::swap(order[i], order[i + rng.Below(static_cast<int>(cells) - i)]);
        std::vector<long> row;
        for (long c = order[i], j = 0; j < cols; ++j, c /= side) row.push_back(c % side);
        data.push_back(row);
    }
    return golden_cases::Join(data);
}

// Values written with an exponent, k * 10^e in column 0, beside the row
// number in column 1 so that no row repeats.
std::string Scaled(int rows, const std::string& exponent, Seed seed) {
    SplitMix rng(seed);
    std::string text;
    for (int i = 0; i < rows; ++i)
        text += std::to_string(1 + rng.Below(997)) + "e" + exponent + " " + std::to_string(i) + "\n";
    return text;
}

// `count` lines made by `line` from their index.
template <class Line>
std::string MakeLines(int count, Line line) {
    std::string text;
    for (int i = 0; i < count; ++i) text += line(i);
    return text;
}

// 4500 rows drawn from 1200 distinct blob rows of 24 columns: a sampled run
// with room for every distinct row among its prototypes.
std::string WideCopies(Seed seed) {
    SplitMix rng(seed);
    const std::string distinct = golden_cases::Blobs(1200, 24, 5, 3, seed);
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = distinct.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(distinct.substr(start, end + 1 - start));
    return MakeLines(4500, [&](int) { return lines[rng.Below(static_cast<int>(lines.size()))]; });
}

// Rows of -0 and 0 that standardise to -0.0 and 0.0: equal points, written
// each with its own sign.
std::string SignedZeros(Seed) { return "-0 5\n0 5\n1 4\n-1 6\n2 5\n-2 5\n-0 4\n0 6\n"; }

// The same signs on distinct rows, with a third column of -0 and 0 only,
// which counts as constant.
std::string SignedZerosDistinct(Seed) { return "-0 5 0\n0 6 -0\n1 4 0\n-1 3 -0\n-0 7 0\n0 -0 -0\n"; }

// Distinct rows around a column of sevens.
std::string ConstantColumn(Seed seed) {
    SplitMix rng(seed);
    return MakeLines(200, [&](int i) { return std::to_string(i) + " 7 " + std::to_string(rng.Below(4)) + "\n"; });
}

// A column of ones with a single two.
std::string OneOutlier(Seed) {
    return MakeLines(120, [](int i) { return std::to_string(i % 7 + 7 * i) + (i == 50 ? " 2\n" : " 1\n"); });
}

std::string AllRowsEqual(Seed) {
    return MakeLines(150, [](int) { return std::string("3 -2\n"); });
}

std::string TwoPointsRepeated(Seed) {
    return MakeLines(300, [](int i) { return std::string(i % 3 != 0 ? "1 2\n" : "4 0\n"); });
}

const std::vector<std::vector<std::string>> kWordChoices = {
    {}, {"-f", "1"}, {"-u", "0"}, {"-u", "0.2"}, {"-f", "1", "-u", "0.5"}, {"-u", "1"}, {"-u", "0.04"},
    {"-f", "2", "-s", "0"}};

// `count` cases of one family, with seeds first, first + 1, ...
void AddFamily(std::vector<SeededCase>& cases, const std::string& family, std::string (*make)(Seed), Seed first,
               int count) {
    for (int i = 0; i < count; ++i) {
        const Seed seed = first + static_cast<Seed>(i);
        cases.push_back({family + "_" + std::to_string(seed), seed, make, kWordChoices[seed % kWordChoices.size()]});
    }
}

std::vector<SeededCase> AllCases() {
    std::vector<SeededCase> cases = golden_cases::GoldenCases();
    AddFamily(cases, "grid", Grid, 101, 14);
    AddFamily(cases, "duplicates", Duplicates, 201, 10);
    AddFamily(cases, "line", OnALine, 301, 10);
    AddFamily(cases, "blobs", SomeBlobs, 401, 8);
    AddFamily(cases, "decimals", Decimals, 501, 8);
    AddFamily(cases, "distinct_grid", DistinctGrid, 601, 12);
    const std::vector<SeededCase> special = {
        {"signed_zeros", 0, SignedZeros, {}},
        {"signed_zeros_distinct", 0, SignedZerosDistinct, {}},
        {"constant_column", 21, ConstantColumn, {}},
        {"one_outlier", 0, OneOutlier, {"-f", "1"}},
        {"all_rows_equal", 0, AllRowsEqual, {"-f", "1"}},
        {"two_points_repeated", 0, TwoPointsRepeated, {}},
        {"huge_sum", 22, [](Seed s) { return Scaled(60, "305", s); }, {}},
        {"huge_squares", 23, [](Seed s) { return Scaled(60, "160", s); }, {}},
        {"tiny_squares", 24, [](Seed s) { return Scaled(60, "-170", s); }, {}},
        {"sampled_4001_line", 25, [](Seed s) { return golden_cases::Line(4001, 2, s); }, {"-u", "0.2"}},
        {"sampled_6000_grid", 26,
         [](Seed s) { return golden_cases::Join(golden_cases::Draw(SplitMix(s), 6000, 3, 18)); }, {"-f", "1"}},
        // Wider than 16 columns: the sampling's member lists then carry copies of the rows.
        {"blobs_30d", 27, [](Seed s) { return golden_cases::Blobs(800, 30, 5, 3, s); }, {"-f", "1"}},
        {"sampled_4500_24d", 28, WideCopies, {}},
    };
    cases.insert(cases.end(), special.begin(), special.end());
    return cases;
}

// ---- Comparison

// The numbers of a data file as the executable reads clean data: one row a
// line, up to the first blank line.
reference::Table ParseTable(const std::string& text) {
    reference::Table table;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) break;
        std::vector<double> row;
        const char* p = line.c_str();
        for (char* end = nullptr;; p = end) {
            const double v = std::strtod(p, &end);
            if (end == p) break;
            row.push_back(v);
        }
        table.push_back(row);
    }
    return table;
}

// Pieces between line feeds; a last piece without its line feed counts too,
// so that a missing final line feed shows as a difference.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

// Empty when the texts are equal; otherwise the first differing line of both.
std::string FirstDifference(const std::string& expected, const std::string& actual) {
    if (expected == actual) return "";
    const std::vector<std::string> want = SplitLines(expected);
    const std::vector<std::string> got = SplitLines(actual);
    std::size_t line = 0;
    while (line < want.size() && line < got.size() && want[line] == got[line]) ++line;
    const auto show = [line](const std::vector<std::string>& lines) {
        return line < lines.size() ? "\"" + lines[line] + "\"" : "(none: " + std::to_string(lines.size()) + " lines)";
    };
    if (line == want.size() && line == got.size()) return "only in the final line feed";
    return "first at line " + std::to_string(line + 1) + "\n  reference:  " + show(want) +
           "\n  executable: " + show(got);
}

// The case, with the facts that decide which rules are in play: sampling,
// repeated rows, columns standardised on rescaled values.
std::string Where(const SeededCase& c, const reference::RunOutputs& expected, std::size_t rows) {
    std::string words;
    for (const auto& w : c.args) words += " " + w;
    std::string facts = std::to_string(rows) + " rows, ";
    facts += expected.sampled ? "sampled to " + std::to_string(expected.points_clustered) + " prototypes"
                              : std::to_string(expected.points_clustered) + " distinct";
    if (expected.rescaled_columns > 0) facts += ", " + std::to_string(expected.rescaled_columns) + " columns rescaled";
    return "case " + c.name + " (seed " + std::to_string(c.seed) + "; words:" + (words.empty() ? " none" : words) +
           "; " + facts + "): ";
}

void ExpectSameText(const std::string& where, const std::string& what, const std::string& expected,
                    const std::string& actual) {
    const std::string difference = FirstDifference(expected, actual);
    EXPECT_TRUE(difference.empty()) << where << what << " differs from the reference " << difference;
}

void ExpectFile(const std::string& where, const test_support::TempDir& dir, const std::string& name,
                const std::string& expected) {
    if (!fs::exists(dir / name)) {
        ADD_FAILURE() << where << name << " was not written";
        return;
    }
    ExpectSameText(where, name, expected, test_support::ReadFile(dir / name));
}

class ReferenceComparison : public ::testing::TestWithParam<SeededCase> {};

TEST_P(ReferenceComparison, OutputsMatchTheReference) {
    const SeededCase& c = GetParam();
    const std::string data = c.make(c.seed);
    const reference::Table table = ParseTable(data);
    const reference::RunOutputs expected = reference::RunTavri(table, reference::ParseCommandLine("data.txt", c.args));
    const std::string where = Where(c, expected, table.size());

    test_support::TempDir dir;
    dir.Write("data.txt", data);
    std::vector<std::string> words = {"data.txt"};
    words.insert(words.end(), c.args.begin(), c.args.end());
    const test_support::RunResult run = test_support::Run(TAVRI_EXE, words, dir.path());

    EXPECT_EQ(run.status, 0) << where << "exit status of a run that succeeds";
    ExpectSameText(where, "console output", expected.console, run.output);
    ExpectFile(where, dir, "normdata.txt", expected.norm);
    if (expected.sampled)
        ExpectFile(where, dir, "S_normdata.txt", expected.s_norm);
    else
        EXPECT_FALSE(fs::exists(dir / "S_normdata.txt")) << where << "S_normdata.txt written without sampling";
    ExpectFile(where, dir, "CTavri-data.txt", expected.ctavri);
    ExpectFile(where, dir, "LTavri-data.txt", expected.ltavri);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReferenceComparison, ::testing::ValuesIn(AllCases()),
                         [](const auto& info) { return info.param.name; });

// ---- The reference itself on answers known by hand.

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

TEST(ReferenceEngine, CompareReportsTheFirstDifferingLine) {
    EXPECT_EQ(FirstDifference("a\nb\n", "a\nb\n"), "");
    EXPECT_EQ(FirstDifference("a\nb\nc\n", "a\nx\nc\n"), "first at line 2\n  reference:  \"b\"\n  executable: \"x\"");
    EXPECT_EQ(FirstDifference("a\n", "a\nb\n"), "first at line 2\n  reference:  (none: 1 lines)\n  executable: \"b\"");
    EXPECT_EQ(FirstDifference("a\n", "a"), "only in the final line feed");
}

}  // namespace

// The public C++ API: the same answers as the command line, the refusals with
// what and where, copies clustered once, columns at the ends of the double
// range, the stages an observer hears, and calls from two threads at once.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <utility>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tavri/tavri.hpp"
#include "test_support.h"

using test_support::Lines;
using test_support::Printf6;
using test_support::ReadFile;
using test_support::SplitMix;
using test_support::TempDir;

namespace {

using Doubles = std::vector<double>;

// rows x cols values: blobs on a coarse grid (repeated rows and ties), or all distinct.
Doubles Seeded(int rows, int cols, std::uint64_t seed, bool repeats) {
    SplitMix rng(seed);
    Doubles data(static_cast<std::size_t>(rows) * cols);
    for (int i = 0; i < rows; ++i) {
        const int blob = rng.Below(5);
        for (int j = 0; j < cols; ++j)
            data[static_cast<std::size_t>(i) * cols + j] =
                repeats ? 10.0 * blob + rng.Below(4) : 10.0 * blob + rng.Uniform() * 4.0;
    }
    return data;
}

std::string Text(const Doubles& data, int cols) {
    std::string text;
    for (std::size_t k = 0; k < data.size(); ++k) {
        char number[64];
        std::snprintf(number, sizeof number, "%.17g", data[k]);
        text += std::string(number) + ((k + 1) % cols == 0 ? "\n" : " ");
    }
    return text;
}

// The label each row carries in the files: the noise list last.
std::string FileLabels(const tavri::Result& r) {
    std::string text;
    for (const int label : r.labels) text += std::to_string(label < 0 ? r.n_clusters : label) + "\n";
    return text;
}

std::string Standardised(const Doubles& values, std::size_t cols, std::size_t rows) {
    std::string text;
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < cols; ++j) text += Printf6(values[i * cols + j]) + "\t";
        text += "\n";
    }
    return text;
}

struct CliRun {
    std::string console, norm, prototypes, labels;
};

CliRun RunCli(const Doubles& data, int cols, std::vector<std::string> args = {}) {
    TempDir dir;
    dir.Write("data.txt", Text(data, cols));
    args.insert(args.begin(), "data.txt");
    CliRun run;
    run.console = test_support::Run(TAVRI_EXE, args, dir.path()).output;
    run.norm = ReadFile(dir / "normdata.txt");
    run.prototypes = ReadFile(dir / "S_normdata.txt");
    run.labels = ReadFile(dir / "LTavri-data.txt");
    return run;
}

}  // namespace

// The numbers of a file give the labels, coordinates and prototypes the
// files of a run hold: without sampling, with copies, at 4000 rows (the last
// clustered directly) and 4001 (the first sampled), with -f 1 and -u.
TEST(SameAnswers, AsTheCommandLineOnTheSameNumbers) {
    struct Case {
        const char* name;
        int rows, cols;
        bool repeats;
        tavri::Options options;
        std::vector<std::string> args;
    } cases[] = {
        {"distinct", 900, 3, false, {}, {}},
        {"copies", 700, 2, true, {}, {}},
        {"attach noise", 700, 2, true, {0.04, true, true}, {"-f", "1"}},
        {"u 0.3", 900, 3, false, {0.3, false, true}, {"-u", "0.3"}},
        {"4000 rows", 4000, 2, false, {}, {}},
        {"4001 rows", 4001, 2, false, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Doubles data = Seeded(c.rows, c.cols, 7, c.repeats);
        const tavri::Result r = tavri::Cluster(data.data(), c.rows, c.cols, c.options);
        const CliRun cli = RunCli(data, c.cols, c.args);
        const bool sampled = c.rows > 4000;
        EXPECT_EQ(FileLabels(r), cli.labels) << "labels";
        EXPECT_EQ(Standardised(r.standardised, c.cols, c.rows), cli.norm) << "standardised values";
        EXPECT_EQ(Standardised(r.prototype_coordinates, c.cols, r.prototypes.size()), cli.prototypes) << "prototypes";
        EXPECT_EQ(r.prototypes.empty(), !sampled) << "sampled exactly above 4000 rows";
        EXPECT_EQ(cli.console.find("N_instance = ") != std::string::npos, sampled) << cli.console;
        const std::string outcome = r.has_noise ? " cluster,noise)" : " clusters,no noise)";
        EXPECT_NE(cli.console.find("(" + std::to_string(r.n_clusters + r.has_noise) + outcome), std::string::npos)
            << cli.console;
        // Every row stands with its point, and the points' labels are the rows'.
        for (std::size_t i = 0; i < r.labels.size(); ++i)
            ASSERT_EQ(r.labels[i], r.point_labels[static_cast<std::size_t>(r.point_of_row[i])]) << "row " << i;
    }
}

// Refusals name what is wrong and where; a shape that cannot be clustered is
// refused before any memory is taken for it.
TEST(Refusals, ShapesValuesAndSizeWithoutSampling) {
    const Doubles three = {1, 2, 3, 4, 5, 6};
    auto message = [](auto&& call) -> std::string {
        try {
            call();
        } catch (const tavri::Error& e) {
            return e.what();
        }
        return "no error";
    };
    EXPECT_NE(message([&] { tavri::Cluster(three.data(), 0, 2); }).find("no rows"), std::string::npos);
    EXPECT_NE(message([&] { tavri::Cluster(three.data(), 3, 0); }).find("no columns"), std::string::npos);
    EXPECT_NE(message([&] { tavri::Cluster(nullptr, 3, 2); }).find("no data"), std::string::npos);
    EXPECT_NE(message([&] { tavri::Cluster(Doubles(three), 2, 2); }).find("not rows x cols"), std::string::npos);
    // 3e9 rows: refused by its count, not by an attempt to copy 24 GB.
    EXPECT_NE(message([&] { tavri::Cluster(three.data(), 3000000000ULL, 1); }).find("the most Tavri can index"),
              std::string::npos);
    Doubles bad = three;
    bad[3] = std::nan("");
    EXPECT_EQ(message([&] { tavri::Cluster(bad.data(), 3, 2); }),
              "row 1, column 1 holds nan: every value must be a finite number");
    bad[3] = 4;
    bad[4] = -std::numeric_limits<double>::infinity();
    EXPECT_EQ(message([&] { tavri::Cluster(bad.data(), 3, 2); }),
              "row 2, column 0 holds -inf: every value must be a finite number");
    const Doubles many = Seeded(4001, 1, 3, false);
    tavri::Options off;
    off.sampling = false;
    EXPECT_NE(message([&] { tavri::Cluster(many.data(), 4001, 1, off); }).find("4000"), std::string::npos);
    EXPECT_EQ(tavri::Cluster(many.data(), 4000, 1, off).labels.size(), 4000u);
}

// Copies lie at distance 0.0: each distinct row is clustered once and every
// copy takes its label. The nine-point example written three times gives the
// nine-point answer on every copy.
TEST(Copies, EachDistinctRowIsClusteredOnce) {
    const Doubles nine = {0, 1, 3, 4, 10, 11, 13, 14, 30};
    Doubles thrice = nine;
    thrice.insert(thrice.end(), nine.begin(), nine.end());
    thrice.insert(thrice.end(), nine.begin(), nine.end());
    const tavri::Result once = tavri::Cluster(nine.data(), 9, 1);
    const tavri::Result r = tavri::Cluster(thrice.data(), 27, 1);
    EXPECT_EQ(once.labels, (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 0, 1}));
    for (int copy = 0; copy < 3; ++copy)
        EXPECT_EQ(std::vector<int>(r.labels.begin() + 9 * copy, r.labels.begin() + 9 * copy + 9), once.labels)
            << "copy " << copy;
    EXPECT_EQ(r.clustered_rows, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(r.populations, std::vector<int>(9, 3));
    EXPECT_EQ(r.point_of_row[26], 8);
    // -0.0 equals 0.0: "0 0" twice, and with a sign, is one point.
    const Doubles zeros = {0.0, 0.0, -0.0, 0.0, 5.0, 5.0};
    const tavri::Result z = tavri::Cluster(zeros.data(), 3, 2);
    EXPECT_EQ(z.clustered_rows, (std::vector<int>{0, 2}));
    EXPECT_EQ(z.labels[0], z.labels[1]);
    const Doubles equal(600, 2.5);
    const tavri::Result e = tavri::Cluster(equal.data(), 300, 2);
    EXPECT_TRUE(e.labels == std::vector<int>(300, 0) && e.n_clusters == 1 && !e.has_noise);
    EXPECT_EQ(e.standardised, Doubles(600, 0.0)) << "a constant column becomes 0";
    EXPECT_EQ(e.scale, Doubles(2, 1.0));
}

// Columns whose sums overflow or whose squares underflow are standardised on
// values scaled by a power of two; others bit for bit as the plain formulas.
TEST(Standardising, ColumnsAtTheEndsOfTheDoubleRange) {
    const struct {
        Doubles column, expected;
    } cases[] = {
        {{1e308, 1.5e308, 1e308, 1.5e308}, {-1, 1, -1, 1}},
        {{1e-320, 0}, {1, -1}},
        {{1, 2, 3, 4, 1e300}, {-0.5, -0.5, -0.5, -0.5, 2}},
        {{1e200, -1e200}, {1, -1}},
    };
    for (const auto& c : cases) {
        const tavri::Result r = tavri::Cluster(c.column.data(), c.column.size(), 1);
        EXPECT_EQ(r.standardised, c.expected) << c.column[0];
        for (double v : r.standardised) EXPECT_TRUE(std::isfinite(v));
    }
    // Values near 1e-160: the plain formulas lose the squares; these keep 1, 2, 3's answer.
    const Doubles tiny = {1e-160, 2e-160, 3e-160}, plain = {1, 2, 3};
    EXPECT_EQ(tavri::Cluster(tiny.data(), 3, 1).standardised, tavri::Cluster(plain.data(), 3, 1).standardised);
    // The plain formulas, and mean and scale give the standardised values back.
    const Doubles column = {1, 2, 4};
    const tavri::Result r = tavri::Cluster(column.data(), 3, 1);
    const double mean = 7.0 / 3.0;
    const double scale = std::sqrt(((mean - 1) * (mean - 1) + (mean - 2) * (mean - 2) + (mean - 4) * (mean - 4)) / 3);
    EXPECT_EQ(r.mean, Doubles{mean});
    EXPECT_EQ(r.scale, Doubles{scale});
    EXPECT_EQ(r.standardised, (Doubles{(1 - mean) / scale, (2 - mean) / scale, (4 - mean) / scale}));
}

// The observer hears the stages in order; an exception it throws ends the
// run and reaches the caller.
TEST(Observer, StagesInOrderAndAnExceptionEndsTheRun) {
    struct Recorder : tavri::Observer {
        std::string heard;
        bool stop = false;
        void Standardised(const double*, std::size_t rows, std::size_t cols) override {
            heard += "standardised " + std::to_string(rows) + "x" + std::to_string(cols) + ";";
            if (stop) throw std::runtime_error("stopped");
        }
        void Sampled(const tavri::Result& r) override { heard += "sampled " + std::to_string(r.prototypes.size()) + ";"; }
        void FirstPhaseDone(int groups, int points) override {
            heard += "phase 1 " + std::to_string(groups) + " of " + std::to_string(points) + ";";
        }
        // Progress per stage: (done, total) as heard, in order.
        std::map<Stage, std::vector<std::pair<std::size_t, std::size_t>>> progress;
        void Progress(Stage stage, std::size_t done, std::size_t total) override {
            progress[stage].emplace_back(done, total);
        }
    };
    const Doubles nine = {0, 1, 3, 4, 10, 11, 13, 14, 30};
    Recorder small;
    tavri::Cluster(Doubles(nine), 9, 1, {}, &small);
    EXPECT_EQ(small.heard, "standardised 9x1;phase 1 3 of 9;");
    Recorder large;
    const Doubles many = Seeded(5000, 2, 5, false);
    const tavri::Result r = tavri::Cluster(Doubles(many), 5000, 2, {}, &large);
    EXPECT_EQ(large.heard.substr(0, large.heard.find("phase")),
              "standardised 5000x2;sampled " + std::to_string(r.prototypes.size()) + ";");
    // Sampling progress counts the prototypes up, one step at a time, against the budget of 4000; the
    // clustering's counts its density thresholds up to their number.
    const auto& sampling = large.progress[tavri::Observer::Stage::kSampling];
    ASSERT_FALSE(sampling.empty());
    for (std::size_t i = 0; i < sampling.size(); ++i)
        ASSERT_EQ(sampling[i], std::make_pair(i + 1, std::size_t{4000})) << "step " << i;
    EXPECT_EQ(sampling.size() + 1, r.prototypes.size()) << "every step but the last";
    const auto& clustering = large.progress[tavri::Observer::Stage::kClustering];
    ASSERT_FALSE(clustering.empty());
    EXPECT_EQ(clustering.back().first, clustering.back().second);
    EXPECT_EQ(clustering.size(), clustering.back().second);
    Recorder stopping;
    stopping.stop = true;
    EXPECT_THROW(tavri::Cluster(Doubles(many), 5000, 2, {}, &stopping), std::runtime_error);
    EXPECT_EQ(stopping.heard, "standardised 5000x2;");
}

// Two calls at once, one sampled and one not, give what they give alone.
TEST(Threads, TwoCallsAtOnceGiveTheirOwnAnswers) {
    const Doubles large = Seeded(9000, 3, 11, false), small = Seeded(1500, 2, 12, true);
    const tavri::Result alone_large = tavri::Cluster(large.data(), 9000, 3);
    const tavri::Result alone_small = tavri::Cluster(small.data(), 1500, 2);
    tavri::Result both_large, both_small;
    std::thread first([&] { both_large = tavri::Cluster(large.data(), 9000, 3); });
    std::thread second([&] { both_small = tavri::Cluster(small.data(), 1500, 2); });
    first.join();
    second.join();
    EXPECT_TRUE(both_large.labels == alone_large.labels && both_large.prototypes == alone_large.prototypes);
    EXPECT_TRUE(both_small.labels == alone_small.labels && both_small.standardised == alone_small.standardised);
}

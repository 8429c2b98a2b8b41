// The tavri executable end to end: command line, console lines, output files,
// refusals and exit status.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace fs = std::filesystem;
using test_support::Lines;
using test_support::Printf6;
using test_support::ReadFile;
using test_support::RunResult;
using test_support::SplitMix;
using test_support::TempDir;

namespace {

RunResult Tavri(const TempDir& dir, const std::vector<std::string>& args) {
    return test_support::Run(TAVRI_EXE, args, dir.path());
}

const char kUsage[] =
    "\nThe program %s needs 1 argument: \n\t* the file name;\nOptions: "
    "\n\t* -u the u parameter (default:  0.04)"
    "\n\t* -f the finish parameter (default:  0), when 1 noise points are assigned a cluster label"
    "\n\t* -d directory for input and output data (default: current)"
    "\n\t* -s sampling as a preprocessing step (default: 1, sampling is done when data size is higher than "
    "MAX_PROTOTYPE=4000)\n";

std::string Usage() {
    char text[1024];
    std::snprintf(text, sizeof text, kUsage, TAVRI_EXE);
    return text;
}

const char kNine[] = "0\n1\n3\n4\n10\n11\n13\n14\n30\n";

// Grid points: distinct rows, values exact at six decimals.
std::string GridFile(int rows, int cols, std::uint64_t seed) {
    SplitMix rng(seed);
    std::string text;
    for (int i = 0; i < rows; ++i) {
        for (int j = 0; j < cols; ++j) {
            text += std::to_string(rng.Below(1000));
            text += j + 1 < cols ? "\t" : "\n";
        }
    }
    return text;
}

}  // namespace

TEST(CommandLine, UsageHelpAndVersion) {
    TempDir dir;
    RunResult r = Tavri(dir, {});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, Usage());
    for (const char* word : {"--help", "-h"}) {
        r = Tavri(dir, {word});
        EXPECT_EQ(r.status, 0) << word;
        EXPECT_EQ(r.output, Usage()) << word;
    }
    r = Tavri(dir, {"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output.rfind("tavri ", 0), 0u);
    EXPECT_TRUE(dir.FileNames().empty());
}

TEST(CommandLine, EchoFollowsTheParsedOptions) {
    TempDir dir;
    dir.Write("x.txt", kNine);
    struct Case {
        std::vector<std::string> args;
        std::string echo;
    };
    const std::vector<Case> cases = {
        {{"x.txt"}, ""},
        {{"x.txt", "-u"}, "Data:  x.txt, Sampling is active if required\n u=0.040000\n"},
        {{"x.txt", "-s", "0"}, "Data:  x.txt, u=0.040000\n"},
        {{"x.txt", "-s", "2"}, "Data:  x.txt, u=0.040000\n"},
        {{"x.txt", "-s", "1.9"}, "Data:  x.txt, Sampling is active if required\n u=0.040000\n"},
        {{"x.txt", "-s", "abc"}, "Data:  x.txt, u=0.040000\n"},
        {{"x.txt", "-f", "1"}, "Data:  x.txt, Sampling is active if required\n u=0.040000\nTavri is completed to have no noise\n"},
        {{"x.txt", "-f", "0.9"}, "Data:  x.txt, Sampling is active if required\n u=0.040000\n"},
        {{"x.txt", "-f", "2"}, "Data:  x.txt, Sampling is active if required\n u=0.040000\n"},
        {{"x.txt", "-u", "0.1", "-u", "0.2"}, "Data:  x.txt, Sampling is active if required\n u=0.200000\n"},
        {{"x.txt", "0.3", "-u", "0.2"}, "Data:  x.txt, Sampling is active if required\n u=0.200000\n"},
        {{"x.txt", "-uxyz", "1e-3"}, "Data:  x.txt, Sampling is active if required\n u=0.001000\n"},
        {{"x.txt", "-u", "abc"}, "Data:  x.txt, Sampling is active if required\n u=0.000000\n"},
        {{"x.txt", "-", "u"}, "Data:  x.txt, Sampling is active if required\n u=0.040000\n"},
        {{"x.txt", "-d", "./"}, "Data:  x.txt, Path:  ./, Sampling is active if required\n u=0.040000\n"},
    };
    for (const Case& c : cases) {
        RunResult r = Tavri(dir, c.args);
        EXPECT_EQ(r.status, 0) << c.args.back();
        EXPECT_EQ(r.output.substr(0, c.echo.size()), c.echo) << c.args.back();
        EXPECT_EQ(r.output.substr(c.echo.size(), 12), "DATA LOADED=") << c.args.back();
    }
}

TEST(CommandLine, AValueIsExaminedAsAnOptionInItsOwnTurn) {
    TempDir dir;
    fs::create_directory(dir.Path("-s"));
    dir.Write("-sx.txt", kNine);
    // The directory becomes "-s", and then "-s 0" turns sampling off.
    RunResult r = Tavri(dir, {"x.txt", "-d", "-s", "0"});
    EXPECT_EQ(r.output.substr(0, 30), "Data:  x.txt, Path:  -s, u=0.0");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::exists(dir.Path("-snormx.txt")));
    EXPECT_TRUE(fs::exists(dir.Path("-sCTavri-x.txt")));
}

TEST(Pipeline, NinePointExampleEndToEnd) {
    TempDir dir;
    dir.Write("nine.txt", kNine);
    RunResult r = Tavri(dir, {"nine.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output,
              "DATA LOADED=9 patterns, 1 dimensions\n"
              "n_cluster phase 1=3 (9)\n"
              "Tavri(without sampling) (2 clusters,no noise) ...\n");
    const double raw[] = {0, 1, 3, 4, 10, 11, 13, 14, 30};
    double sum = 0.0;
    for (double v : raw) sum += v;
    const double mean = sum / 9.0;
    double squares = 0.0;
    for (double v : raw) squares += (mean - v) * (mean - v);
    const double dev = std::sqrt(squares / 9.0);
    std::string norm;
    std::string result;
    for (int i = 0; i < 9; ++i) {
        const std::string value = Printf6((raw[i] - mean) / dev) + "\t";
        norm += value + "\n";
        result += value + (i < 8 ? "0" : "1") + "\n";
    }
    EXPECT_EQ(ReadFile(dir.Path("normnine.txt")), norm);
    EXPECT_EQ(ReadFile(dir.Path("CTavri-nine.txt")), result);
    EXPECT_EQ(dir.FileNames(), (std::vector<std::string>{"CTavri-nine.txt", "nine.txt", "normnine.txt"}));

    r = Tavri(dir, {"nine.txt", "-f", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadFile(dir.Path("CTavri-nine.txt")), result);
}

TEST(Pipeline, FourThousandRowsAreClusteredWithoutSampling) {
    TempDir dir;
    dir.Write("g.txt", GridFile(4000, 2, 11));
    RunResult r = Tavri(dir, {"g.txt", "-s", "0"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.find("N_instance"), std::string::npos);
    const auto lines = Lines(ReadFile(dir.Path("CTavri-g.txt")));
    ASSERT_EQ(lines.size(), 4000u);
    int top = -1;
    std::map<int, int> sizes;
    for (const auto& line : lines) {
        const auto first = line.find('\t');
        const auto second = line.find('\t', first + 1);
        ASSERT_NE(second, std::string::npos) << line;
        ASSERT_EQ(line.find('\t', second + 1), std::string::npos) << line;
        const int label = std::stoi(line.substr(second + 1));
        ++sizes[label];
        top = std::max(top, label);
    }
    EXPECT_EQ(static_cast<int>(sizes.size()), top + 1);  // labels 0 up, none skipped
    EXPECT_EQ(sizes.begin()->first, 0);
    const bool noise = r.output.find("cluster,noise") != std::string::npos;
    const std::string count = std::to_string(top + 1);
    EXPECT_NE(r.output.find(noise ? "(with sampling) (" + count + " cluster,noise)"
                                  : "(without sampling) (" + count + " clusters,no noise)"),
              std::string::npos)
        << r.output;
}

TEST(Pipeline, OutputNamesFollowTheInputFolderAndTheDirectory) {
    TempDir dir;
    fs::create_directories(dir.Path("out/sub"));
    fs::create_directories(dir.Path("sub"));
    dir.Write("sub/a.txt", kNine);
    dir.Write("out/sub/a.txt", kNine);
    EXPECT_EQ(Tavri(dir, {"sub/a.txt"}).status, 0);
    EXPECT_TRUE(fs::exists(dir.Path("sub/norma.txt")));
    EXPECT_TRUE(fs::exists(dir.Path("sub/CTavri-a.txt")));
    RunResult r = Tavri(dir, {"sub/a.txt", "-d", "out/"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::exists(dir.Path("out/sub/norma.txt")));
    EXPECT_TRUE(fs::exists(dir.Path("out/sub/CTavri-a.txt")));
    // The directory text is glued on without a separator.
    dir.Write("outb.txt", kNine);
    EXPECT_EQ(Tavri(dir, {"b.txt", "-d", "out"}).status, 0);
    EXPECT_TRUE(fs::exists(dir.Path("outnormb.txt")));
}

TEST(Pipeline, RefusalsSayWhyExitOneAndWriteNothing) {
    struct Case {
        std::string name;
        std::string content;  // empty name: no file at all
        std::vector<std::string> extra;
        std::string output;
    };
    std::string big = GridFile(4001, 2, 5);
    const std::vector<Case> cases = {
        {"", "", {}, "Unable to open file:  data.txt\nTavri error\n"},
        {"data.txt", "", {}, "DATA LOADED=0 patterns, 0 dimensions\nData file empty:  data.txt\nTavri error\n"},
        {"data.txt", "\n1 2\n", {}, "DATA LOADED=0 patterns, 0 dimensions\nData file empty:  data.txt\nTavri error\n"},
        {"data.txt", "x y\nz w\n", {}, "DATA LOADED=2 patterns, 0 dimensions\nData file empty:  data.txt\nTavri error\n"},
        {"data.txt", "1 2\n3 4 5\n", {}, "Unable to open file:  data.txt\nTavri error\n"},
        {"data.txt", "1 2\n3 4\n5 1.5kg\n", {}, "DATA LOADED=3 patterns, 2 dimensions\nUnable to read file:  data.txt, line 3\nTavri error\n"},
        {"data.txt", "1 2\n3 1e999\n", {}, "DATA LOADED=2 patterns, 2 dimensions\nUnable to read file:  data.txt, line 2\nTavri error\n"},
        {"data.txt", big, {"-s", "0"},
         "Data:  data.txt, u=0.040000\nDATA LOADED=4001 patterns, 2 dimensions\n"
         "Database size is too large, please use the sampling option\nTavri error\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        if (!c.name.empty()) dir.Write(c.name, c.content);
        std::vector<std::string> args = {"data.txt"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        RunResult r = Tavri(dir, args);
        EXPECT_EQ(r.status, 1) << c.output;
        EXPECT_EQ(r.output, c.output);
        EXPECT_EQ(dir.FileNames(), c.name.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.name})
            << c.output;
    }
}

TEST(Pipeline, AWriteFailureFailsTheRunAndKeepsEarlierResults) {
    TempDir dir;
    dir.Write("a.txt", kNine);
    dir.Write("CTavri-a.txt", "earlier result\n");
    fs::create_directory(dir.Path("norma.txt"));  // the target is a folder
    RunResult r = Tavri(dir, {"a.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "DATA LOADED=9 patterns, 1 dimensions\nUnable to write file:  norma.txt\nTavri error\n");
    EXPECT_EQ(ReadFile(dir.Path("CTavri-a.txt")), "earlier result\n");
    EXPECT_EQ(dir.FileNames(), (std::vector<std::string>{"CTavri-a.txt", "a.txt", "norma.txt"}));

    fs::remove(dir.Path("norma.txt"));
    fs::create_directory(dir.Path("CTavri-b.txt"));
    dir.Write("b.txt", kNine);
    r = Tavri(dir, {"b.txt"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("Unable to write file:  CTavri-b.txt\nTavri error\n"), std::string::npos) << r.output;
}

TEST(Pipeline, SameInputGivesIdenticalOutputs) {
    TempDir dir;
    dir.Write("g.txt", GridFile(600, 3, 3));
    ASSERT_EQ(Tavri(dir, {"g.txt"}).status, 0);
    const std::string first = ReadFile(dir.Path("CTavri-g.txt"));
    fs::create_directory(dir.Path("elsewhere"));
    ASSERT_EQ(Tavri(dir, {"g.txt"}).status, 0);
    EXPECT_EQ(ReadFile(dir.Path("CTavri-g.txt")), first);
    // From another working folder, reaching the file through -d.
    ASSERT_EQ(test_support::Run(TAVRI_EXE, {"g.txt", "-d", "../"}, dir.Path("elsewhere")).status, 0);
    EXPECT_EQ(ReadFile(dir.Path("CTavri-g.txt")), first);
}

TEST(Sampling, LargeFilesAreReducedToPrototypes) {
    TempDir dir;
    dir.Write("big.txt", GridFile(10000, 2, 17));
    RunResult r = Tavri(dir, {"big.txt"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.substr(0, 62), "DATA LOADED=10000 patterns, 2 dimensions\nN_instance = 4000\nn_c");
    EXPECT_EQ(Lines(ReadFile(dir.Path("normbig.txt"))).size(), 10000u);
    const auto prototypes = Lines(ReadFile(dir.Path("S_normbig.txt")));
    const auto result = Lines(ReadFile(dir.Path("CTavri-big.txt")));
    const auto row_labels = Lines(ReadFile(dir.Path("LTavri-big.txt")));
    const auto norm = Lines(ReadFile(dir.Path("normbig.txt")));
    ASSERT_EQ(prototypes.size(), 4000u);
    ASSERT_EQ(result.size(), 4000u);
    ASSERT_EQ(row_labels.size(), 10000u);
    // Written in this order.
    struct stat a, b, c, d;
    stat(dir.Path("normbig.txt").c_str(), &a);
    stat(dir.Path("S_normbig.txt").c_str(), &b);
    stat(dir.Path("CTavri-big.txt").c_str(), &c);
    stat(dir.Path("LTavri-big.txt").c_str(), &d);
    auto ns = [](const struct stat& s) { return s.st_mtim.tv_sec * 1000000000LL + s.st_mtim.tv_nsec; };
    EXPECT_LE(ns(a), ns(b));
    EXPECT_LE(ns(b), ns(c));
    EXPECT_LE(ns(c), ns(d));
    // Every prototype is a copy of a data row, and every data row equal to a
    // prototype carries that prototype's label.
    std::map<std::string, std::string> label_of_prototype;
    for (std::size_t j = 0; j < prototypes.size(); ++j) {
        EXPECT_EQ(result[j].rfind(prototypes[j], 0), 0u);
        label_of_prototype[prototypes[j]] = result[j].substr(prototypes[j].size());
    }
    EXPECT_EQ(label_of_prototype.size(), 4000u);
    int copies = 0;
    for (std::size_t i = 0; i < norm.size(); ++i) {
        auto found = label_of_prototype.find(norm[i]);
        if (found == label_of_prototype.end()) continue;
        ++copies;
        EXPECT_EQ(row_labels[i], found->second) << "row " << i;
    }
    EXPECT_GE(copies, 4000);
}

TEST(Sampling, RowsBeyondOneHundredThousandAreNotRead) {
    TempDir dir;
    std::string text = GridFile(100000, 1, 23) + "5\n6\n";
    dir.Write("huge.txt", text);
    RunResult r = Tavri(dir, {"huge.txt"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.substr(0, 41), "DATA LOADED=100002 patterns, 1 dimensions");
    EXPECT_EQ(Lines(ReadFile(dir.Path("normhuge.txt"))).size(), 100000u);
    EXPECT_EQ(Lines(ReadFile(dir.Path("LTavri-huge.txt"))).size(), 100000u);
    // Only 1000 distinct values: each becomes one prototype.
    EXPECT_NE(r.output.find("N_instance = 1000\n"), std::string::npos);
}

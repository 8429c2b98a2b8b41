// The tavri executable end to end: usage and echo lines, the console output of
// a run, refusals with their messages, output faults (a folder in the way, a
// read-only folder, a full disk) that must leave earlier results intact,
// sampled runs, and byte-identical outputs of repeated runs.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace fs = std::filesystem;
using test_support::Lines;
using test_support::Printf6;
using test_support::ReadFile;
using test_support::RunResult;
using test_support::SplitMix;
using test_support::TempDir;
using test_support::WriteFile;

namespace {

using Files = std::map<std::string, std::string>;

const char kNine[] = "0\n1\n3\n4\n10\n11\n13\n14\n30\n";
const char kCannotOpen[] = "Unable to open file:  data.txt\nTavri error\n";
const std::string kSampling = "Data:  data.txt, Sampling is active if required\n";

RunResult Tavri(const std::string& cwd, const std::vector<std::string>& args) {
    return test_support::Run(TAVRI_EXE, args, cwd);
}

// rows x cols integers below `range`, tab separated.
std::string IntTable(int rows, int cols, int range, std::uint64_t seed) {
    SplitMix rng(seed);
    std::string text;
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) text += std::to_string(rng.Below(range)) + (j + 1 < cols ? "\t" : "\n");
    return text;
}

// Every entry of a folder but the input: name -> content ("<folder>" for a
// folder). Comparing it whole also catches stray temporary files.
Files Outputs(const std::string& folder) {
    Files outputs;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name != "data.txt") outputs[name] = entry.is_directory() ? "<folder>" : ReadFile(entry.path().string());
    }
    return outputs;
}

// The console output of a run that measured its file and then failed.
std::string Fails(int rows, int cols, const std::string& why) {
    return "DATA LOADED=" + std::to_string(rows) + " patterns, " + std::to_string(cols) + " dimensions\n" + why +
           "\nTavri error\n";
}

// Unmounts what it mounted when it goes out of scope.
struct Mount {
    std::string path;
    bool mounted = false;
    ~Mount() {
        if (mounted) umount2(path.c_str(), MNT_DETACH);
    }
    bool Do(const char* source, const char* type, unsigned long flags, const std::string& options) {
        mounted = geteuid() == 0 && mount(source, path.c_str(), type, flags, options.c_str()) == 0;
        return mounted;
    }
};

}  // namespace

TEST(CommandLine, UsageHelpAndVersion) {
    TempDir dir;
    char usage[1024];
    std::snprintf(usage, sizeof usage,
                  "\nThe program %s needs 1 argument: \n\t* the file name;\nOptions: "
                  "\n\t* -u the u parameter (default:  0.04)"
                  "\n\t* -f the finish parameter (default:  0), when 1 noise points are assigned a cluster label"
                  "\n\t* -d directory for input and output data (default: current)"
                  "\n\t* -s sampling as a preprocessing step (default: 1, sampling is done when data size is "
                  "higher than MAX_PROTOTYPE=4000)\n",
                  TAVRI_EXE);
    for (const auto& [word, status] : {std::pair<std::string, int>{"", 1}, {"--help", 0}, {"-h", 0}}) {
        const RunResult r =
            Tavri(dir.path(), word.empty() ? std::vector<std::string>{} : std::vector<std::string>{word});
        EXPECT_EQ(r.status, status) << word;
        EXPECT_EQ(r.output, usage) << word;
    }
    const RunResult r = Tavri(dir.path(), {"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output.rfind("tavri ", 0), 0u);
    EXPECT_TRUE(dir.FileNames().empty());
}

// Only the first two characters of an option count, the last occurrence
// wins, a value that is not a number reads as 0 (-f and -s take the integer
// part), an option without a value is ignored, and a word used as a value is
// examined as an option in its own turn.
TEST(CommandLine, EchoFollowsTheParsedOptions) {
    TempDir dir;
    dir.Write("data.txt", kNine);
    dir.Write("-sdata.txt", kNine);
    fs::create_directory(dir.Path("-s"));
    const std::string on = kSampling + " u=0.040000\n";
    const std::string off = "Data:  data.txt, u=0.040000\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, ""}, {{"-u"}, on}, {{"-", "u"}, on}, {{"-f", "0.9"}, on}, {{"-f", "2"}, on}, {{"-s", "1.9"}, on},
        {{"-s", "0"}, off}, {{"-s", "2"}, off}, {{"-s", "abc"}, off}, {{"-s", "99999999999999999999"}, off},
        {{"-f", "1x"}, on + "Tavri is completed to have no noise\n"},
        {{"-u", "0.1", "-u", "0.2"}, kSampling + " u=0.200000\n"}, {{"0.3", "-u", "0.2"}, kSampling + " u=0.200000\n"},
        {{"-uxyz", "1e-3"}, kSampling + " u=0.001000\n"}, {{"-u", "abc"}, kSampling + " u=0.000000\n"},
        {{"-d", "-s", "0"}, "Data:  data.txt, Path:  -s, u=0.040000\n"},
    };
    for (const auto& [options, echo] : cases) {
        SCOPED_TRACE(options.empty() ? "no options" : options.front() + " " + options.back());
        std::vector<std::string> args = {"data.txt"};
        args.insert(args.end(), options.begin(), options.end());
        const RunResult r = Tavri(dir.path(), args);
        const std::string expected = echo + "DATA LOADED=9 patterns, 1 dimensions\n";
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.output.substr(0, expected.size()), expected);
    }
    // The directory text is glued on without a separator.
    EXPECT_TRUE(fs::exists(dir.Path("-snormdata.txt")));
    EXPECT_TRUE(fs::exists(dir.Path("-sCTavri-data.txt")));
}

// The worked nine-point example: two clusters, the outlier 30 alone, no
// noise; the norm file is standardised here with the population deviation.
TEST(Pipeline, NinePointExampleEndToEnd) {
    TempDir dir;
    dir.Write("data.txt", kNine);
    const std::string console =
        "DATA LOADED=9 patterns, 1 dimensions\nn_cluster phase 1=3 (9)\n"
        "Tavri(without sampling) (2 clusters,no noise) ...\n";
    RunResult r = Tavri(dir.path(), {"data.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, console);
    const double raw[] = {0, 1, 3, 4, 10, 11, 13, 14, 30};
    const double mean = 86.0 / 9.0;
    double squares = 0.0;
    for (double v : raw) squares += (mean - v) * (mean - v);
    Files expected;
    for (int i = 0; i < 9; ++i) {
        const std::string value = Printf6((raw[i] - mean) / std::sqrt(squares / 9.0)) + "\t";
        expected["normdata.txt"] += value + "\n";
        expected["CTavri-data.txt"] += value + (i < 8 ? "0" : "1") + "\n";
    }
    EXPECT_EQ(Outputs(dir.path()), expected);

    // The same numbers with CRLF, loose white space, and junk after a blank line.
    dir.Write("data.txt", "  0\r\n\t1 \n3\t\r\n4\n10\n11\n13\n14\n30\r\n\n1.5kg nan,\n");
    r = Tavri(dir.path(), {"data.txt", "-f", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, kSampling + " u=0.040000\nTavri is completed to have no noise\n" + console);
    EXPECT_EQ(Outputs(dir.path()), expected);
}

// Each refusal prints its message and exits with 1 before anything is
// written: the results of an earlier run stay as they were and no temporary
// file is left behind. A lone blank first line, however long, means no data.
TEST(Failures, EachSaysWhyExitsOneAndKeepsEarlierResults) {
    struct Case {
        std::string name;
        bool present;  // false: no data file at all
        std::string content;
        std::string output;
        std::vector<std::string> options;
    };
    const std::string no_data = "Data file empty:  data.txt";
    const std::string bad_line = "Unable to read file:  data.txt, line ";
    const std::string rows_4001 = IntTable(4001, 2, 30, 41);
    const std::string too_large =
        "Data:  data.txt, u=0.040000\n" + Fails(4001, 2, "Database size is too large, please use the sampling option");
    const std::string huge_number = "1" + std::string(1200000, '0');  // crosses the 1 MiB read buffer
    const std::vector<Case> cases = {
        {"missing file", false, "", kCannotOpen, {}},
        {"empty file", true, "", Fails(0, 0, no_data), {}},
        {"first line blank", true, "\n1 2\n3 4\n", Fails(0, 0, no_data), {}},
        {"long white space first line", true, std::string(300, ' ') + "\t\n1 2\n", Fails(0, 0, no_data), {}},
        {"words only", true, "x y\nz w\n", Fails(2, 0, no_data), {}},
        {"differing column counts", true, "1 2\n3 4\n5 6 7\n", kCannotOpen, {}},
        {"1.5kg", true, "1 2\n3 4\n5 1.5kg\n", Fails(3, 2, bad_line + "3"), {}},
        {"commas", true, "1,2\n3,4\n", Fails(2, 1, bad_line + "1"), {}},
        {"NUL glued to a number", true, std::string("1 2\n3\0 4\n", 9), Fails(2, 2, bad_line + "2"), {}},
        {"1.2 MB number out of range", true, "1 2\n3 " + huge_number + "\n5 6\n", Fails(3, 2, bad_line + "2"), {}},
        {"4001 rows, -s 0", true, rows_4001, too_large, {"-s", "0"}},
        {"4001 rows, -s abc", true, rows_4001, too_large, {"-s", "abc"}},
        {"-d folder that does not exist", true, kNine,
         "Data:  data.txt, Path:  nowhere/, Sampling is active if required\n u=0.040000\n"
         "Unable to open file:  nowhere/data.txt\nTavri error\n",
         {"-d", "nowhere/"}},
    };
    const Files earlier = {{"normdata.txt", "earlier norm\n"}, {"S_normdata.txt", "earlier prototypes\n"},
                           {"CTavri-data.txt", "earlier result\n"}, {"LTavri-data.txt", "earlier labels\n"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        for (const auto& [name, text] : earlier) dir.Write(name, text);
        if (c.present) dir.Write("data.txt", c.content);
        std::vector<std::string> args = {"data.txt"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const RunResult r = Tavri(dir.path(), args);
        EXPECT_EQ(r.output, c.output);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(Outputs(dir.path()), earlier);
        EXPECT_EQ(ReadFile(dir.Path("data.txt")), c.content);
    }
}

// Each output of a sampled run (it writes all four) fails in turn: a folder
// in its way, a full disk (a tmpfs with room for the outputs before it and
// two spare pages), a read-only folder. The outputs before it are complete,
// it and the later ones keep the content of an earlier run, and the console
// stops at the failing write. Root ignores permission bits, so the last two
// need mounts; they skip without root or when mounting is not permitted.
TEST(OutputFaults, EachOutputFailsCleanly) {
    const std::string data = IntTable(6000, 2, 40, 5);
    TempDir ref;
    ref.Write("data.txt", data);
    const RunResult full = Tavri(ref.path(), {"data.txt"});
    ASSERT_EQ(full.status, 0) << full.output;
    const Files complete = Outputs(ref.path());
    // Each output with the console output of the run up to its write.
    const std::string& console = full.output;
    const std::string loaded = console.substr(0, console.find('\n') + 1);
    const std::string sampled = console.substr(0, console.find('\n', loaded.size()) + 1);
    const std::string clustered = console.substr(0, console.rfind('\n', console.size() - 2) + 1);
    const std::vector<std::pair<std::string, std::string>> order = {
        {"normdata.txt", loaded}, {"S_normdata.txt", sampled}, {"CTavri-data.txt", clustered},
        {"LTavri-data.txt", clustered}};
    const long page = sysconf(_SC_PAGESIZE);
    auto pages = [page](std::size_t bytes) { return static_cast<long>((bytes + page - 1) / page); };
    enum Fault { kFolder, kFullDisk, kReadOnly };
    for (const Fault fault : {kFolder, kFullDisk, kReadOnly}) {
        for (std::size_t k = 0; k < (fault == kReadOnly ? 1u : order.size()); ++k) {
            const std::string& failing = order[k].first;
            SCOPED_TRACE(failing + (fault == kFolder ? ", folder" : fault == kFullDisk ? ", full" : ", read-only"));
            TempDir dir;
            Mount out{dir.Path("out")};
            fs::create_directory(out.path);
            long room = pages(data.size()) + 2;
            Files expected;
            for (std::size_t j = 0; j < order.size(); ++j) {
                expected[order[j].first] = j < k ? complete.at(order[j].first) : "earlier\n";
                room += j < k ? pages(complete.at(order[j].first).size()) : 1;
            }
            if (fault == kFullDisk && pages(complete.at(failing).size()) <= 2)
                GTEST_SKIP() << "outputs too small for the page size";
            if (fault == kFullDisk && !out.Do("tmpfs", "tmpfs", 0, "size=" + std::to_string(room * page)))
                GTEST_SKIP() << "needs root and a tmpfs mount";
            WriteFile(out.path + "/data.txt", data);
            for (std::size_t j = k; j < order.size(); ++j) WriteFile(out.path + "/" + order[j].first, "earlier\n");
            if (fault == kFolder) {
                fs::remove(out.path + "/" + failing);
                fs::create_directory(out.path + "/" + failing);
                expected[failing] = "<folder>";
            }
            if (fault == kReadOnly &&
                !(out.Do(out.path.c_str(), nullptr, MS_BIND, "") &&
                  mount(nullptr, out.path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0 &&
                  access(out.path.c_str(), W_OK) != 0))
                GTEST_SKIP() << "needs root and a read-only bind mount";
            const RunResult r = Tavri(dir.path(), {"data.txt", "-d", "out/"});
            EXPECT_EQ(r.output, "Data:  data.txt, Path:  out/, Sampling is active if required\n u=0.040000\n" +
                                    order[k].second + "Unable to write file:  out/" + failing + "\nTavri error\n");
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(Outputs(out.path), expected);
        }
    }
}

// A sampled run past the 100000-row cap: the line count is reported whole,
// the rows beyond the cap are never read (a bad token there is harmless),
// and the four outputs have the right row counts and agree with each other.
// Repeated runs, in another second of the clock, from another working
// folder through -d and through a file name with a folder part, give
// byte-identical outputs beside the input.
TEST(Sampling, OutputsAreCompleteAndRepeatable) {
    const std::string data = IntTable(100000, 2, 30, 4) + "1.5kg 2\n";
    TempDir first;
    first.Write("data.txt", data);
    const RunResult r1 = Tavri(first.path(), {"data.txt"});
    const std::string head = "DATA LOADED=100001 patterns, 2 dimensions\nN_instance = ";
    ASSERT_EQ(r1.output.substr(0, head.size()), head) << r1.output;
    EXPECT_EQ(r1.status, 0);
    const std::size_t k = std::stoul(r1.output.substr(head.size()));
    const Files outputs = Outputs(first.path());
    std::map<std::string, std::vector<std::string>> lines;
    for (const auto& [name, text] : outputs) lines[name] = Lines(text);
    const auto &norm = lines["normdata.txt"], &prototypes = lines["S_normdata.txt"];
    const auto &result = lines["CTavri-data.txt"], &row_labels = lines["LTavri-data.txt"];
    ASSERT_EQ((std::vector<std::size_t>{norm.size(), row_labels.size(), prototypes.size(), result.size()}),
              (std::vector<std::size_t>{100000, 100000, k, k}));
    // The prototypes are distinct data rows; a row equal to one carries its label.
    std::map<std::string, std::string> label_of;
    for (std::size_t j = 0; j < k; ++j) {
        ASSERT_EQ(result[j].rfind(prototypes[j], 0), 0u) << "prototype " << j;
        label_of[prototypes[j]] = result[j].substr(prototypes[j].size());
    }
    EXPECT_EQ(label_of.size(), k);
    std::size_t copies = 0;
    for (std::size_t i = 0; i < norm.size(); ++i) {
        const auto found = label_of.find(norm[i]);
        if (found == label_of.end()) continue;
        ++copies;
        ASSERT_EQ(row_labels[i], found->second) << "row " << i;
    }
    EXPECT_GE(copies, k);

    const std::time_t start = std::time(nullptr);
    while (std::time(nullptr) == start) usleep(20000);
    EXPECT_EQ(Tavri(first.path(), {"data.txt"}).output, r1.output);
    EXPECT_TRUE(Outputs(first.path()) == outputs) << "second run differs";
    TempDir second;
    for (const char* folder : {"in", "work"}) fs::create_directory(second.Path(folder));
    WriteFile(second.Path("in/data.txt"), data);
    EXPECT_EQ(Tavri(second.Path("work"), {"data.txt", "-d", "../in/"}).output,
              "Data:  data.txt, Path:  ../in/, Sampling is active if required\n u=0.040000\n" + r1.output);
    EXPECT_TRUE(Outputs(second.Path("in")) == outputs) << "run with -d differs";
    EXPECT_TRUE(fs::is_empty(second.Path("work")));
    EXPECT_EQ(Tavri(second.path(), {"in/data.txt"}).output, r1.output);
    EXPECT_TRUE(Outputs(second.Path("in")) == outputs) << "run with a folder in the name differs";
}

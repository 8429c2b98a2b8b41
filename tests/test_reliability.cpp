// The tavri executable end to end: refusals that must leave earlier results
// intact, output faults, and a sampled run with complete, repeatable outputs.
// (The options, their echo and the console lines are tested in test_cli.cpp.)
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <ctime>
#include <map>

#include "test_support.h"

namespace fs = std::filesystem;
using namespace test_support;  // Run stays qualified: gtest's Test::Run hides it

namespace {

using Files = std::map<std::string, std::string>;


// Every entry of a folder but the input: name -> content ("<folder>" for a
// folder). Comparing it whole also catches stray temporary files.
Files Outputs(const std::string& folder) {
    Files outputs;
    for (const auto& entry : fs::directory_iterator(folder))
        outputs[entry.path().filename().string()] = entry.is_directory() ? "<folder>" : ReadFile(entry.path().string());
    outputs.erase("data.txt");
    return outputs;
}

// The console output of a run that measured its file and then failed.
std::string Fails(int rows, int cols, const std::string& why) {
    return "DATA LOADED=" + std::to_string(rows) + " patterns, " + std::to_string(cols) + " dimensions\n" + why +
           "\nTavri error\n";
}

// Detaches whatever got mounted on `path` (nothing happens when nothing did).
struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
};

}  // namespace

// Each refusal prints its message and exits with 1 before anything is
// written: the results of an earlier run stay as they were and no temporary
// file is left behind.
TEST(Failures, EachSaysWhyExitsOneAndKeepsEarlierResults) {
    struct Case {
        std::string name, content, output;
        std::vector<std::string> args;
    };
    const std::string bad_line = "Unable to read file:  data.txt, line ";
    const std::string huge_number = "1" + std::string(1200000, '0');  // crosses the 1 MiB read buffer
    const std::vector<Case> cases = {
        {"-d folder that does not exist", kNine,
         "Data:  data.txt, Path:  nowhere/, Sampling is active if required\n u=0.040000\n"
         "Unable to open file:  nowhere/data.txt\nTavri error\n",
         {"data.txt", "-d", "nowhere/"}},
        {"differing column counts", "1 2\n3 4\n5 6 7\n", "Unable to open file:  data.txt\nTavri error\n", {"data.txt"}},
        {"empty file", "", Fails(0, 0, "Data file empty:  data.txt"), {"data.txt"}},
        {"words only", "x y\nz w\n", Fails(2, 0, "Data file empty:  data.txt"), {"data.txt"}},
        {"1.5kg", "1 2\n3 4\n5 1.5kg\n", Fails(3, 2, bad_line + "3"), {"data.txt"}},
        {"1.2 MB number out of range", "1 2\n3 " + huge_number + "\n5 6\n", Fails(3, 2, bad_line + "2"), {"data.txt"}},
        {"4001 rows, -s 2", IntTable(4001, 2, 30, 41),
         "Data:  data.txt, u=0.040000\n" + Fails(4001, 2, "Database size is too large, please use the sampling option"),
         {"data.txt", "-s", "2"}},
    };
    const Files earlier = {{"normdata.txt", "earlier norm\n"}, {"S_normdata.txt", "earlier prototypes\n"},
                           {"CTavri-data.txt", "earlier result\n"}, {"LTavri-data.txt", "earlier labels\n"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        for (const auto& [name, text] : earlier) dir.Write(name, text);
        dir.Write("data.txt", c.content);
        const RunResult r = test_support::Run(TAVRI_EXE, c.args, dir.path());
        EXPECT_EQ(r.output, c.output);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(Outputs(dir.path()), earlier);
    }
}

// A sampled run past the 100000-row cap: the line count is reported whole,
// the rows beyond the cap are never read (a bad token there is harmless),
// and the four outputs have the right row counts and agree with each other.
// A second run, in another second of the clock and through a file name with
// a folder part, writes byte-identical outputs beside its input.
TEST(Sampling, OutputsAreCompleteRepeatableAndFailCleanly) {
    const std::string data = IntTable(100000, 2, 30, 4) + "1.5kg 2\n";
    TempDir first;
    first.Write("data.txt", data);
    const RunResult r1 = test_support::Run(TAVRI_EXE, {"data.txt"}, first.path());
    const std::string head = "DATA LOADED=100001 patterns, 2 dimensions\nN_instance = ";
    ASSERT_EQ(r1.output.substr(0, head.size()), head) << r1.output;
    EXPECT_EQ(r1.status, 0);
    const std::size_t k = std::stoul(r1.output.substr(head.size()));
    const Files outputs = Outputs(first.path());
    const auto norm = Lines(outputs.at("normdata.txt")), prototypes = Lines(outputs.at("S_normdata.txt"));
    const auto result = Lines(outputs.at("CTavri-data.txt")), row_labels = Lines(outputs.at("LTavri-data.txt"));
    // The summary agrees with the outcome line.
    const int lists = std::stoi(r1.output.substr(r1.output.rfind('(') + 1));
    const bool noise = r1.output.find(" cluster,noise)") != std::string::npos;
    EXPECT_EQ(outputs.at("RTavri-data.txt"), "lists=" + std::to_string(lists) + " clusters=" +
                                                 std::to_string(lists - noise) + " noise=" + (noise ? "1" : "0") +
                                                 " rows=100000 points=" + std::to_string(k) + " sampled=1\n");
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
        copies += found != label_of.end();
        ASSERT_TRUE(found == label_of.end() || row_labels[i] == found->second) << "row " << i;
    }
    EXPECT_GE(copies, k);

    const std::time_t start = std::time(nullptr);
    while (std::time(nullptr) == start) usleep(20000);
    TempDir second;
    fs::create_directory(second.Path("in"));
    WriteFile(second.Path("in/data.txt"), data);
    EXPECT_EQ(test_support::Run(TAVRI_EXE, {"in/data.txt"}, second.path()).output, r1.output);
    EXPECT_TRUE(Outputs(second.Path("in")) == outputs) << "the second run differs";

    // Output faults: a folder in the way of each output in turn, a full disk (a
    // tmpfs with two pages to spare) and a read-only folder at the first. The
    // outputs before it are complete, it and the later ones keep their earlier
    // content, and the console stops at the failing write. Root ignores permission
    // bits, so the last two need a tmpfs mount and skip where it is not permitted.
    const std::vector<std::pair<std::string, int>> order = {  // with the console lines printed before each
        {"normdata.txt", 1}, {"S_normdata.txt", 2}, {"CTavri-data.txt", 3}, {"LTavri-data.txt", 3},
        {"RTavri-data.txt", 3}};
    const std::size_t page = sysconf(_SC_PAGESIZE);
    enum Fault { kFolder, kFullDisk, kReadOnly };
    const std::vector<std::pair<Fault, std::size_t>> faults = {
        {kFolder, 0}, {kFolder, 1}, {kFolder, 2}, {kFolder, 3}, {kFolder, 4}, {kFullDisk, 0}, {kReadOnly, 0}};
    for (const auto& [fault, f] : faults) {
        const std::string& failing = order[f].first;
        SCOPED_TRACE(failing + (fault == kFolder ? ", folder" : fault == kFullDisk ? ", full" : ", read-only"));
        TempDir dir;
        const Unmount out{dir.Path("out")};
        fs::create_directory(out.path);
        // Room for the input, the four one-page earlier files and two pages more.
        const std::string room = "size=" + std::to_string(((data.size() + page - 1) / page + 6) * page);
        if (fault != kFolder && mount("tmpfs", out.path.c_str(), "tmpfs", 0, room.c_str()) != 0)
            GTEST_SKIP() << "needs root and a tmpfs mount";
        WriteFile(out.path + "/data.txt", data);
        // All or nothing: every earlier output stays as it was.
        Files expected;
        for (std::size_t j = 0; j < order.size(); ++j) {
            expected[order[j].first] = j == f && fault == kFolder ? "<folder>" : "earlier\n";
            if (j == f && fault == kFolder) fs::create_directory(out.path + "/" + failing);
            else WriteFile(out.path + "/" + order[j].first, "earlier\n");
        }
        if (fault == kReadOnly && mount(nullptr, out.path.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            GTEST_SKIP() << "needs a read-only remount";
        std::size_t printed = 0;
        for (int line = 0; line < order[f].second; ++line) printed = r1.output.find('\n', printed) + 1;
        const RunResult r = test_support::Run(TAVRI_EXE, {"data.txt", "-d", "out/"}, dir.path());
        EXPECT_EQ(r.output, "Data:  data.txt, Path:  out/, Sampling is active if required\n u=0.040000\n" +
                                r1.output.substr(0, printed) + "Unable to write file:  out/" + failing +
                                "\nTavri error\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(Outputs(out.path) == expected) << "outputs differ (a whole diff of them is too large)";
    }
}

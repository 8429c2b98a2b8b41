// Reliability of the executable: bad inputs and bad options, failing outputs
// (read-only folder, a folder in the way, a full disk), earlier results that
// must survive a failed run, and byte-identical outputs of repeated runs.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace fs = std::filesystem;
using test_support::Lines;
using test_support::ReadFile;
using test_support::RunResult;
using test_support::SplitMix;
using test_support::TempDir;
using test_support::WriteFile;

namespace {

using Names = std::vector<std::string>;

RunResult Tavri(const std::string& cwd, const std::vector<std::string>& args) {
    return test_support::Run(TAVRI_EXE, args, cwd);
}

std::string Printf6(double v) {
    char text[400];
    std::snprintf(text, sizeof text, "%lf", v);
    return text;
}

std::string Echo(const std::string& file, const std::string& path = "") {
    std::string echo = "Data:  " + file + ",";
    if (!path.empty()) echo += " Path:  " + path + ",";
    return echo + " Sampling is active if required\n u=0.040000\n";
}

// rows x cols integers below `range`, tab separated.
std::string IntTable(int rows, int cols, int range, std::uint64_t seed) {
    SplitMix rng(seed);
    std::string text;
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) {
            text += std::to_string(rng.Below(range));
            text += j + 1 < cols ? "\t" : "\n";
        }
    return text;
}

// Standardised columns as the norm file holds them (population deviation,
// sums in row order, an all-equal column written as zeros).
std::string ExpectedNorm(const std::vector<std::vector<double>>& rows) {
    const std::size_t n = rows.size();
    const std::size_t cols = rows.empty() ? 0 : rows[0].size();
    std::vector<std::vector<std::string>> cells(n, std::vector<std::string>(cols));
    for (std::size_t j = 0; j < cols; ++j) {
        double sum = 0.0;
        bool constant = true;
        for (std::size_t i = 0; i < n; ++i) {
            sum += rows[i][j];
            constant = constant && rows[i][j] == rows[0][j];
        }
        const double mean = sum / static_cast<double>(n);
        double squares = 0.0;
        for (std::size_t i = 0; i < n; ++i) squares += (mean - rows[i][j]) * (mean - rows[i][j]);
        const double dev = std::sqrt(squares / static_cast<double>(n));
        for (std::size_t i = 0; i < n; ++i) cells[i][j] = Printf6(constant ? 0.0 : (rows[i][j] - mean) / dev);
    }
    std::string text;
    for (const auto& row : cells) {
        for (const auto& cell : row) text += cell + "\t";
        text += "\n";
    }
    return text;
}

std::vector<std::vector<double>> ParseTable(const std::string& text) {
    std::vector<std::vector<double>> rows;
    for (const auto& line : Lines(text)) {
        std::vector<double> row;
        const char* p = line.c_str();
        for (;;) {
            char* end = nullptr;
            const double value = std::strtod(p, &end);
            if (end == p) break;
            row.push_back(value);
            p = end;
        }
        rows.push_back(row);
    }
    return rows;
}

// A string literal with its NUL bytes.
template <std::size_t N>
std::string Bytes(const char (&text)[N]) {
    return std::string(text, N - 1);
}

// Every entry of a folder but `input`: name -> content ("<folder>" for a folder).
std::map<std::string, std::string> Outputs(const std::string& folder, const std::string& input = "data.txt") {
    std::map<std::string, std::string> outputs;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name == input) continue;
        outputs[name] = entry.is_directory() ? "<folder>" : ReadFile(entry.path().string());
    }
    return outputs;
}

Names SortedNames(const std::string& folder) {
    Names names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// ---------------------------------------------------------------------------
// Bad inputs and bad options: each row one data file (or none) and the words
// after its name; the whole console output, the exit status and the entries
// the folder holds afterwards.

struct BadInput {
    std::string name;
    bool present;         // false: no data file at all
    std::string content;  // the data file
    std::vector<std::string> args;
    std::string output;
    int status;
    Names files;
};

const Names kOnlyInput = {"data.txt"};
const Names kResults = {"CTavri-data.txt", "data.txt", "normdata.txt"};

std::string Empty() { return "DATA LOADED=0 patterns, 0 dimensions\nData file empty:  data.txt\nTavri error\n"; }
std::string NoColumns(int rows) {
    return "DATA LOADED=" + std::to_string(rows) + " patterns, 0 dimensions\nData file empty:  data.txt\nTavri error\n";
}
std::string BadLine(int rows, int cols, int line) {
    return "DATA LOADED=" + std::to_string(rows) + " patterns, " + std::to_string(cols) +
           " dimensions\nUnable to read file:  data.txt, line " + std::to_string(line) + "\nTavri error\n";
}
const char kCannotOpen[] = "Unable to open file:  data.txt\nTavri error\n";
const char kNine[] = "0\n1\n3\n4\n10\n11\n13\n14\n30\n";

std::vector<BadInput> BadInputs() {
    const std::string big_token = "1" + std::string(1200000, '0');  // 1e1200000
    const std::string rows_4001 = IntTable(4001, 2, 30, 41);
    const std::string binary = Bytes("\x7f" "ELF\x02\x01\x01\0\0\0\0\xff\n\0\xff\xfe\x01 \t\x02\n");
    const std::string nul_in_number = Bytes("1 2\n3\0 4\n");
    const std::string nul_line = Bytes("1 2\n\0\0\0\n");
    const std::string too_large =
        "Data:  data.txt, u=0.040000\nDATA LOADED=4001 patterns, 2 dimensions\n"
        "Database size is too large, please use the sampling option\nTavri error\n";
    return {
        {"missing file", false, "", {}, kCannotOpen, 1, {}},
        {"empty file", true, "", {}, Empty(), 1, kOnlyInput},
        {"first line blank", true, "\n1 2\n3 4\n", {}, Empty(), 1, kOnlyInput},
        {"white space only", true, " \t  \r\n\t\t\n    \n", {}, Empty(), 1, kOnlyInput},
        {"long white space first line", true, std::string(300, ' ') + "\t\n1 2\n", {}, Empty(), 1, kOnlyInput},
        {"header of words", true, "x y\n1 2\n3 4\n", {}, kCannotOpen, 1, kOnlyInput},
        {"words only", true, "x y\nz w\n", {}, NoColumns(2), 1, kOnlyInput},
        {"differing column counts", true, "1 2\n3 4\n5 6 7\n", {}, kCannotOpen, 1, kOnlyInput},
        {"1.5kg", true, "1 2\n3 4\n5 1.5kg\n", {}, BadLine(3, 2, 3), 1, kOnlyInput},
        {"1.5.5", true, "1 2\n1.5.5 3\n", {}, BadLine(2, 2, 2), 1, kOnlyInput},
        {"commas", true, "1,2\n3,4\n", {}, BadLine(2, 1, 1), 1, kOnlyInput},
        {"decimal comma", true, "1 2,5\n3 4\n", {}, BadLine(2, 2, 1), 1, kOnlyInput},
        {"nan", true, "1 2\n3 nan\n", {}, BadLine(2, 2, 2), 1, kOnlyInput},
        {"NAN", true, "NAN 2\n3 4\n", {}, BadLine(2, 2, 1), 1, kOnlyInput},
        {"inf", true, "1 inf\n2 3\n", {}, BadLine(2, 2, 1), 1, kOnlyInput},
        {"-Infinity", true, "1 2\n-Infinity 3\n", {}, BadLine(2, 2, 2), 1, kOnlyInput},
        {"1e999", true, "1 2\n3 1e999\n", {}, BadLine(2, 2, 2), 1, kOnlyInput},
        {"-1e400", true, "-1e400 2\n3 4\n", {}, BadLine(2, 2, 1), 1, kOnlyInput},
        {"hexadecimal", true, "0x1A 2\n3 4\n", {}, BadLine(2, 2, 1), 1, kOnlyInput},
        {"exponent without digits", true, "1 2\n3 4e\n", {}, BadLine(2, 2, 2), 1, kOnlyInput},
        // A lone sign does not start a number, so the line counts fewer columns.
        {"lone minus first", true, "1 2\n- 3\n", {}, kCannotOpen, 1, kOnlyInput},
        {"lone minus last", true, "1 -\n2 -\n", {}, BadLine(2, 1, 1), 1, kOnlyInput},
        {"lone dot", true, ". 1\n2 3\n", {}, kCannotOpen, 1, kOnlyInput},
        {"text after the numbers", true, "1 2 x\n3 4 y\n", {}, BadLine(2, 2, 1), 1, kOnlyInput},
        {"form feed inside a line", true, "1\f2 3\n4 5\n", {}, BadLine(2, 2, 1), 1, kOnlyInput},
        {"binary garbage with NUL bytes", true, binary, {}, NoColumns(2), 1, kOnlyInput},
        {"NUL glued to a number", true, nul_in_number, {}, BadLine(2, 2, 2), 1, kOnlyInput},
        {"line of NUL bytes", true, nul_line, {}, kCannotOpen, 1, kOnlyInput},
        {"1.2 MB number out of range", true, "1 2\n3 " + big_token + "\n5 6\n", {}, BadLine(3, 2, 2), 1,
         kOnlyInput},
        {"4001 rows with -s 0", true, rows_4001, {"-s", "0"}, too_large, 1, kOnlyInput},
        {"4001 rows with -s abc", true, rows_4001, {"-s", "abc"}, too_large, 1, kOnlyInput},
        {"-d folder that does not exist", true, kNine, {"-d", "nowhere/"},
         Echo("data.txt", "nowhere/") + "Unable to open file:  nowhere/data.txt\nTavri error\n", 1, kOnlyInput},
    };
}

TEST(BadInputs, EachFailsWithItsMessageExitOneAndNoOutputFile) {
    const auto cases = BadInputs();
    for (const BadInput& c : cases) {
        TempDir dir;
        if (c.present) dir.Write("data.txt", c.content);
        std::vector<std::string> args = {"data.txt"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = Tavri(dir.path(), args);
        EXPECT_EQ(r.output, c.output) << c.name;
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(dir.FileNames(), c.files) << c.name;  // no output, no temporary file
        if (c.present) {
            EXPECT_EQ(ReadFile(dir.Path("data.txt")), c.content) << c.name;
        }
    }
}

TEST(BadInputs, UnreadableInputs) {
    TempDir dir;
    // A folder opens but cannot be read: not an empty data file.
    fs::create_directory(dir.Path("data.txt"));
    RunResult r = Tavri(dir.path(), {"data.txt"});
    EXPECT_EQ(r.output, kCannotOpen);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(dir.FileNames(), kOnlyInput);
    // An empty file name.
    r = Tavri(dir.path(), {""});
    EXPECT_EQ(r.output, "Unable to open file:  \nTavri error\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(dir.FileNames(), kOnlyInput);
}

TEST(BadInputs, ABadRunLeavesEarlierResultsUntouched) {
    TempDir dir;
    const std::map<std::string, std::string> earlier = {{"normdata.txt", "earlier norm\n"},
                                                        {"S_normdata.txt", "earlier prototypes\n"},
                                                        {"CTavri-data.txt", "earlier result\n"},
                                                        {"LTavri-data.txt", "earlier labels\n"}};
    for (const auto& [name, text] : earlier) dir.Write(name, text);
    for (const char* bad : {"1 2\n3 1.5kg\n", "1 2\n3\n", ""}) {
        dir.Write("data.txt", bad);
        EXPECT_EQ(Tavri(dir.path(), {"data.txt"}).status, 1) << bad;
        EXPECT_EQ(Outputs(dir.path()), earlier) << bad;
    }
}

// Options whose values are not numbers read as 0; an option without a value
// is ignored. These runs succeed.
TEST(BadOptions, ReadAsDocumentedAndTheRunGoesOn) {
    struct Case {
        std::vector<std::string> args;
        std::string echo;
    };
    const std::string sampling = "Data:  data.txt, Sampling is active if required\n";
    const std::vector<Case> cases = {
        {{"-u", "abc"}, sampling + " u=0.000000\n"},
        {{"-u", "0.5x"}, sampling + " u=0.500000\n"},
        {{"-u", ""}, sampling + " u=0.000000\n"},
        {{"-u", "1e999"}, sampling + " u=inf\n"},
        {{"-f", "x"}, sampling + " u=0.040000\n"},
        {{"-f", "1x"}, sampling + " u=0.040000\nTavri is completed to have no noise\n"},
        {{"-s", "1abc"}, sampling + " u=0.040000\n"},
        {{"-s", "99999999999999999999"}, "Data:  data.txt, u=0.040000\n"},
        {{"-u"}, sampling + " u=0.040000\n"},
        {{"-f"}, sampling + " u=0.040000\n"},
        {{"-s"}, sampling + " u=0.040000\n"},
        {{"-d"}, sampling + " u=0.040000\n"},
        {{"--unknown", "word"}, sampling + " u=0.040000\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        dir.Write("data.txt", kNine);
        std::vector<std::string> args = {"data.txt"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = Tavri(dir.path(), args);
        const std::string expected = c.echo + "DATA LOADED=9 patterns, 1 dimensions\n";
        EXPECT_EQ(r.output.substr(0, expected.size()), expected) << c.args[0];
        EXPECT_EQ(r.status, 0) << c.args[0] << "\n" << r.output;
        EXPECT_EQ(dir.FileNames(), kResults) << c.args[0];
    }
}

// ---------------------------------------------------------------------------
// Accepted forms: each variant must give exactly the console output and the
// files of a plain reference file with the same numbers.

const char kReference[] = "0 0\n1 0\n0 1\n10 10\n11 10\n10 11\n30 0\n31 1\n5 40\n";

struct Variant {
    std::string name;
    std::string content;
};

std::vector<Variant> AcceptedVariants() {
    const std::string wide_gap = std::string(600000, ' ') + std::string(600000, '\t');  // crosses 1 MiB
    return {
        {"CRLF line ends", "0 0\r\n1 0\r\n0 1\r\n10 10\r\n11 10\r\n10 11\r\n30 0\r\n31 1\r\n5 40\r\n"},
        {"mixed separators and loose white space",
         "  0\t0\n\t1 \t 0  \n0\t\t1\n10   10 \t\n 11 10\n10 11\r\n30\t 0\n31 1 \r\n5 40"},
        {"no line feed at the end", "0 0\n1 0\n0 1\n10 10\n11 10\n10 11\n30 0\n31 1\n5 40"},
        {"blank line, then anything",
         Bytes("0 0\n1 0\n0 1\n10 10\n11 10\n10 11\n30 0\n31 1\n5 40\n\n1.5kg nan,\n\0\xff")},
        {"long white space line, then anything",
         "0 0\n1 0\n0 1\n10 10\n11 10\n10 11\n30 0\n31 1\n5 40\n" + std::string(5000, ' ') + "\n1 2 3\n"},
        {"other spellings of the numbers",
         "+0.0e0 -0\n1.000 .0\n0. 1E0\n1e1 10.\n110e-1 +10\n.1e2 0.11e+2\n3.0E1 0e99\n31 1\n5 4e1\n"},
        {"a 1.2 MB line", "0 0\n1 0\n0 1\n10 " + wide_gap + "10\n11 10\n10 11\n30 0\n31 1\n5 40\n"},
    };
}

TEST(AcceptedInputs, VariantsGiveTheReferenceOutputs) {
    TempDir ref;
    ref.Write("data.txt", kReference);
    const RunResult expected = Tavri(ref.path(), {"data.txt"});
    ASSERT_EQ(expected.status, 0) << expected.output;
    const auto expected_files = Outputs(ref.path());
    ASSERT_EQ(SortedNames(ref.path()), kResults);
    for (const Variant& v : AcceptedVariants()) {
        TempDir dir;
        dir.Write("data.txt", v.content);
        const RunResult r = Tavri(dir.path(), {"data.txt"});
        EXPECT_EQ(r.status, 0) << v.name;
        EXPECT_EQ(r.output, expected.output) << v.name;
        EXPECT_EQ(Outputs(dir.path()), expected_files) << v.name;
    }
}

TEST(AcceptedInputs, OneAndTwoRows) {
    TempDir dir;
    dir.Write("data.txt", "5 7\n");
    RunResult r = Tavri(dir.path(), {"data.txt"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.rfind("DATA LOADED=1 patterns, 2 dimensions\n", 0), 0u) << r.output;
    EXPECT_EQ(dir.FileNames(), kResults);
    EXPECT_EQ(ReadFile(dir.Path("normdata.txt")), "0.000000\t0.000000\t\n");  // every column constant
    EXPECT_EQ(ReadFile(dir.Path("CTavri-data.txt")), "0.000000\t0.000000\t0\n");

    dir.Write("data.txt", "1\n4\n");
    r = Tavri(dir.path(), {"data.txt"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.rfind("DATA LOADED=2 patterns, 1 dimensions\n", 0), 0u) << r.output;
    EXPECT_EQ(ReadFile(dir.Path("normdata.txt")), "-1.000000\t\n1.000000\t\n");
    const auto result = Lines(ReadFile(dir.Path("CTavri-data.txt")));
    ASSERT_EQ(result.size(), 2u);
    EXPECT_EQ(result[0].rfind("-1.000000\t", 0), 0u);
    EXPECT_EQ(result[1].rfind("1.000000\t", 0), 0u);
    const std::set<std::string> labels = {result[0].substr(10), result[1].substr(9)};
    for (const auto& label : labels) EXPECT_TRUE(label == "0" || label == "1") << label;
    EXPECT_TRUE(labels.count("0") == 1) << "labels run from 0";
}

TEST(AcceptedInputs, FiveThousandColumnsOnThreeRows) {
    TempDir dir;
    const std::string text = IntTable(3, 5000, 1000, 8);
    dir.Write("data.txt", text);
    const RunResult r = Tavri(dir.path(), {"data.txt"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.rfind("DATA LOADED=3 patterns, 5000 dimensions\n", 0), 0u);
    EXPECT_EQ(dir.FileNames(), kResults);
    const std::string norm = ExpectedNorm(ParseTable(text));
    EXPECT_EQ(ReadFile(dir.Path("normdata.txt")), norm);
    const auto norm_lines = Lines(norm);
    const auto result = Lines(ReadFile(dir.Path("CTavri-data.txt")));
    ASSERT_EQ(result.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(result[i].rfind(norm_lines[i], 0), 0u) << "row " << i;
        const std::string label = result[i].substr(norm_lines[i].size());
        EXPECT_TRUE(label == "0" || label == "1" || label == "2") << label;
    }
}

// A column of equal values is standardised to zeros and changes nothing in
// the clustering of the other columns.
TEST(AcceptedInputs, ConstantColumnIsZeroAndIgnored) {
    const std::string plain = IntTable(250, 2, 60, 12);
    std::string with_constant;
    for (const auto& line : Lines(plain)) {
        const auto tab = line.find('\t');
        with_constant += line.substr(0, tab) + "\t-7.25\t" + line.substr(tab + 1) + "\n";
    }
    TempDir a;
    TempDir b;
    a.Write("data.txt", plain);
    b.Write("data.txt", with_constant);
    const RunResult ra = Tavri(a.path(), {"data.txt"});
    const RunResult rb = Tavri(b.path(), {"data.txt"});
    ASSERT_EQ(ra.status, 0) << ra.output;
    ASSERT_EQ(rb.status, 0) << rb.output;
    // Only the dimension count differs in the console output.
    std::string expected_console = ra.output;
    expected_console.replace(0, std::string("DATA LOADED=250 patterns, 2").size(), "DATA LOADED=250 patterns, 3");
    EXPECT_EQ(rb.output, expected_console);
    // Inserting "0.000000\t" after the first value of every line of the
    // plain outputs gives the outputs with the constant column.
    auto insert_zero = [](const std::string& text) {
        std::string out;
        for (const auto& line : Lines(text)) {
            const auto tab = line.find('\t');
            out += line.substr(0, tab + 1) + "0.000000\t" + line.substr(tab + 1) + "\n";
        }
        return out;
    };
    const std::string norm_b = ReadFile(b.Path("normdata.txt"));
    EXPECT_EQ(norm_b, insert_zero(ReadFile(a.Path("normdata.txt"))));
    EXPECT_EQ(ReadFile(b.Path("CTavri-data.txt")), insert_zero(ReadFile(a.Path("CTavri-data.txt"))));
    for (const auto& row : ParseTable(norm_b)) {
        ASSERT_EQ(row.size(), 3u);
        EXPECT_EQ(row[1], 0.0);
    }
}

// Rows beyond 100000 are never read: a row that would be refused there is
// harmless, and the standardisation uses the first 100000 rows only.
TEST(AcceptedInputs, OnlyTheFirstHundredThousandRowsAreRead) {
    TempDir dir;
    SplitMix rng(77);
    std::vector<int> values;
    std::string text;
    for (int i = 0; i < 100000; ++i) {
        values.push_back(rng.Below(10));
        text += std::to_string(values.back()) + "\n";
    }
    text += "1.5kg\n";
    dir.Write("data.txt", text);
    const RunResult r = Tavri(dir.path(), {"data.txt"});
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output.rfind("DATA LOADED=100001 patterns, 1 dimensions\nN_instance = 10\n", 0), 0u) << r.output;
    EXPECT_EQ(dir.FileNames(),
              (Names{"CTavri-data.txt", "LTavri-data.txt", "S_normdata.txt", "data.txt", "normdata.txt"}));
    std::vector<std::vector<double>> rows;
    for (int v : values) rows.push_back({static_cast<double>(v)});
    EXPECT_TRUE(ReadFile(dir.Path("normdata.txt")) == ExpectedNorm(rows));
    EXPECT_EQ(Lines(ReadFile(dir.Path("LTavri-data.txt"))).size(), 100000u);
    EXPECT_EQ(Lines(ReadFile(dir.Path("S_normdata.txt"))).size(), 10u);
}

// ---------------------------------------------------------------------------
// Output faults. Root ignores permission bits, so a folder is made read-only
// with a read-only bind mount when running as root, else with chmod; a full
// disk is a small tmpfs. Both need mount rights and are skipped without them.

class MountPoint {
public:
    explicit MountPoint(std::string path) : path_(std::move(path)) {}
    ~MountPoint() {
        if (mounted_) umount2(path_.c_str(), MNT_DETACH);
        if (chmodded_) chmod(path_.c_str(), 0755);
    }
    MountPoint(const MountPoint&) = delete;
    MountPoint& operator=(const MountPoint&) = delete;

    // Makes the folder read-only with its content; an empty string on
    // success, else why it could not be done.
    std::string MakeReadOnly() {
        if (geteuid() == 0) {
            if (mount(path_.c_str(), path_.c_str(), nullptr, MS_BIND, nullptr) != 0)
                return std::string("bind mount refused: ") + std::strerror(errno);
            mounted_ = true;
            if (mount(nullptr, path_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
                return std::string("read-only remount refused: ") + std::strerror(errno);
        } else {
            if (chmod(path_.c_str(), 0555) != 0) return std::string("chmod failed: ") + std::strerror(errno);
            chmodded_ = true;
        }
        const std::string probe = path_ + "/probe";
        std::FILE* file = std::fopen(probe.c_str(), "w");
        if (file == nullptr) return "";
        std::fclose(file);
        std::remove(probe.c_str());
        return "the folder stays writable";
    }

    // Mounts an empty tmpfs of `bytes` on the folder; an empty string on success.
    std::string MountTmpfs(long bytes) {
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
        if (mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) != 0)
            return std::string("tmpfs mount refused: ") + std::strerror(errno);
        mounted_ = true;
        return "";
    }

private:
    std::string path_;
    bool mounted_ = false;
    bool chmodded_ = false;
};

long Pages(std::size_t bytes) {
    const long page = sysconf(_SC_PAGESIZE);
    return static_cast<long>((bytes + page - 1) / page);
}

TEST(OutputFaults, ReadOnlyFolderFailsAndKeepsEarlierResults) {
    TempDir dir;
    const std::string ro = dir.Path("ro");
    fs::create_directory(ro);
    WriteFile(ro + "/data.txt", kNine);
    WriteFile(ro + "/normdata.txt", "earlier norm\n");
    WriteFile(ro + "/CTavri-data.txt", "earlier result\n");
    const auto before = Outputs(ro);
    MountPoint guard(ro);
    const std::string why = guard.MakeReadOnly();
    if (!why.empty()) GTEST_SKIP() << "cannot make a folder read-only here: " << why;

    const RunResult r = Tavri(dir.path(), {"data.txt", "-d", "ro/"});
    EXPECT_EQ(r.output, Echo("data.txt", "ro/") +
                            "DATA LOADED=9 patterns, 1 dimensions\nUnable to write file:  ro/normdata.txt\n"
                            "Tavri error\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Outputs(ro), before);
    EXPECT_EQ(ReadFile(ro + "/data.txt"), kNine);
}

// A folder in the way of the sampled outputs (the other outputs are covered
// by the command-line tests). Few distinct rows keep the sampling cheap.
TEST(OutputFaults, FolderInTheWayOfSampledOutputs) {
    const std::string data = IntTable(4500, 2, 8, 5);
    {
        TempDir dir;
        dir.Write("data.txt", data);
        dir.Write("CTavri-data.txt", "earlier result\n");
        fs::create_directory(dir.Path("S_normdata.txt"));
        const RunResult r = Tavri(dir.path(), {"data.txt"});
        EXPECT_EQ(r.output,
                  "DATA LOADED=4500 patterns, 2 dimensions\nN_instance = 64\n"
                  "Unable to write file:  S_normdata.txt\nTavri error\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(dir.FileNames(), (Names{"CTavri-data.txt", "S_normdata.txt", "data.txt", "normdata.txt"}));
        EXPECT_EQ(ReadFile(dir.Path("CTavri-data.txt")), "earlier result\n");
        EXPECT_TRUE(fs::is_empty(dir.Path("S_normdata.txt")));
    }
    {
        TempDir dir;
        dir.Write("data.txt", data);
        fs::create_directory(dir.Path("LTavri-data.txt"));
        const RunResult r = Tavri(dir.path(), {"data.txt"});
        const std::string tail = "Unable to write file:  LTavri-data.txt\nTavri error\n";
        ASSERT_GE(r.output.size(), tail.size()) << r.output;
        EXPECT_EQ(r.output.substr(r.output.size() - tail.size()), tail) << r.output;
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(dir.FileNames(),
                  (Names{"CTavri-data.txt", "LTavri-data.txt", "S_normdata.txt", "data.txt", "normdata.txt"}));
        EXPECT_TRUE(fs::is_empty(dir.Path("LTavri-data.txt")));
    }
}

// The disk fills up while the norm file, or later the result file, is being
// written: the run fails, no temporary file stays, earlier files are intact.
TEST(OutputFaults, FullDisk) {
    const std::string data = IntTable(800, 6, 10, 31);
    // The sizes of the outputs, from a run on an ordinary folder.
    TempDir ref;
    ref.Write("data.txt", data);
    const RunResult expected = Tavri(ref.path(), {"data.txt"});
    ASSERT_EQ(expected.status, 0) << expected.output;
    // The console output of the run up to its outcome line.
    const std::string before_outcome =
        expected.output.substr(0, expected.output.rfind('\n', expected.output.size() - 2) + 1);
    const std::string norm = ReadFile(ref.Path("normdata.txt"));
    const std::string result = ReadFile(ref.Path("CTavri-data.txt"));
    ASSERT_GT(Pages(norm.size()), 6);
    ASSERT_GT(Pages(result.size()), 6);
    const long page = sysconf(_SC_PAGESIZE);
    const std::string earlier = "earlier\n";

    struct Case {
        std::string failing;               // the output that does not fit
        std::vector<std::string> present;  // files there before the run
        long spare_pages;                  // room left once the files that fit are written
    };
    const std::vector<Case> cases = {{"normdata.txt", {"normdata.txt"}, 2}, {"CTavri-data.txt", {"CTavri-data.txt"}, 2}};
    for (const Case& c : cases) {
        TempDir dir;
        const std::string full = dir.Path("full");
        fs::create_directory(full);
        MountPoint guard(full);
        long pages = Pages(data.size()) + c.spare_pages;
        for (std::size_t k = 0; k < c.present.size(); ++k) pages += Pages(earlier.size());
        if (c.failing == "CTavri-data.txt") pages += Pages(norm.size());
        const std::string why = guard.MountTmpfs(pages * page);
        if (!why.empty()) GTEST_SKIP() << "cannot mount a small tmpfs here: " << why;
        WriteFile(full + "/data.txt", data);
        for (const auto& name : c.present) WriteFile(full + "/" + name, earlier);
        ASSERT_EQ(ReadFile(full + "/data.txt"), data);

        const RunResult r = Tavri(dir.path(), {"data.txt", "-d", "full/"});
        const std::string progress =
            c.failing == "normdata.txt" ? "DATA LOADED=800 patterns, 6 dimensions\n" : before_outcome;
        EXPECT_EQ(r.output, Echo("data.txt", "full/") + progress + "Unable to write file:  full/" + c.failing +
                                "\nTavri error\n");
        EXPECT_EQ(r.status, 1) << c.failing;
        Names names = {"data.txt", "normdata.txt"};
        if (c.failing == "CTavri-data.txt") names.insert(names.begin(), "CTavri-data.txt");
        EXPECT_EQ(SortedNames(full), names) << c.failing;
        EXPECT_EQ(ReadFile(full + "/" + c.failing), earlier) << c.failing;
        if (c.failing == "CTavri-data.txt") {
            EXPECT_EQ(ReadFile(full + "/normdata.txt"), norm);  // complete, as in the ordinary run
        }
    }
}

// ---------------------------------------------------------------------------
// Determinism: every output file is byte-identical from run to run, from
// another working folder through -d, and through a file name with a folder.

void WaitForNextSecond() {
    const std::time_t start = std::time(nullptr);
    while (std::time(nullptr) == start) usleep(20000);
}

void CheckRepeatable(const std::string& data, const Names& files) {
    TempDir first;
    first.Write("data.txt", data);
    const RunResult r1 = Tavri(first.path(), {"data.txt"});
    ASSERT_EQ(r1.status, 0) << r1.output;
    const auto outputs = Outputs(first.path());
    Names names = files;
    names.push_back("data.txt");
    std::sort(names.begin(), names.end());
    ASSERT_EQ(first.FileNames(), names);

    // Again in the same folder, in another second of the clock.
    WaitForNextSecond();
    const RunResult r2 = Tavri(first.path(), {"data.txt"});
    EXPECT_EQ(r2.status, 0);
    EXPECT_EQ(r2.output, r1.output);
    EXPECT_TRUE(Outputs(first.path()) == outputs) << "second run differs";

    // From another working folder with -d.
    TempDir second;
    fs::create_directories(second.Path("in"));
    fs::create_directories(second.Path("work"));
    WriteFile(second.Path("in/data.txt"), data);
    const RunResult r3 = Tavri(second.Path("work"), {"data.txt", "-d", "../in/"});
    EXPECT_EQ(r3.status, 0);
    EXPECT_EQ(r3.output, Echo("data.txt", "../in/") + r1.output);
    EXPECT_TRUE(Outputs(second.Path("in")) == outputs) << "run with -d differs";
    EXPECT_TRUE(fs::is_empty(second.Path("work")));

    // Through a file name with a folder part, replacing the files of run 3.
    const RunResult r4 = Tavri(second.path(), {"in/data.txt"});
    EXPECT_EQ(r4.status, 0);
    EXPECT_EQ(r4.output, r1.output);
    EXPECT_TRUE(Outputs(second.Path("in")) == outputs) << "run with a folder in the name differs";
}

TEST(Determinism, PlainRunsAreRepeatable) {
    CheckRepeatable(IntTable(600, 3, 1000, 3), {"CTavri-data.txt", "normdata.txt"});
}

TEST(Determinism, SampledRunsAreRepeatable) {
    CheckRepeatable(IntTable(6000, 2, 30, 4),
                    {"CTavri-data.txt", "LTavri-data.txt", "S_normdata.txt", "normdata.txt"});
}

}  // namespace

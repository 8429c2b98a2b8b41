// The command line of tavri as a person meets it, by theme: the explanations
// of option words (OptionNotes), of files that cannot be read (ReadingNotes),
// the row cap (RowCap), the layouts that --sep and --header read (Layouts),
// malformed long options (LongOptions), and the help, version and man page
// (Help), the progress line (Progress). Standard output must keep its lines
// byte for byte; every explanation
// is one "tavri: " line on standard error, after the lines it explains.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "test_support.h"

namespace fs = std::filesystem;
using test_support::kNine;
using test_support::Lines;
using test_support::ReadFile;
using test_support::RunResult;
using test_support::TempDir;

namespace {

constexpr auto npos = std::string::npos;
using Files = std::map<std::string, std::string>;

// What a run of the nine points prints once the file is read.
const char kNineRun[] =
    "DATA LOADED=9 patterns, 1 dimensions\nn_cluster phase 1=3 (9)\n"
    "Tavri(without sampling) (2 clusters,no noise) ...\n";

// The echo of the settings, as printed when words follow the file name.
std::string Echo(const std::string& file, const std::string& path, bool sampling, const std::string& u,
                 bool finish = false) {
    return "Data:  " + file + "," + (path.empty() ? "" : " Path:  " + path + ",") +
           (sampling ? " Sampling is active if required\n" : "") + " u=" + u + "\n" +
           (finish ? "Tavri is completed to have no noise\n" : "");
}
std::string Echo(const std::string& file) { return Echo(file, "", true, "0.040000"); }

std::string Note(const std::string& text) { return "tavri: " + text + "\n"; }

// A run refused before its file is measured, and why.
std::string Refused(const std::string& path, const std::string& why) {
    return "Unable to open file:  " + path + "\n" + Note(why) + "Tavri error\n";
}
std::string Refused(const std::string& why) { return Refused("data.txt", why); }

// The lines of a transcript that are explanations, or the others.
std::string Part(const std::string& transcript, bool notes) {
    std::string part;
    std::size_t start = 0;
    while (start < transcript.size()) {
        std::size_t end = transcript.find('\n', start);
        end = end == npos ? transcript.size() : end + 1;
        const std::string line = transcript.substr(start, end - start);
        if ((line.rfind("tavri: ", 0) == 0) == notes) part += line;
        start = end;
    }
    return part;
}

RunResult Tavri(const std::vector<std::string>& args, const std::string& cwd) {
    return test_support::RunCapturing(TAVRI_EXE, args, cwd);
}

// Runs tavri twice: its standard output must be the transcript's plain lines
// and its standard error the "tavri: " lines; both streams into one pipe must
// give the transcript itself, so each explanation comes after what it explains.
void ExpectTranscript(const std::vector<std::string>& args, const std::string& cwd, int status,
                      const std::string& transcript) {
    SCOPED_TRACE(testing::PrintToString(args));
    const RunResult r = Tavri(args, cwd);
    EXPECT_EQ(r.status, status);
    EXPECT_EQ(r.output, Part(transcript, false));
    EXPECT_EQ(r.errors, Part(transcript, true));
    EXPECT_EQ(test_support::detail::RunShell(TAVRI_EXE, args, cwd, "2>&1").output, transcript);
}

// Every output file of a folder (name -> content), the inputs left out.
Files Outputs(const std::string& folder, const std::set<std::string>& inputs) {
    Files outputs;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (inputs.count(name) == 0)
            outputs[name] = entry.is_directory() ? "<folder>" : ReadFile(entry.path().string());
    }
    return outputs;
}

}  // namespace

// ---- Option words ------------------------------------------------------------------
//
// Each surprising option word gets its explanation after the echo and before
// the run's own lines; the echo stays as it is without the explanations, and
// --quiet leaves standard output exactly so with nothing on standard error.

struct OptionCase {
    std::vector<std::string> args;  // after the file name
    std::string transcript;
    int status = 0;
};

std::vector<OptionCase> OptionCases() {
    return {
        // Unknown words.
        {{"--u", "0.2"},
         Echo("data.txt") + Note("unknown option '--u' was skipped (did you mean -u?)") +
             Note("unknown option '0.2' was skipped: it follows no option") + kNineRun},
        {{"0.3", "-u", "0.2"},
         Echo("data.txt", "", true, "0.200000") + Note("unknown option '0.3' was skipped: it follows no option") +
             kNineRun},
        {{"-x"}, Echo("data.txt") + Note("unknown option '-x' was skipped (see tavri --help)") + kNineRun},
        // An option without its value.
        {{"-u"}, Echo("data.txt") + Note("-u has no value and was ignored") + kNineRun},
        {{"-s", "0", "-d"},
         Echo("data.txt", "", false, "0.040000") + Note("-d has no value and was ignored") + kNineRun},
        // Values that are not numbers, and the value used instead.
        {{"-u", "0,2"},
         Echo("data.txt", "", true, "0.000000") +
             Note("-u 0,2 is not a number; u = 0 was used (write the decimal point as '.')") + kNineRun},
        {{"-u", "abc"},
         Echo("data.txt", "", true, "0.000000") + Note("-u abc is not a number; u = 0 was used") + kNineRun},
        {{"-f", "1.9"},
         Echo("data.txt", "", true, "0.040000", true) + Note("-f 1.9 is not a whole number; 1 was used") + kNineRun},
        {{"-s", "abc"},
         Echo("data.txt", "", false, "0.040000") + Note("-s abc is not a whole number; 0 was used") + kNineRun},
        // -f and -s other than 0 or 1.
        {{"-f", "2"}, Echo("data.txt") + Note("-f 2 attaches the noise as -f 1 does (use 0 or 1)") + kNineRun},
        {{"-s", "2"},
         Echo("data.txt", "", false, "0.040000") + Note("-s 2 turns sampling off: only 1 turns it on (use 0 or 1)") +
             kNineRun},
        {{"-s", "-1"},
         Echo("data.txt", "", false, "0.040000") + Note("-s -1 turns sampling off: only 1 turns it on (use 0 or 1)") +
             kNineRun},
        // -d naming a folder without its '/': the command probably meant.
        {{"-d", "out", "-u", "0.2"},
         Echo("data.txt", "out", true, "0.200000") +
             Note("-d out names a folder, but its text is put in front of the file names as it is (outdata.txt); "
                  "did you mean: tavri data.txt -d out/ -u 0.2") +
             Refused("outdata.txt", "cannot open outdata.txt: " + std::string(std::strerror(ENOENT))),
         1},
        // The folder's name needs quoting in the command to be usable.
        {{"-d", "my out"},
         Echo("data.txt", "my out", true, "0.040000") +
             Note("-d my out names a folder, but its text is put in front of the file names as it is "
                  "(my outdata.txt); did you mean: tavri data.txt -d 'my out/'") +
             Refused("my outdata.txt", "cannot open my outdata.txt: " + std::string(std::strerror(ENOENT))),
         1},
        // Glued values.
        {{"-u0.3"},
         Echo("data.txt") +
             Note("'-u0.3' is read as -u, whose value is the next word: only the first two characters of an option "
                  "count (write -u 0.3)") +
             Note("-u has no value and was ignored") + kNineRun},
        {{"-u0.3", "-f", "1"},
         Echo("data.txt", "", true, "0.000000", true) +
             Note("'-u0.3' is read as -u, whose value is the next word: only the first two characters of an option "
                  "count (write -u 0.3)") +
             Note("-u -f is not a number; u = 0 was used") +
             Note("'-f' is the value of -u and is read as an option too: give -u a value of its own") + kNineRun},
        // A word that is both a value and an option.
        {{"-d", "-s", "0"},
         Echo("data.txt", "-s", false, "0.040000") +
             Note("'-s' is the value of -d and is read as an option too: give -d a value of its own") +
             Refused("-sdata.txt", "cannot open -sdata.txt: " + std::string(std::strerror(ENOENT))),
         1},
        // Well-formed options, a directory with its '/' and a prefix that is
        // not a folder draw no explanation.
        {{"-u", "1e-3", "-f", "0", "-s", "1", "-d", "out/"}, Echo("data.txt", "out/", true, "0.001000") + kNineRun},
        {{"-d", "run1_", "-f", "1"}, Echo("data.txt", "run1_", true, "0.040000", true) + kNineRun},
    };
}

void WriteOptionFolder(const TempDir& dir) {
    dir.Write("data.txt", kNine);
    fs::create_directory(dir / "out");
    fs::create_directory(dir / "my out");
    dir.Write("out/data.txt", kNine);
    dir.Write("run1_data.txt", kNine);
}

TEST(OptionNotes, EachSurprisingWordIsExplainedAfterTheEcho) {
    for (const OptionCase& c : OptionCases()) {
        TempDir dir;
        WriteOptionFolder(dir);
        std::vector<std::string> args = {"data.txt"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ExpectTranscript(args, dir.path(), c.status, c.transcript);
    }
}

TEST(OptionNotes, QuietKeepsStandardOutputAndSaysNothing) {
    for (const OptionCase& c : OptionCases()) {
        TempDir dir;
        WriteOptionFolder(dir);
        std::vector<std::string> args = {"data.txt", "--quiet"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ExpectTranscript(args, dir.path(), c.status, Part(c.transcript, false));
    }
}

// An option word holding a line break is still explained on one line.
TEST(OptionNotes, AnExplanationIsOneLineWhateverTheWord) {
    TempDir dir;
    WriteOptionFolder(dir);
    ExpectTranscript({"data.txt", "a\nb", "-u", "x\ty"}, dir.path(), 0,
                     Echo("data.txt", "", true, "0.000000") +
                         Note("unknown option 'a?b' was skipped: it follows no option") +
                         Note("-u x?y is not a number; u = 0 was used") + kNineRun);
}

// ---- Reading -----------------------------------------------------------------------
//
// Why a file was refused, where, and what to do; what a blank line cut off.

struct FileCase {
    std::string content;
    std::vector<std::string> options;  // after the file name
    std::string transcript;
    int status = 1;
};

void ExpectFileCases(const std::vector<FileCase>& cases) {
    for (const FileCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.content));
        TempDir dir;
        dir.Write("data.txt", c.content);
        std::vector<std::string> args = {"data.txt"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        ExpectTranscript(args, dir.path(), c.status, c.transcript);
        // --quiet: the same standard output, nothing else.
        args.push_back("--quiet");
        const RunResult quiet = Tavri(args, dir.path());
        EXPECT_EQ(quiet.status, c.status);
        EXPECT_EQ(quiet.output, (c.options.empty() ? Echo("data.txt") : "") + Part(c.transcript, false));
        EXPECT_EQ(quiet.errors, "");
    }
}

// Lines whose column counts differ: the hint fits what the lines hold.
TEST(ReadingNotes, DifferingColumnCountsSayWhichLinesAndWhy) {
    ExpectFileCases({
        {"x y\n1 2\n3 4\n", {},
         Refused("line 2 holds 2 columns but line 1 holds 0; line 1 holds words: a header? try --header")},
        {"1, 2\n3,4\n", {},
         Refused("line 2 holds 1 column but line 1 holds 2; the file holds commas: try --sep ,")},
        {"1; 2\n3;4\n", {},
         Refused("line 2 holds 1 column but line 1 holds 2; the file holds semicolons: try --sep ';'")},
        {"1 2\n# the second group\n3 4\n", {},
         Refused("line 2 holds 0 columns but line 1 holds 2; line 2 is a comment: remove it")},
        {"# 2 columns\n1 2\n3 4\n", {},
         Refused("line 2 holds 2 columns but line 1 holds 0; line 1 is a comment: remove it")},
        {"1 2\n3 4\n5\n", {}, Refused("line 3 holds 1 column but line 1 holds 2; a cell is missing?")},
        {"1 2\n3 4 5\n", {}, Refused("line 2 holds 3 columns but line 1 holds 2; a column too many?")},
        {"1 2\n3 NA\n", {}, Refused("line 2 holds 1 column but line 1 holds 2; line 2 holds words")},
        // A header and commas: both hints at once, so one retry reads it.
        {"x,y\n1,2\n", {},
         Refused("line 2 holds 1 column but line 1 holds 0; line 1 holds words: a header? try --header; "
                 "the file holds commas: try --sep ,")},
        // --header: the numbers still count the header line.
        {"x y\n1 2\n3\n", {"--header"},
         Echo("data.txt") + Refused("line 3 holds 1 column but line 2 holds 2; a cell is missing?")},
        // --sep: a line with a field less.
        {"1,2,3\n4,5\n", {"--sep", ","},
         Echo("data.txt") + Refused("line 2 holds 2 columns but line 1 holds 3; a cell is missing?")},
    });
}

// A field that is not a number: its line, its column and the token as written,
// cut short when long and with control bytes masked.
TEST(ReadingNotes, MalformedNumbersAreShownWhereTheyAre) {
    const std::string forty = std::string(39, '1') + "x";
    const std::string longer = std::string(40, '2') + "x";
    auto unreadable = [](int rows, int cols, int line, const std::string& why) {
        return "DATA LOADED=" + std::to_string(rows) + " patterns, " + std::to_string(cols) +
               " dimensions\nUnable to read file:  data.txt, line " + std::to_string(line) + "\n" + Note(why) +
               "Tavri error\n";
    };
    ExpectFileCases({
        {"1 2\n3 4x\n5 6\n", {}, unreadable(3, 2, 2, "line 2, column 2: '4x' is not a number")},
        {"1 2\n3 1.5.5\n", {}, unreadable(2, 2, 2, "line 2, column 2: '1.5.5' is not a number")},
        {"1 2\n" + forty + " 4\n", {}, unreadable(2, 2, 2, "line 2, column 1: '" + forty + "' is not a number")},
        {"1 2\n3 " + longer + "\n", {},
         unreadable(2, 2, 2, "line 2, column 2: '" + longer.substr(0, 40) + "...' is not a number")},
        {"1 2\n3 4\x01\n", {}, unreadable(2, 2, 2, "line 2, column 2: '4?' is not a number")},
        // Without --sep a comma file has one column a line, as it always had.
        {"1,2\n3,4\n", {},
         unreadable(2, 1, 1, "line 1, column 1: '1,2' is not a number; the file holds commas: try --sep ,")},
        {"x y\n1 2\n3 4x\n", {"--header"},
         Echo("data.txt") + unreadable(2, 2, 3, "line 3, column 2: '4x' is not a number")},
        // With --sep: an empty cell, one missing at the end, a decimal comma.
        {"1,2,3\n4,,6\n", {"--sep", ","},
         Echo("data.txt") + unreadable(2, 3, 2, "line 2, column 2 is empty: a cell is missing")},
        {"1,2,3\n4,5,\n", {"--sep", ","},
         Echo("data.txt") + unreadable(2, 3, 2, "line 2, column 3 is empty: a cell is missing")},
        {"x;y\n0,5;1\n", {"--sep", ";", "--header"},
         Echo("data.txt") +
             unreadable(1, 2, 2, "line 2, column 1: '0,5' is not a number (write the decimal point as '.')")},
    });
}

// The data end at the first blank line: the lines it cut off are counted,
// blank ones aside. A file without a data line says what its first line is.
TEST(ReadingNotes, BlankLinesAndFilesWithoutData) {
    const std::string two_rows = "DATA LOADED=2 patterns, 2 dimensions\n";
    const std::string run = "n_cluster phase 1=2 (2)\nTavri(without sampling) (2 clusters,no noise) ...\n";
    ExpectFileCases({
        {"1 2\n3 4\n\n5 6\n7 8\n", {},
         two_rows +
             Note("line 3 is blank, so the data end there; 2 lines after it holding something were not read "
                  "(remove the blank line to read them)") +
             run,
         0},
        {"1 2\n3 4\n  \n\n5 6\n\n", {},
         two_rows +
             Note("line 3 is blank, so the data end there; 1 line after it holding something was not read "
                  "(remove the blank line to read them)") +
             run,
         0},
        {"1 2\n3 4\n\n\n \t\n", {}, two_rows + run, 0},
        {"\n1 2\n", {},
         "DATA LOADED=0 patterns, 0 dimensions\n" +
             Note("line 1 is blank, so the data end there; 1 line after it holding something was not read "
                  "(remove the blank line to read them)") +
             "Data file empty:  data.txt\n" + Note("data.txt holds no data line before the blank line 1") +
             "Tavri error\n"},
        {"", {},
         "DATA LOADED=0 patterns, 0 dimensions\nData file empty:  data.txt\n" + Note("data.txt holds no data line") +
             "Tavri error\n"},
        {"# only a comment\n", {},
         "DATA LOADED=1 patterns, 0 dimensions\nData file empty:  data.txt\n" +
             Note("line 1 holds no number: it is a comment (remove it)") + "Tavri error\n"},
        {"x y\n", {},
         "DATA LOADED=1 patterns, 0 dimensions\nData file empty:  data.txt\n" +
             Note("line 1 holds no number: a header? try --header") + "Tavri error\n"},
    });
}

// A file that cannot be opened or read: the system's reason, on one line.
TEST(ReadingNotes, AFileThatCannotBeOpenedGivesTheSystemsReason) {
    TempDir dir;
    fs::create_directory(dir / "folder");
    ExpectTranscript({"missing.txt"}, dir.path(), 1,
                     "Unable to open file:  missing.txt\n" +
                         Note("cannot open missing.txt: " + std::string(std::strerror(ENOENT))) + "Tavri error\n");
    ExpectTranscript({"folder"}, dir.path(), 1,
                     "Unable to open file:  folder\n" +
                         Note("cannot read folder: " + std::string(std::strerror(EISDIR))) + "Tavri error\n");
    ExpectTranscript({"no\nsuch.txt"}, dir.path(), 1,
                     "Unable to open file:  no\nsuch.txt\n" +
                         Note("cannot open no?such.txt: " + std::string(std::strerror(ENOENT))) + "Tavri error\n");
}

// ---- The row cap -------------------------------------------------------------------
//
// 100000 rows are read by default; --max-rows N changes the cap, 0 lifts it.
// A capped run is the run of the file's first rows.

std::string Rows(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += std::to_string(i % 5000) + " " + std::to_string((i * 7) % 311) + "\n";
    return text;
}

TEST(RowCap, RowsBeyondTheCapAreReportedAndReadOnRequest) {
    TempDir capped, full, all, exact;
    capped.Write("data.txt", Rows(100001));
    all.Write("data.txt", Rows(100001));
    full.Write("data.txt", Rows(100000));
    exact.Write("data.txt", Rows(100000));

    // Default cap: the run is that of the first 100000 rows, plus the note.
    const RunResult first = Tavri({"data.txt"}, full.path());
    ASSERT_EQ(first.status, 0);
    EXPECT_EQ(first.errors, "");
    ASSERT_EQ(first.output.rfind("DATA LOADED=100000 patterns, 2 dimensions\nN_instance = ", 0), 0u) << first.output;
    const std::string after_loaded = first.output.substr(first.output.find('\n') + 1);
    ExpectTranscript({"data.txt"}, capped.path(), 0,
                     "DATA LOADED=100001 patterns, 2 dimensions\n" +
                         Note("read the first 100000 of 100001 rows; the other 1 was ignored "
                              "(--max-rows 0 reads them all)") +
                         after_loaded);
    EXPECT_EQ(Outputs(capped.path(), {"data.txt"}), Outputs(full.path(), {"data.txt"}));

    // --max-rows 0 reads every row.
    const RunResult every = Tavri({"data.txt", "--max-rows", "0"}, all.path());
    EXPECT_EQ(every.status, 0);
    EXPECT_EQ(every.errors, "");
    EXPECT_EQ(every.output.rfind(Echo("data.txt") + "DATA LOADED=100001 patterns, 2 dimensions\nN_instance = ", 0), 0u)
        << every.output;
    EXPECT_EQ(Lines(ReadFile(all / "normdata.txt")).size(), 100001u);
    EXPECT_EQ(Lines(ReadFile(all / "LTavri-data.txt")).size(), 100001u);

    // On a file within the cap, --max-rows 0 changes nothing but the echo.
    const RunResult same = Tavri({"data.txt", "--max-rows", "0"}, exact.path());
    EXPECT_EQ(same.status, 0);
    EXPECT_EQ(same.errors, "");
    EXPECT_EQ(same.output, Echo("data.txt") + first.output);
    EXPECT_EQ(Outputs(exact.path(), {"data.txt"}), Outputs(full.path(), {"data.txt"}));
}

// A smaller cap: the run is that of the first rows, and the note says what
// was left out, in the singular and in the plural.
TEST(RowCap, ASmallerCapSaysWhatWasLeftOut) {
    const std::string nine = kNine;
    for (const int cap : {8, 3}) {
        SCOPED_TRACE(cap);
        TempDir first, dir;
        std::string head;
        for (std::size_t at = 0, line = 0; line < static_cast<std::size_t>(cap); ++line) {
            const std::size_t end = nine.find('\n', at) + 1;
            head += nine.substr(at, end - at);
            at = end;
        }
        first.Write("data.txt", head);
        const RunResult alone = Tavri({"data.txt"}, first.path());
        ASSERT_EQ(alone.status, 0);
        const std::string loaded = "DATA LOADED=" + std::to_string(cap) + " patterns, 1 dimensions\n";
        ASSERT_EQ(alone.output.rfind(loaded, 0), 0u) << alone.output;
        const std::string left = cap == 8 ? "the other 1 was ignored" : "the other 6 were ignored";
        dir.Write("data.txt", kNine);
        // Both spellings of the option.
        const std::vector<std::string> args = cap == 8 ? std::vector<std::string>{"data.txt", "--max-rows", "8"}
                                                       : std::vector<std::string>{"data.txt", "--max-rows=3"};
        ExpectTranscript(args, dir.path(), 0,
                         Echo("data.txt") + "DATA LOADED=9 patterns, 1 dimensions\n" +
                             Note("read the first " + std::to_string(cap) + " of 9 rows; " + left +
                                  " (--max-rows 0 reads them all)") +
                             alone.output.substr(loaded.size()));
        EXPECT_EQ(Outputs(dir.path(), {"data.txt"}), Outputs(first.path(), {"data.txt"}));
    }
}

// ---- Layouts -----------------------------------------------------------------------
//
// The same numbers written as a CSV (with --sep, --header, quotes, CRLF, a
// byte order mark) give the outputs of the plain whitespace file.

const std::vector<std::vector<std::string>> kTable = {
    {"0.5", "1.25"}, {"1", "1"},     {"0.75", "1.5"},  {"10", "10.5"},   {"10.25", "11"}, {"11", "10"},
    {"-3", "20"},    {"-2.5", "21"}, {"-3.5", "20.5"}, {"30", "-4"},     {"1e1", "11.5"}, {"0.25", "0.5"},
};

std::string Join(const std::string& separator, const std::string& line_end, const std::string& quote = "") {
    std::string text;
    for (const auto& row : kTable) {
        for (std::size_t j = 0; j < row.size(); ++j) text += (j > 0 ? separator : "") + quote + row[j] + quote;
        text += line_end;
    }
    return text;
}

TEST(Layouts, EachLayoutReadsAsThePlainFileWithItsOptions) {
    TempDir plain;
    plain.Write("data.txt", Join(" ", "\n"));
    const RunResult reference = Tavri({"data.txt"}, plain.path());
    ASSERT_EQ(reference.status, 0) << reference.output << reference.errors;
    ASSERT_EQ(reference.output.rfind("DATA LOADED=12 patterns, 2 dimensions\n", 0), 0u) << reference.output;
    const Files expected = Outputs(plain.path(), {"data.txt"});
    ASSERT_EQ(expected.size(), 4u);

    const std::string bom = "\xEF\xBB\xBF";
    const std::vector<std::pair<std::string, std::vector<std::string>>> layouts = {
        {Join(",", "\n"), {"--sep", ","}},
        {Join(",", "\n"), {"--sep=,"}},
        {Join(";", "\n"), {"--sep", ";"}},
        {Join("\t", "\n"), {"--sep", "tab"}},
        {Join("\t", "\n"), {"--sep", "\t"}},
        {"x y\n" + Join(" ", "\n"), {"--header"}},
        {Join(",", "\n", "\""), {"--sep", ","}},
        // As pandas' to_csv(index=False) writes it, with LF or CRLF.
        {"x,y\n" + Join(",", "\n"), {"--sep", ",", "--header"}},
        {"x,y\r\n" + Join(",", "\r\n"), {"--sep", ",", "--header"}},
        // As a spreadsheet exports it: a byte order mark, semicolons, CRLF.
        {bom + "x;y\r\n" + Join(";", "\r\n"), {"--header", "--sep", ";"}},
    };
    for (const auto& [content, options] : layouts) {
        SCOPED_TRACE(testing::PrintToString(content));
        TempDir dir;
        dir.Write("data.txt", content);
        std::vector<std::string> args = {"data.txt"};
        args.insert(args.end(), options.begin(), options.end());
        const RunResult r = Tavri(args, dir.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.output, Echo("data.txt") + reference.output);
        EXPECT_EQ(r.errors, "");
        EXPECT_EQ(Outputs(dir.path(), {"data.txt"}), expected);
    }
}

// Without the options, these files are refused as they always were, with the
// options that would read them.
TEST(Layouts, WithoutTheOptionsReadingIsAsBefore) {
    ExpectFileCases({
        {Join(",", "\n"), {},
         "DATA LOADED=12 patterns, 1 dimensions\nUnable to read file:  data.txt, line 1\n" +
             Note("line 1, column 1: '0.5,1.25' is not a number; the file holds commas: try --sep ,") +
             "Tavri error\n"},
        {"x,y\r\n" + Join(",", "\r\n"), {},
         Refused("line 2 holds 1 column but line 1 holds 0; line 1 holds words: a header? try --header; "
                 "the file holds commas: try --sep ,")},
        {"\xEF\xBB\xBFx;y\r\n" + Join(";", "\r\n"), {},
         Refused("line 2 holds 1 column but line 1 holds 0; line 1 holds words: a header? try --header; "
                 "the file holds semicolons: try --sep ';'")},
        {Join(",", "\n", "\""), {},
         "DATA LOADED=12 patterns, 0 dimensions\nData file empty:  data.txt\n" +
             Note("line 1 holds no number: quoted numbers are read with --sep") + "Tavri error\n"},
    });
}

// ---- Long options ------------------------------------------------------------------
//
// A malformed long option stops the run before anything: one line, exit 1.

TEST(LongOptions, AMalformedValueStopsTheRunWithOneLine) {
    TempDir dir;
    dir.Write("data.txt", kNine);
    const std::string rows = "tavri: --max-rows needs a whole number of rows (0: every row), not '";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--max-rows", "x"}, rows + "x' (see tavri --help)\n"},
        {{"--max-rows", "-1"}, rows + "-1' (see tavri --help)\n"},
        {{"--max-rows", "1.5"}, rows + "1.5' (see tavri --help)\n"},
        {{"--max-rows="}, rows + "' (see tavri --help)\n"},
        {{"--sep", ":"}, "tavri: --sep takes ',', ';' or tab, not ':' (see tavri --help)\n"},
        {{"--sep", ",,"}, "tavri: --sep takes ',', ';' or tab, not ',,' (see tavri --help)\n"},
        {{"-u", "0.2", "--sep"}, "tavri: --sep needs a value (see tavri --help)\n"},
        {{"--max-rows"}, "tavri: --max-rows needs a value (see tavri --help)\n"},
        {{"--sep", "a\nb"}, "tavri: --sep takes ',', ';' or tab, not 'a?b' (see tavri --help)\n"},
        // --quiet does not hide why the run did not start.
        {{"--quiet", "--sep", ":"}, "tavri: --sep takes ',', ';' or tab, not ':' (see tavri --help)\n"},
    };
    for (const auto& [options, error] : cases) {
        std::vector<std::string> args = {"data.txt"};
        args.insert(args.end(), options.begin(), options.end());
        ExpectTranscript(args, dir.path(), 1, error);
    }
    EXPECT_EQ(Outputs(dir.path(), {"data.txt"}), Files());
}

// ---- Help, usage, version and the man page ----------------------------------------

// The full help on standard error, standard output empty, the same for -h;
// nothing is written.
TEST(Help, HelpGoesToStandardErrorAndTellsEverything) {
    TempDir dir;
    const RunResult help = Tavri({"--help"}, dir.path());
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.output, "");
    for (const char* said : {"-u U", "-f F", "-d DIR", "-s S", "--max-rows N", "--sep C", "--header", "--quiet",
                             "-h, --help", "--version", "normFILE", "S_normFILE", "CTavri-FILE", "LTavri-FILE",
                             "RTavri-FILE", "Exit status:", "default 100000", "Examples:"})
        EXPECT_NE(help.errors.find(said), npos) << said << "\n" << help.errors;
    const RunResult h = Tavri({"-h"}, dir.path());
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.output, "");
    EXPECT_EQ(h.errors, help.errors);
    EXPECT_EQ(dir.FileNames(), std::vector<std::string>());
}

// The examples of the help run as they are written.
TEST(Help, TheExamplesRun) {
    TempDir dir;
    const std::string help = Tavri({"--help"}, dir.path()).errors;
    const std::string blobs = ReadFile(std::string(TAVRI_SOURCE_DIR) + "/examples/blobs.txt");
    ASSERT_FALSE(blobs.empty());
    dir.Write("blobs.txt", blobs);
    std::string csv = "x,y\r\n";
    for (const std::string& line : Lines(blobs)) csv += std::regex_replace(line, std::regex("[ \t]+"), ",") + "\r\n";
    dir.Write("data.csv", csv);
    int examples = 0;
    const std::string lead = std::string("  ") + TAVRI_EXE + " ";
    for (const std::string& line : Lines(help.substr(help.find("Examples:")))) {
        if (line.rfind(lead, 0) != 0) continue;
        ++examples;
        std::vector<std::string> args;
        std::istringstream words(line.substr(lead.size()));
        for (std::string word; words >> word;) args.push_back(word);
        const RunResult r = Tavri(args, dir.path());
        EXPECT_EQ(r.status, 0) << line << "\n" << r.output << r.errors;
        EXPECT_EQ(r.errors, "") << line;
        EXPECT_NE(r.output.find("DATA LOADED=375 patterns, 2 dimensions\n"), npos) << line << "\n" << r.output;
    }
    EXPECT_EQ(examples, 2);
}

TEST(Help, UsageWithoutArgumentsAndVersion) {
    TempDir dir;
    const RunResult usage = Tavri({}, dir.path());
    EXPECT_EQ(usage.status, 1);
    EXPECT_EQ(usage.output,
              "\nThe program " + std::string(TAVRI_EXE) +
                  " needs 1 argument: \n\t* the file name;\nOptions: \n\t* -u the u parameter (default:  0.04)"
                  "\n\t* -f the finish parameter (default:  0), when 1 noise points are assigned a cluster label"
                  "\n\t* -d directory for input and output data (default: current)\n\t* -s sampling as a "
                  "preprocessing step (default: 1, sampling is done when data size is higher than "
                  "MAX_PROTOTYPE=4000)\n");
    EXPECT_EQ(usage.errors, "");
    const RunResult version = Tavri({"--version"}, dir.path());
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output, "tavri 1.0.0\n");
    EXPECT_EQ(version.errors, "");
}

// The help and the man page tell of the same options and show the same examples.
TEST(Help, HelpAndManPageAgree) {
    TempDir dir;
    const std::string help = Tavri({"--help"}, dir.path()).errors;
    const std::string page = ReadFile(std::string(TAVRI_SOURCE_DIR) + "/docs/tavri.1");
    const std::string man = std::regex_replace(page, std::regex(R"(\\-)"), "-");
    const std::set<std::string> options = test_support::OptionsOf(help, false);
    EXPECT_EQ(options, (std::set<std::string>{"-u", "-f", "-d", "-s", "--max-rows", "--sep", "--header", "--quiet",
                                              "-h", "--help", "--version"}));
    EXPECT_EQ(test_support::OptionsOf(page, true), options);
    std::size_t examples = 0;
    const std::string lead = std::string("  ") + TAVRI_EXE + " ";
    for (const std::string& line : Lines(help.substr(help.find("Examples:")))) {
        if (line.rfind(lead, 0) != 0) continue;
        ++examples;
        EXPECT_NE(man.find("tavri " + line.substr(lead.size())), npos) << line;
    }
    EXPECT_EQ(examples, 2u);
    for (const char* said : {"norm", "S_norm", "CTavri-", "LTavri-", "RTavri-", "100000", "EXIT STATUS",
                             "standard error", "tavri: "})
        EXPECT_NE(man.find(said), npos) << said;
}

namespace {

// Runs tavri with its standard error on a pseudo-terminal and its standard
// output on a pipe, reading `fifo` (made here) that a writer fills with
// `first`, then after `pause` with `rest`. Returns what the terminal showed
// and the standard output.
struct TerminalRun {
    std::string terminal, output;
    int status = -1;
};
TerminalRun RunOnTerminal(const TempDir& dir, const std::vector<std::string>& words, const std::string& first,
                          const std::string& rest, std::chrono::milliseconds pause) {
    const std::string fifo = dir / "data.txt";
    if (mkfifo(fifo.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        if (chdir(dir.path().c_str()) != 0) _exit(126);
        std::vector<char*> argv = {const_cast<char*>(TAVRI_EXE)};
        for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
        argv.push_back(nullptr);
        execv(TAVRI_EXE, argv.data());
        _exit(127);
    }
    close(out[1]);
    std::thread writer([&] {
        const int fd = open(fifo.c_str(), O_WRONLY);
        if (fd < 0) return;
        test_support::WriteAll(fd, first);
        std::this_thread::sleep_for(pause);
        test_support::WriteAll(fd, rest);
        close(fd);
    });
    TerminalRun run;
    std::thread reader([&] { run.output = test_support::ReadAll(out[0]); });
    run.terminal = test_support::ReadAll(terminal);  // until the child's end closes the terminal
    writer.join();
    reader.join();
    close(out[0]);
    close(terminal);
    int status = 0;
    waitpid(child, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace

// A run of more than about a second shows one progress line on a terminal,
// updated in place and cleared at the end; quiet, or off a terminal, it shows
// nothing, and standard output is the same either way. The data arrive
// through a FIFO whose writer pauses, so that the reading takes its time.
TEST(Progress, OneLineOnATerminalClearedAtTheEnd) {
    std::string first, rest;
    for (int i = 0; i < 3000; ++i) (i < 1500 ? first : rest) += std::to_string(i % 97) + " " + std::to_string(i % 13) + "\n";
    const std::string expected = "DATA LOADED=3000 patterns, 2 dimensions\n";
    TempDir shown;
    const TerminalRun run = RunOnTerminal(shown, {"data.txt"}, first, rest, std::chrono::milliseconds(1300));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output.substr(0, expected.size()), expected);
    EXPECT_NE(run.terminal.find("\rreading: "), npos) << testing::PrintToString(run.terminal);
    EXPECT_EQ(run.terminal.substr(run.terminal.size() - 4), "\r\x1b[K") << "the line is cleared at the end";
    EXPECT_EQ(run.terminal.find('\n'), npos) << "one line, updated in place";
    TempDir quiet;
    const TerminalRun silent =
        RunOnTerminal(quiet, {"data.txt", "--quiet"}, first, rest, std::chrono::milliseconds(1300));
    EXPECT_EQ(silent.terminal, "");
    EXPECT_EQ(silent.output, Echo("data.txt") + run.output);
    // A short run shows nothing even on a terminal.
    TempDir quick;
    EXPECT_EQ(RunOnTerminal(quick, {"data.txt"}, first, rest, std::chrono::milliseconds(0)).terminal, "");
}

// Past the cap on request: a sampled run of 200000 rows labels every one of
// them, and a row equal to a prototype carries that prototype's label.
TEST(RowCap, EveryRowOfALargeSampledRunHasItsLabel) {
    TempDir dir;
    test_support::SplitMix rng(21);
    std::string text;
    for (int i = 0; i < 200000; ++i) text += std::to_string(rng.Below(60)) + " " + std::to_string(rng.Below(60)) + "\n";
    dir.Write("data.txt", text);
    const RunResult r = Tavri({"data.txt", "--max-rows", "0"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.output;
    const auto labels = Lines(ReadFile(dir / "LTavri-data.txt")), norm = Lines(ReadFile(dir / "normdata.txt"));
    const auto prototypes = Lines(ReadFile(dir / "S_normdata.txt")), result = Lines(ReadFile(dir / "CTavri-data.txt"));
    ASSERT_EQ(labels.size(), 200000u);
    ASSERT_EQ(norm.size(), 200000u);
    const int lists = std::stoi(r.output.substr(r.output.rfind('(') + 1));
    std::map<std::string, std::string> label_of;  // prototype row text -> its label
    for (std::size_t j = 0; j < prototypes.size(); ++j) label_of[prototypes[j]] = result[j].substr(prototypes[j].size());
    for (std::size_t i = 0; i < labels.size(); ++i) {
        ASSERT_TRUE(!labels[i].empty() && std::stoi(labels[i]) >= 0 && std::stoi(labels[i]) < lists) << "row " << i;
        const auto found = label_of.find(norm[i]);
        ASSERT_TRUE(found == label_of.end() || found->second == labels[i]) << "row " << i;
    }
}

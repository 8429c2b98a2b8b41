// The tavri executable against hostile inputs and environments: too little
// memory, lines and files that never end, inputs that can be read only once,
// names at the length limits, signals in the middle of a run or ignored from
// its start, no /proc, permission bits, a byte order mark and more columns
// than are kept. Every run is a child process with a timeout; every failed
// run must leave the earlier outputs as they were and no temporary file.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <set>

#include "output_files.h"
#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define TAVRI_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVRI_TEST_ASAN 1
#endif
#endif

using namespace test_support;  // Run stays qualified: gtest's Test::Run hides it

namespace {

#ifdef TAVRI_TEST_ASAN
// The sanitizer reserves terabytes of address space and reads /proc at start.
constexpr bool kUnderSanitizer = true;
#else
constexpr bool kUnderSanitizer = false;
#endif

using Files = std::map<std::string, std::string>;

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = 1024 * kKiB;
const std::uint64_t kPage = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));

const std::vector<std::string> kOutputPrefixes = {"norm", "S_norm", "CTavri-", "LTavri-", "RTavri-"};

// Every entry of a folder, name -> content ("<folder>", "<fifo>", "<link>"
// for what is not a regular file): compared whole, it also catches stray
// temporary files.
Files Folder(const std::string& folder) {
    Files files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_symlink()) files[name] = "<link>";
        else if (entry.is_directory()) files[name] = "<folder>";
        else if (entry.is_fifo()) files[name] = "<fifo>";
        else files[name] = ReadFile(entry.path().string());
    }
    return files;
}

// The outputs of input `base` in `files`, under the names of input `as`.
Files Renamed(const Files& files, const std::string& base, const std::string& as) {
    Files renamed;
    for (const auto& [name, content] : files) {
        std::string to = name;
        for (const std::string& prefix : kOutputPrefixes)
            if (name == prefix + base) to = prefix + as;
        if (name == base) to = as;
        renamed[to] = content;
    }
    return renamed;
}

// Earlier outputs of input "data.txt", one line each naming itself.
Files EarlierOutputs(const std::string& base = "data.txt") {
    Files files;
    for (const std::string& prefix : kOutputPrefixes) files[prefix + base] = "earlier " + prefix + "\n";
    return files;
}

void WriteFiles(const std::string& folder, const Files& files) {
    for (const auto& [name, content] : files) WriteFile(folder + "/" + name, content);
}

// Empties a folder (short paths only).
void Clear(const std::string& folder) {
    for (const auto& entry : fs::directory_iterator(folder)) fs::remove_all(entry.path());
}

ChildOptions In(const std::string& cwd) {
    ChildOptions options;
    options.cwd = cwd;
    return options;
}

std::string Describe(const ChildResult& r) {
    return "status " + std::to_string(r.status) + ", signal " + std::to_string(r.signal) +
           (r.timed_out ? ", timed out" : "") + "\nstdout:\n" + r.out + "stderr:\n" + r.err.substr(0, 2000);
}

// Every line of standard error is an explanation of the tool.
bool AllNotes(const std::string& err) {
    for (const std::string& line : Lines(err))
        if (line.rfind("tavri: ", 0) != 0) return false;
    return err.empty() || err.back() == '\n';
}

bool WriteAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t got = write(fd, p, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

// A forked child that feeds an input: it opens `path` for writing (so a FIFO
// waits for its reader) or takes descriptor `fd`, runs `feed` on it and exits.
// A reader that stops early ends it through EPIPE; the destructor kills and
// reaps it whatever happened.
class Writer {
public:
    Writer(const std::string& path, int fd, const std::function<bool(int)>& feed) {
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            signal(SIGPIPE, SIG_IGN);
            const int out = fd >= 0 ? fd : open(path.c_str(), O_WRONLY);
            _exit(out >= 0 && feed(out) ? 0 : 1);
        }
    }
    ~Writer() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

private:
    pid_t pid_ = -1;
};

// Feeds `text` in pieces of growing size with short pauses, so that the
// reader gets it in reads of every size, even a byte at a time.
std::function<bool(int)> InPieces(const std::string& text) {
    return [text](int fd) {
        std::size_t at = 0;
        for (std::size_t piece = 1; at < text.size(); piece = piece * 3 + 1) {
            const std::size_t n = std::min(piece, text.size() - at);
            if (!WriteAll(fd, text.data() + at, n)) return false;
            at += n;
            if (piece < 100) usleep(2000);
        }
        return true;
    };
}

// `count` copies of `unit`, written through a 1 MiB buffer: hundreds of MB
// without holding them.
std::function<bool(int)> Repeated(const std::string& head, const std::string& unit, std::uint64_t count,
                                  const std::string& tail) {
    return [=](int fd) {
        std::string block;
        const std::uint64_t per_block = std::max<std::uint64_t>(1, kMiB / unit.size());
        for (std::uint64_t i = 0; i < per_block; ++i) block += unit;
        if (!WriteAll(fd, head.data(), head.size())) return false;
        for (std::uint64_t left = count; left > 0;) {
            const std::uint64_t n = std::min(left, per_block);
            if (!WriteAll(fd, block.data(), n * unit.size())) return false;
            left -= n;
        }
        return WriteAll(fd, tail.data(), tail.size());
    };
}

// Runs tavri on `base` in folder `dir`, the input fed through a FIFO of that name.
ChildResult RunOnFifo(const TempDir& dir, const std::string& base, const std::function<bool(int)>& feed,
                      std::vector<std::string> args = {}, std::uint64_t address_space = 0) {
    if (mkfifo(dir.Path(base).c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
    const Writer writer(dir.Path(base), -1, feed);
    args.insert(args.begin(), base);
    ChildOptions options = In(dir.path());
    options.address_space = address_space;
    return RunChild(TAVRI_EXE, args, options, 60);
}

// ---- Address-space limits ------------------------------------------------------------

std::uint64_t RoundToPage(std::uint64_t n) { return n / kPage * kPage; }

// The smallest limit, to `step`, at which `ok` holds, between `low` (where
// it must not) and `high` (where it must).
std::uint64_t Bisect(std::uint64_t low, std::uint64_t high, std::uint64_t step,
                     const std::function<bool(std::uint64_t)>& ok) {
    while (high - low > step) {
        const std::uint64_t mid = RoundToPage(low + (high - low) / 2);
        if (mid <= low || mid >= high) break;
        (ok(mid) ? high : low) = mid;
    }
    return high;
}

// The smallest address-space limit at which the executable starts at all:
// below it the dynamic loader cannot map the libraries.
std::uint64_t StartLimit() {
    static const std::uint64_t limit = [] {
        TempDir dir;
        auto starts = [&dir](std::uint64_t limit) {
            ChildOptions options = In(dir.path());
            options.address_space = limit;
            const ChildResult r = RunChild(TAVRI_EXE, {"--version"}, options, 30);
            return r.status == 0 && r.out.rfind("tavri ", 0) == 0;
        };
        const std::uint64_t low = kMiB, high = 256 * kMiB;
        if (starts(low) || !starts(high)) throw std::runtime_error("no start limit between 1 MiB and 256 MiB");
        return Bisect(low, high, kPage, starts);
    }();
    return limit;
}

std::string KiB(std::uint64_t bytes) { return std::to_string(bytes / kKiB) + " KiB"; }

// Runs `tavri data.txt` on `data` at address-space limits, each time over the
// outputs of an earlier run. At every limit the run succeeds with the outputs
// of a run without limit, or prints the lines of that run up to some point,
// then its memory message and "Tavri error", exits with 1 and leaves the
// folder as it was. Never a signal, never lost lines, never a temporary file.
class LimitedRuns {
public:
    explicit LimitedRuns(const std::string& data) : data_(data) {
        TempDir reference;
        reference.Write("data.txt", data);
        const ChildResult r = RunChild(TAVRI_EXE, {"data.txt"}, In(reference.path()), 60);
        if (r.status != 0) throw std::runtime_error("the run without limit fails: " + Describe(r));
        output_ = r.out;
        before_ = EarlierOutputs();
        before_["data.txt"] = data;
        // An output the run does not write (S_norm, unsampled) keeps its earlier content.
        complete_ = before_;
        for (const auto& [name, content] : Folder(reference.path())) complete_[name] = content;
    }

    // True when the run succeeded; checks either outcome.
    bool Succeeds(std::uint64_t limit) {
        Clear(dir_.path());
        WriteFiles(dir_.path(), before_);
        ChildOptions options = In(dir_.path());
        options.address_space = limit;
        const ChildResult r = RunChild(TAVRI_EXE, {"data.txt"}, options, 60);
        SCOPED_TRACE("limit " + KiB(limit));
        ++runs_;
        if (r.status == 0) {
            EXPECT_EQ(r.out, output_);
            EXPECT_TRUE(Folder(dir_.path()) == complete_) << "the outputs differ from a run without limit";
            return true;
        }
        EXPECT_TRUE(IsMemoryFailure(r.out)) << Describe(r);
        EXPECT_EQ(r.status, 1) << Describe(r);
        EXPECT_TRUE(AllNotes(r.err)) << r.err;
        EXPECT_TRUE(Folder(dir_.path()) == before_) << "a failed run changed the folder";
        return false;
    }

    int runs() const { return runs_; }

private:
    bool IsMemoryFailure(const std::string& out) const {
        for (const std::string message : {"Memory error\n", "Memory failure (data)\n"}) {
            const std::string end = message + "Tavri error\n";
            if (out.size() < end.size() || out.compare(out.size() - end.size(), end.size(), end) != 0) continue;
            // What came before is whole lines of the complete run, not its outcome line.
            const std::string before = out.substr(0, out.size() - end.size());
            if (before.size() < output_.size() && output_.compare(0, before.size(), before) == 0 &&
                (before.empty() || before.back() == '\n'))
                return true;
        }
        return false;
    }

    std::string data_;
    std::string output_;
    Files complete_, before_;
    TempDir dir_;
    int runs_ = 0;
};

// Finds where the runs of `data` start to succeed, then checks a spread of
// limits from the start limit up to past that point.
void SearchAndSpread(const std::string& what, const std::string& data) {
    LimitedRuns runs(data);
    const std::uint64_t start = StartLimit();
    const std::uint64_t high = 2048 * kMiB;
    ASSERT_TRUE(runs.Succeeds(high)) << "fails even at " << KiB(high);
    const std::uint64_t boundary = runs.Succeeds(start) ? start : Bisect(start, high, 128 * kKiB, [&](std::uint64_t l) {
        return runs.Succeeds(l);
    });
    std::set<std::uint64_t> limits;
    for (std::uint64_t step = kPage; step <= 2 * kMiB; step *= 2) limits.insert(start + step);
    for (int i = 1; i < 8; ++i) limits.insert(RoundToPage(start + (boundary - start) * i / 8));
    for (const std::uint64_t near : {kPage, 16 * kKiB, 64 * kKiB, 256 * kKiB, kMiB}) {
        if (boundary > start + near) limits.insert(boundary - near);
        limits.insert(boundary + near);
    }
    int successes = 0;
    for (const std::uint64_t limit : limits) successes += runs.Succeeds(limit);
    std::cout << "[ limits   ] " << what << ": starts at " << KiB(start) << ", succeeds from about " << KiB(boundary)
              << " (" << runs.runs() << " runs, " << successes << " of the spread succeeded)\n";
    EXPECT_GT(successes, 0);
    EXPECT_LT(successes, static_cast<int>(limits.size()));
}

}  // namespace

// From the smallest limit at which the program starts, page by page: the
// runtime, the reader's buffer and the first allocations each fail in turn.
// Here the nine-point run must succeed or say that memory ran out.
TEST(OutOfMemory, FromTheStartLimitPageByPage) {
    if (kUnderSanitizer) GTEST_SKIP() << "address-space limits do not apply under AddressSanitizer";
    LimitedRuns runs(kNine);
    const std::uint64_t start = StartLimit();
    int successes = 0;
    for (std::uint64_t limit = start; limit < start + 256 * kKiB; limit += kPage) successes += runs.Succeeds(limit);
    for (std::uint64_t limit = start + 256 * kKiB; limit <= start + 4 * kMiB; limit += 32 * kKiB)
        successes += runs.Succeeds(limit);
    EXPECT_FALSE(runs.Succeeds(start)) << "the start limit leaves room for a whole run";
    EXPECT_GT(successes, 0) << "no run succeeded within 4 MiB above the start limit";
}

// A sampled run (20000 rows: the "norm" file is written on a second thread
// while the sampling runs) and an unsampled one with a large distance matrix.
TEST(OutOfMemory, SampledRunAtEveryLimit) {
    if (kUnderSanitizer) GTEST_SKIP() << "address-space limits do not apply under AddressSanitizer";
    SearchAndSpread("20000 x 5, sampled", IntTable(20000, 5, 4, 11));
}

TEST(OutOfMemory, UnsampledRunAtEveryLimit) {
    if (kUnderSanitizer) GTEST_SKIP() << "address-space limits do not apply under AddressSanitizer";
    SearchAndSpread("2000 x 5, not sampled", IntTable(2000, 5, 1000, 12));
}

// ---- Lines and files that do not fit in memory -------------------------------------------

namespace {

// The smallest limit at which the nine-point run succeeds: what a run that
// keeps almost nothing needs.
std::uint64_t SmallRunLimit() {
    static const std::uint64_t limit = [] {
        TempDir dir;
        dir.Write("data.txt", kNine);
        return Bisect(StartLimit(), 256 * kMiB, 64 * kKiB, [&dir](std::uint64_t l) {
            ChildOptions options = In(dir.path());
            options.address_space = l;
            return RunChild(TAVRI_EXE, {"data.txt"}, options, 30).status == 0;
        });
    }();
    return limit;
}

// What a run may use beyond that: far less than the lines below.
constexpr std::uint64_t kMargin = 32 * kMiB;

// The outputs in a folder, without its input.
Files OutputsIn(const std::string& folder, const std::string& input = "data.txt") {
    Files files = Folder(folder);
    files.erase(input);
    return files;
}

// A regular file of `head` followed by NUL bytes up to `size`: a hole, so no
// disk is spent on them.
void WriteSparse(const std::string& path, const std::string& head, off_t size) {
    WriteFile(path, head);
    if (truncate(path.c_str(), size) != 0) throw std::runtime_error("truncate failed");
}

std::uint64_t BytesRead(pid_t pid) {
    std::istringstream io(ReadFile("/proc/" + std::to_string(pid) + "/io"));
    for (std::string key; io >> key;) {
        std::uint64_t value = 0;
        io >> value;
        if (key == "rchar:") return value;
    }
    return 0;
}

}  // namespace

// A number of 200 MB of digits, through a pipe: it is read as the same
// number written short, and the run needs no more memory for it.
TEST(MemoryBound, LongNumberThroughAPipe) {
    if (kUnderSanitizer) GTEST_SKIP() << "address-space limits do not apply under AddressSanitizer";
    const std::uint64_t limit = SmallRunLimit() + kMargin;
    TempDir piped, plain;
    const ChildResult r = RunOnFifo(piped, "data.txt", Repeated("0.", "3", 200000000, "\n0.5\n0.9\n0.1\n"), {}, limit);
    plain.Write("data.txt", "0." + std::string(40, '3') + "\n0.5\n0.9\n0.1\n");
    const ChildResult expected = RunChild(TAVRI_EXE, {"data.txt"}, In(plain.path()));
    ASSERT_EQ(expected.status, 0) << Describe(expected);
    EXPECT_EQ(r.status, 0) << Describe(r);
    EXPECT_EQ(r.out, expected.out);
    EXPECT_EQ(OutputsIn(piped.path()), OutputsIn(plain.path()));
}

// One line of 16 million columns (32 MB), through a pipe: the first 100000
// are kept, the others counted, and the run needs no more memory for them.
TEST(MemoryBound, ManyColumnsThroughAPipe) {
    if (kUnderSanitizer) GTEST_SKIP() << "address-space limits do not apply under AddressSanitizer";
    const std::uint64_t limit = SmallRunLimit() + kMargin;
    const std::uint64_t columns = 16000000;
    TempDir piped, plain;
    const ChildResult r = RunOnFifo(piped, "data.txt", Repeated("", "1 ", columns, "\n"), {}, limit);
    std::string kept;
    for (int j = 0; j < 100000; ++j) kept += "1 ";
    plain.Write("data.txt", kept + "\n");
    const ChildResult expected = RunChild(TAVRI_EXE, {"data.txt"}, In(plain.path()));
    ASSERT_EQ(expected.status, 0) << Describe(expected);
    const std::string first = "DATA LOADED=1 patterns, 100000 dimensions\n";
    ASSERT_EQ(expected.out.rfind(first, 0), 0u) << expected.out;
    EXPECT_EQ(r.status, 0) << Describe(r);
    EXPECT_EQ(r.out, "DATA LOADED=1 patterns, 16000000 dimensions\n" + expected.out.substr(first.size()));
    EXPECT_EQ(r.err, "tavri: read the first 100000 of 16000000 columns; the other 15900000 were ignored\n");
    EXPECT_EQ(OutputsIn(piped.path()), OutputsIn(plain.path()));
}

// 200 MB of NUL bytes after the last row (a file with a hole): directly after
// it they are a line that differs in column count, as three NUL bytes are;
// after a blank line they are a line that was not read, and the run succeeds.
// Either way the run needs no more memory for them.
TEST(MemoryBound, NulBytesPastTheLastRow) {
    if (kUnderSanitizer) GTEST_SKIP() << "address-space limits do not apply under AddressSanitizer";
    ChildOptions options;
    options.address_space = SmallRunLimit() + kMargin;
    for (const std::string& head : {std::string(kNine), std::string(kNine) + "\n"}) {
        SCOPED_TRACE(head.back() == '\n' && head[head.size() - 2] == '\n' ? "after a blank line" : "after the rows");
        TempDir sparse, plain;
        WriteSparse(sparse.Path("data.txt"), head, 200000000);
        plain.Write("data.txt", head + std::string(3, '\0'));
        options.cwd = sparse.path();
        const ChildResult r = RunChild(TAVRI_EXE, {"data.txt"}, options);
        const ChildResult expected = RunChild(TAVRI_EXE, {"data.txt"}, In(plain.path()));
        EXPECT_EQ(r.status, expected.status) << Describe(r);
        EXPECT_EQ(r.out, expected.out);
        EXPECT_EQ(r.err, expected.err);
        EXPECT_EQ(OutputsIn(sparse.path()), OutputsIn(plain.path()));
    }
    // What those outcomes are.
    TempDir dir;
    dir.Write("data.txt", std::string(kNine) + std::string(3, '\0'));
    const ChildResult mismatch = RunChild(TAVRI_EXE, {"data.txt"}, In(dir.path()));
    EXPECT_EQ(mismatch.out, "Unable to open file:  data.txt\nTavri error\n");
    EXPECT_EQ(mismatch.err, "tavri: line 10 holds 0 columns but line 1 holds 1; a cell is missing?\n");
    dir.Write("data.txt", std::string(kNine) + "\n" + std::string(3, '\0'));
    const ChildResult after_blank = RunChild(TAVRI_EXE, {"data.txt"}, In(dir.path()));
    EXPECT_EQ(after_blank.status, 0) << Describe(after_blank);
    EXPECT_EQ(after_blank.err,
              "tavri: line 10 is blank, so the data end there; 1 line after it holding something was not read "
              "(remove the blank line to read them)\n");
}

// /dev/zero is one line that never ends: the run reads on, in the memory it
// had, until it is killed.
TEST(MemoryBound, DevZeroNeverExhaustsMemory) {
    if (kUnderSanitizer) GTEST_SKIP() << "address-space limits do not apply under AddressSanitizer";
    TempDir dir;
    ChildOptions options = In(dir.path());
    options.address_space = SmallRunLimit() + kMargin;
    Child child(TAVRI_EXE, {"/dev/zero"}, options);
    for (int i = 0; i < 30 && child.Running(); ++i) usleep(50000);
    const std::uint64_t read = BytesRead(child.pid());
    const bool running = child.Running();
    kill(child.pid(), SIGKILL);
    const ChildResult r = child.Wait(10);
    EXPECT_TRUE(running) << Describe(r);
    EXPECT_EQ(r.signal, SIGKILL) << Describe(r);
    EXPECT_GT(read, 2 * kMargin) << "it read less than it could have held";
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(Folder(dir.path()).empty());
}

// ---- Inputs that can be read only once ----------------------------------------------------

namespace {

// Small, and sampled (4500 rows: the "norm" file is written while sampling).
const std::vector<std::pair<std::string, std::string>>& ReadOnceCases() {
    static const std::vector<std::pair<std::string, std::string>> cases = {{"nine points", kNine},
                                                                           {"4500 x 2", IntTable(4500, 2, 30, 5)}};
    return cases;
}

}  // namespace

// A FIFO, written in pieces of every size: the same outputs as a regular file.
TEST(ReadOnce, FifoGivesTheSameOutputsAsARegularFile) {
    for (const auto& [name, data] : ReadOnceCases()) {
        SCOPED_TRACE(name);
        TempDir piped, plain;
        plain.Write("data.txt", data);
        const ChildResult expected = RunChild(TAVRI_EXE, {"data.txt"}, In(plain.path()));
        const ChildResult r = RunOnFifo(piped, "data.txt", InPieces(data));
        EXPECT_EQ(r.status, expected.status) << Describe(r);
        EXPECT_EQ(r.out, expected.out);
        EXPECT_EQ(r.err, expected.err);
        EXPECT_TRUE(OutputsIn(piped.path()) == OutputsIn(plain.path())) << "the outputs differ";
    }
    // A writer that writes nothing: an empty file, not a wait.
    TempDir dir;
    const ChildResult r = RunOnFifo(dir, "data.txt", [](int) { return true; });
    EXPECT_EQ(r.out, "DATA LOADED=0 patterns, 0 dimensions\nData file empty:  data.txt\nTavri error\n") << Describe(r);
}

// /dev/fd/N of a pipe the run inherits. Its outputs go beside the name it is
// given, so here it is given a link in a folder of the test's own.
TEST(ReadOnce, DevFdOfAPipeGivesTheSameOutputsAsARegularFile) {
    for (const auto& [name, data] : ReadOnceCases()) {
        SCOPED_TRACE(name);
        TempDir piped, plain;
        plain.Write("data.txt", data);
        const ChildResult expected = RunChild(TAVRI_EXE, {"data.txt"}, In(plain.path()));
        for (const bool link : {true, false}) {
            int ends[2];
            ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
            ChildResult r;
            {
                const Writer writer("", ends[1], InPieces(data));
                close(ends[1]);  // the reader sees the end once the writer is done
                const std::string fd_path = "/dev/fd/" + std::to_string(ends[0]);
                ChildOptions options = In(piped.path());
                options.inherit = {ends[0]};
                if (link) {
                    ASSERT_EQ(symlink(fd_path.c_str(), piped.Path("data.txt").c_str()), 0);
                }
                r = RunChild(TAVRI_EXE, {link ? "data.txt" : fd_path}, options, 60);
                close(ends[0]);
            }
            if (link) {
                EXPECT_EQ(r.status, expected.status) << Describe(r);
                EXPECT_EQ(r.out, expected.out);
                EXPECT_EQ(r.err, expected.err);
                EXPECT_TRUE(OutputsIn(piped.path()) == OutputsIn(plain.path())) << "the outputs differ";
            } else {
                // Named as it is, the data are read all the same; /dev/fd
                // is no folder to write the outputs in.
                EXPECT_FALSE(r.timed_out);
                EXPECT_EQ(r.signal, 0);
                EXPECT_EQ(Lines(r.out).at(0), Lines(expected.out).at(0));
            }
        }
    }
}

// ---- Names at the length limits --------------------------------------------------------------

namespace {

// Removes `name` in folder `dir_fd` with everything below it, however deep
// (std::filesystem goes by whole paths, which stop at PATH_MAX).
void RemoveAt(int dir_fd, const std::string& name) {
    const int fd = openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        DIR* dir = fdopendir(fd);
        std::vector<std::string> entries;
        while (const dirent* entry = readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                entries.push_back(entry->d_name);
        for (const std::string& entry : entries) RemoveAt(fd, entry);
        closedir(dir);
        unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR);
    } else {
        unlinkat(dir_fd, name.c_str(), 0);
    }
}

// Folders inside `root`, one in the other, named by `parts`; removed with
// what they hold. `fd()` is the deepest.
class DeepFolders {
public:
    DeepFolders(const std::string& root, const std::vector<std::string>& parts) {
        root_ = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int fd = dup(root_);
        for (const std::string& part : parts) {
            if (mkdirat(fd, part.c_str(), 0755) != 0) throw std::runtime_error("mkdirat failed");
            const int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            close(fd);
            fd = next;
        }
        fd_ = fd;
        first_ = parts.at(0);
    }
    ~DeepFolders() {
        close(fd_);
        RemoveAt(root_, first_);
        close(root_);
    }
    DeepFolders(const DeepFolders&) = delete;
    DeepFolders& operator=(const DeepFolders&) = delete;
    int fd() const { return fd_; }

    void Write(const std::string& name, const std::string& text) const {
        const int fd = openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        WriteAll(fd, text.data(), text.size());
        close(fd);
    }
    // Every entry of the deepest folder, name -> content.
    Files Read() const {
        Files files;
        DIR* dir = fdopendir(dup(fd_));
        while (const dirent* entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
            const int fd = openat(fd_, entry->d_name, O_RDONLY | O_CLOEXEC);
            std::string text;
            char buffer[65536];
            for (ssize_t got; fd >= 0 && (got = read(fd, buffer, sizeof buffer)) > 0;)
                text.append(buffer, static_cast<std::size_t>(got));
            if (fd >= 0) close(fd);
            files[entry->d_name] = text;
        }
        closedir(dir);
        return files;
    }

private:
    int root_ = -1, fd_ = -1;
    std::string first_;
};

// Folder names that make `folder/` exactly `length` characters.
std::vector<std::string> FolderParts(std::size_t length) {
    std::vector<std::string> parts;
    for (char c = 'a'; length > 0; ++c) {
        const std::size_t n = std::min<std::size_t>(length, NAME_MAX + 1);
        parts.push_back(std::string(n - 1, c));
        length -= n;
    }
    return parts;
}

std::string Joined(const std::vector<std::string>& parts) {
    std::string path;
    for (const std::string& part : parts) path += part + "/";
    return path;
}

// Every output; sampled, so that all five are written, and quick (few distinct rows).
const std::string& AllOutputsData() {
    static const std::string data = IntTable(4001, 1, 10, 3);
    return data;
}

}  // namespace

// The longest base name for which every output name is legal: 248 characters
// and the 7 of "CTavri-". All five outputs are written.
TEST(LongNames, BaseNameOf248CharactersGetsEveryOutput) {
    TempDir plain, named;
    plain.Write("data.txt", AllOutputsData());
    const ChildResult expected = RunChild(TAVRI_EXE, {"data.txt"}, In(plain.path()));
    ASSERT_EQ(expected.status, 0) << Describe(expected);
    ASSERT_EQ(Folder(plain.path()).size(), 6u);
    const std::string base = std::string(244, 'n') + ".txt";
    ASSERT_EQ(base.size() + 7, static_cast<std::size_t>(NAME_MAX));
    named.Write(base, AllOutputsData());
    const ChildResult r = RunChild(TAVRI_EXE, {base}, In(named.path()));
    EXPECT_EQ(r.status, 0) << Describe(r);
    EXPECT_EQ(r.out, expected.out);
    EXPECT_TRUE(Folder(named.path()) == Renamed(Folder(plain.path()), "data.txt", base)) << "the outputs differ";
}

// One character more: "CTavri-" and the names after it are too long. The run
// fails there, and the outputs before it, whose names are legal, keep their
// earlier content.
TEST(LongNames, BaseNameOf249CharactersFailsWithoutATrace) {
    TempDir plain, named;
    plain.Write("data.txt", AllOutputsData());
    const ChildResult expected = RunChild(TAVRI_EXE, {"data.txt"}, In(plain.path()));
    ASSERT_EQ(expected.status, 0) << Describe(expected);
    const std::string base = std::string(245, 'n') + ".txt";
    const Files before = {{base, AllOutputsData()}, {"norm" + base, "earlier\n"}, {"S_norm" + base, "earlier\n"}};
    WriteFiles(named.path(), before);
    const ChildResult r = RunChild(TAVRI_EXE, {base}, In(named.path()));
    const std::string printed = expected.out.substr(0, expected.out.rfind("Tavri("));
    EXPECT_EQ(r.out, printed + "Unable to write file:  CTavri-" + base + "\nTavri error\n");
    EXPECT_EQ(r.err, "tavri: cannot write CTavri-" + base + ": File name too long\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Folder(named.path()) == before) << "the folder changed";
}

// An input path of PATH_MAX - 1 characters, the longest there is: every
// output path is longer than PATH_MAX, and every output is written.
TEST(LongNames, InputPathOfPathMaxMinus1) {
    TempDir plain, deep;
    plain.Write("data.txt", AllOutputsData());
    const ChildResult expected = RunChild(TAVRI_EXE, {"data.txt"}, In(plain.path()));
    ASSERT_EQ(expected.status, 0) << Describe(expected);
    const std::vector<std::string> parts = FolderParts(PATH_MAX - 1 - std::strlen("data.txt"));
    const std::string path = Joined(parts) + "data.txt";
    ASSERT_EQ(path.size(), static_cast<std::size_t>(PATH_MAX - 1));
    const DeepFolders folders(deep.path(), parts);
    folders.Write("data.txt", AllOutputsData());
    const ChildResult r = RunChild(TAVRI_EXE, {path}, In(deep.path()));
    EXPECT_EQ(r.status, 0) << Describe(r);
    EXPECT_EQ(r.out, expected.out);
    EXPECT_TRUE(folders.Read() == Folder(plain.path())) << "the outputs differ";
    // One character more is a path no file can have.
    const ChildResult too_long = RunChild(TAVRI_EXE, {path + "x"}, In(deep.path()));
    EXPECT_EQ(too_long.out, "Unable to open file:  " + path + "x\nTavri error\n");
    EXPECT_EQ(too_long.err, "tavri: cannot open " + path + "x: File name too long\n");
    EXPECT_EQ(too_long.status, 1);
}

// The temporary files need no more room than the outputs: an output of the
// longest name, at a path longer than PATH_MAX, is written through either kind
// of temporary; a name one character longer fails at once and leaves nothing.
TEST(LongNames, TemporariesFitWhereverTheOutputFits) {
    using tavri::OutputSet;
    TempDir dir;
    const std::vector<std::string> parts = FolderParts(PATH_MAX - 1 - dir.path().size() - 1 - 64);
    const DeepFolders folders(dir.path(), parts);
    const std::string folder = dir.path() + "/" + Joined(parts);
    for (const auto kind : {OutputSet::Temporaries::kNamed, OutputSet::Temporaries::kUnnamedWherePossible}) {
        SCOPED_TRACE(kind == OutputSet::Temporaries::kNamed ? "named" : "unnamed");
        const std::string longest(NAME_MAX, kind == OutputSet::Temporaries::kNamed ? 'n' : 'u');
        ASSERT_GT(folder.size() + longest.size(), static_cast<std::size_t>(PATH_MAX));
        {
            OutputSet outputs(kind);
            EXPECT_TRUE(outputs.Write(folder + longest, [](tavri::TextSink& sink) { sink.Text("whole\n"); }));
            EXPECT_TRUE(outputs.Commit());
        }
        {
            OutputSet outputs(kind);
            EXPECT_FALSE(outputs.Write(folder + longest + "x", [](tavri::TextSink& sink) { sink.Text("never\n"); }));
            EXPECT_EQ(outputs.error(), ENAMETOOLONG);
        }
    }
    EXPECT_EQ(folders.Read(), (Files{{std::string(NAME_MAX, 'n'), "whole\n"}, {std::string(NAME_MAX, 'u'), "whole\n"}}));
}

// ---- Interrupted runs -----------------------------------------------------------------------------

namespace {

// Whether process `pid` has a file open in `folder` other than `input`: an
// output being written, named or not ("folder/#123 (deleted)").
bool WritesIn(pid_t pid, const std::string& folder, const std::string& input) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fds, ec)) {
        char target[PATH_MAX];
        const ssize_t n = readlink(entry.path().c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        const std::string path(target, static_cast<std::size_t>(n));
        if (path.rfind(folder + "/", 0) == 0 && path != input) return true;
    }
    return false;
}

// Waits until the run of data.txt in `dir` writes an output; false when it
// ended, or did not get there in 30 s.
bool AwaitWriting(Child& child, const TempDir& dir) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (child.Running() && std::chrono::steady_clock::now() < deadline) {
        if (WritesIn(child.pid(), dir.path(), dir.Path("data.txt"))) return true;
        usleep(500);
    }
    return false;
}

const std::string& LongRunData() {
    static const std::string data = IntTable(300000, 2, 100000, 8);
    return data;
}

}  // namespace

// A run of all 300000 rows is stopped by each signal while it writes its
// outputs: it dies of that signal, and the folder is as it was.
TEST(Interrupted, SignalsDuringARunLeaveNothingBehind) {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(strsignal(sig));
        TempDir dir;
        Files before = EarlierOutputs();
        before["data.txt"] = LongRunData();
        WriteFiles(dir.path(), before);
        Child child(TAVRI_EXE, {"data.txt", "--max-rows", "0"}, In(dir.path()));
        const bool writing = AwaitWriting(child, dir);
        if (writing) kill(child.pid(), sig);
        const ChildResult r = child.Wait(30);
        ASSERT_TRUE(writing) << "the run was never seen writing: " << Describe(r);
        EXPECT_EQ(r.signal, sig) << Describe(r);
        EXPECT_TRUE(Folder(dir.path()) == before) << "the folder changed";
    }
}

// A run started with SIGHUP and SIGINT ignored (under nohup, or in the
// background of a shell script) must go on when they arrive while it writes.
TEST(Interrupted, IgnoredSignalsStayIgnored) {
    TempDir plain, dir;
    plain.Write("data.txt", LongRunData());
    dir.Write("data.txt", LongRunData());
    const ChildResult expected = RunChild(TAVRI_EXE, {"data.txt", "--max-rows", "0"}, In(plain.path()));
    ASSERT_EQ(expected.status, 0) << Describe(expected);
    ChildOptions options = In(dir.path());
    options.ignored = {SIGHUP, SIGINT};
    Child child(TAVRI_EXE, {"data.txt", "--max-rows", "0"}, options);
    const bool writing = AwaitWriting(child, dir);
    if (writing) {
        kill(child.pid(), SIGHUP);
        kill(child.pid(), SIGINT);
    }
    const ChildResult r = child.Wait(30);
    ASSERT_TRUE(writing) << "the run was never seen writing: " << Describe(r);
    EXPECT_EQ(r.status, 0) << Describe(r);
    EXPECT_EQ(r.out, expected.out);
    EXPECT_TRUE(Folder(dir.path()) == Folder(plain.path())) << "the outputs differ";
}

namespace {

// In a forked child: two outputs through named temporaries, the second
// stopped by `sig` in the middle of its writing. Returns how the child ended.
int InterruptedOutputs(const std::string& folder, int sig, bool handler) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (handler) tavri::RemoveTemporariesOnSignals();
        tavri::OutputSet outputs(tavri::OutputSet::Temporaries::kNamed);
        outputs.Write(folder + "/first", [](tavri::TextSink& sink) { sink.Text("first\n"); });
        outputs.Write(folder + "/second", [sig](tavri::TextSink& sink) {
            sink.Text("second, in part\n");
            sink.Flush();
            raise(sig);
            sink.Text("never\n");
        });
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

}  // namespace

// Where there are no unnamed temporaries, the signal handler removes the
// named ones: the folder keeps only its earlier files. Without the handler a
// temporary is left, which the same check sees.
TEST(Interrupted, NamedTemporariesAreRemovedOnSignals) {
    const Files before = {{"first", "earlier\n"}, {"second", "earlier\n"}};
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        TempDir dir;
        WriteFiles(dir.path(), before);
        const int status = InterruptedOutputs(dir.path(), sig, true);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status;
        EXPECT_EQ(Folder(dir.path()), before);
    }
    TempDir dir;
    WriteFiles(dir.path(), before);
    const int status = InterruptedOutputs(dir.path(), SIGTERM, false);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
    Files left = Folder(dir.path());
    int temporaries = 0;
    for (const auto& [name, content] : left) temporaries += name.rfind(".tv", 0) == 0;
    EXPECT_EQ(temporaries, 2) << "without the handler both temporaries stay";
}

// ---- Without /proc --------------------------------------------------------------------------------

namespace {

// In the child: its own mount namespace with an empty /proc, as in a chroot
// or a container that does not mount it.
bool HideProc() {
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("tmpfs", "/proc", "tmpfs", 0, "size=4k") == 0;
}

bool CanHideProc() {
    ChildOptions options;
    options.prepare = HideProc;
    return RunChild("/bin/sh", {"-c", "test ! -e /proc/self"}, options, 30).status == 0;
}

}  // namespace

// Unnamed temporaries are named through /proc/self/fd: without /proc the run
// writes through named ones, with the same outputs and nothing left over.
TEST(WithoutProc, RunsThroughNamedTemporaries) {
    if (kUnderSanitizer) GTEST_SKIP() << "the sanitizer's runtime needs /proc";
    if (!CanHideProc()) GTEST_SKIP() << "needs a mount namespace (root)";
    for (const std::string& data : {std::string(kNine), AllOutputsData()}) {
        TempDir plain, hidden;
        plain.Write("data.txt", data);
        hidden.Write("data.txt", data);
        const ChildResult expected = RunChild(TAVRI_EXE, {"data.txt"}, In(plain.path()));
        ChildOptions options = In(hidden.path());
        options.prepare = HideProc;
        const ChildResult r = RunChild(TAVRI_EXE, {"data.txt"}, options);
        EXPECT_EQ(r.status, 0) << Describe(r);
        EXPECT_EQ(r.out, expected.out);
        EXPECT_TRUE(Folder(hidden.path()) == Folder(plain.path())) << "the outputs differ";
    }
}

// There the signal handler removes the named temporaries of an interrupted
// run: the folder is as it was. (SIGKILL cannot be handled: it would leave them.)
TEST(WithoutProc, SignalsRemoveTheNamedTemporaries) {
    if (kUnderSanitizer) GTEST_SKIP() << "the sanitizer's runtime needs /proc";
    if (!CanHideProc()) GTEST_SKIP() << "needs a mount namespace (root)";
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        TempDir dir;
        Files before = EarlierOutputs();
        before["data.txt"] = LongRunData();
        WriteFiles(dir.path(), before);
        ChildOptions options = In(dir.path());
        options.prepare = HideProc;
        Child child(TAVRI_EXE, {"data.txt", "--max-rows", "0"}, options);
        const bool writing = AwaitWriting(child, dir);
        // The temporary it writes has a name in the folder.
        const Files during = Folder(dir.path());
        if (writing) kill(child.pid(), sig);
        const ChildResult r = child.Wait(30);
        ASSERT_TRUE(writing) << "the run was never seen writing: " << Describe(r);
        EXPECT_GT(during.size(), before.size()) << "no named temporary was seen";
        EXPECT_EQ(r.signal, sig) << Describe(r);
        EXPECT_TRUE(Folder(dir.path()) == before) << "the folder changed";
    }
}

// ---- Permission bits -----------------------------------------------------------------------------

namespace {

mode_t ModeOf(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

}  // namespace

// A replaced output keeps the permission bits of the file it replaces, even
// read-only ones; a new output gets 0666 less the umask.
TEST(Permissions, ReplacedOutputsKeepTheirBitsNewOnesFollowTheUmask) {
    TempDir dir;
    dir.Write("data.txt", kNine);
    const std::map<std::string, mode_t> earlier = {
        {"normdata.txt", 0600}, {"CTavri-data.txt", 0640}, {"LTavri-data.txt", 0444}};
    for (const auto& [name, mode] : earlier) {
        dir.Write(name, "earlier\n");
        ASSERT_EQ(chmod(dir.Path(name).c_str(), mode), 0);
    }
    ChildOptions options = In(dir.path());
    options.umask = 022;
    ASSERT_EQ(RunChild(TAVRI_EXE, {"data.txt"}, options).status, 0);
    for (const auto& [name, mode] : earlier) {
        EXPECT_EQ(ModeOf(dir.Path(name)), mode) << name;
        EXPECT_NE(ReadFile(dir.Path(name)), "earlier\n") << name;
    }
    EXPECT_EQ(ModeOf(dir.Path("RTavri-data.txt")), 0644u);
    for (const mode_t mask : {0000, 0077, 0027}) {
        SCOPED_TRACE("umask " + std::to_string(mask));
        TempDir fresh;
        fresh.Write("data.txt", kNine);
        options = In(fresh.path());
        options.umask = static_cast<int>(mask);
        ASSERT_EQ(RunChild(TAVRI_EXE, {"data.txt"}, options).status, 0);
        for (const std::string prefix : {"norm", "CTavri-", "LTavri-", "RTavri-"})
            EXPECT_EQ(ModeOf(fresh.Path(prefix + "data.txt")), 0666u & ~mask) << prefix;
    }
    // The same through named temporaries.
    TempDir named;
    named.Write("kept", "earlier\n");
    ASSERT_EQ(chmod(named.Path("kept").c_str(), 0604), 0);
    const mode_t previous = umask(027);
    {
        tavri::OutputSet outputs(tavri::OutputSet::Temporaries::kNamed);
        for (const std::string name : {"kept", "fresh"})
            EXPECT_TRUE(outputs.Write(named.Path(name), [](tavri::TextSink& sink) { sink.Text("new\n"); }));
        EXPECT_TRUE(outputs.Commit());
    }
    umask(previous);
    EXPECT_EQ(ModeOf(named.Path("kept")), 0604u);
    EXPECT_EQ(ModeOf(named.Path("fresh")), 0640u);
}

// ---- The byte order mark ------------------------------------------------------------------------

namespace {

const char kBom[] = "\xEF\xBB\xBF";

}  // namespace

// A file that starts with EF BB BF runs as the same file without it: the same
// console, the same messages with the same lines and columns, the same outputs.
TEST(ByteOrderMark, ReadsAsWithout) {
    struct Case {
        std::string name, data;
        std::vector<std::string> args;
    };
    const std::vector<Case> cases = {
        {"nine points", kNine, {}},
        {"a word on line 2", "1 2\n3 x\n", {}},
        {"a word in the first field after the mark", "x 2\n3 4\n", {}},
        {"a word in line 1, column 2", "1 x\n3 4\n", {}},
        {"a header", "a b\n1 2\n3 4\n5 6\n", {"--header"}},
        {"column counts differ", "1 2\n3 4 5\n", {}},
        {"empty", "", {}},
        {"a blank first line", "\n1\n2\n", {}},
        {"a first line past the 1 MiB buffer", "0." + std::string(1200000, '3') + "\n0.5\n0.9\n", {}},
        {"CSV", "1,2\n3,4\n5,6\n", {"--sep", ","}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir plain, marked;
        plain.Write("data.txt", c.data);
        marked.Write("data.txt", kBom + c.data);
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "data.txt");
        const ChildResult expected = RunChild(TAVRI_EXE, args, In(plain.path()));
        const ChildResult r = RunChild(TAVRI_EXE, args, In(marked.path()));
        EXPECT_EQ(r.status, expected.status);
        EXPECT_EQ(r.out, expected.out);
        EXPECT_EQ(r.err, expected.err);
        EXPECT_TRUE(OutputsIn(marked.path()) == OutputsIn(plain.path())) << "the outputs differ";
    }
    // Through a FIFO, the mark arrives a byte at a time.
    TempDir plain, piped;
    plain.Write("data.txt", kNine);
    const ChildResult expected = RunChild(TAVRI_EXE, {"data.txt"}, In(plain.path()));
    const ChildResult r = RunOnFifo(piped, "data.txt", InPieces(kBom + std::string(kNine)));
    EXPECT_EQ(r.out, expected.out) << Describe(r);
    EXPECT_EQ(OutputsIn(piped.path()), OutputsIn(plain.path()));
}

// Only one mark, at the very start, is skipped: elsewhere, doubled or cut
// short it is data, and the file is refused at the line that holds it.
TEST(ByteOrderMark, OnlyAtTheStart) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"on line 2", "1\n" + std::string(kBom) + "2\n3\n"},
        {"twice", std::string(kBom) + kBom + "1\n2\n"},
        {"cut short", "\xEF\xBB" "1\n2\n"},
    };
    for (const auto& [name, data] : cases) {
        SCOPED_TRACE(name);
        TempDir dir;
        dir.Write("data.txt", data);
        const ChildResult r = RunChild(TAVRI_EXE, {"data.txt"}, In(dir.path()));
        EXPECT_EQ(r.out, "Unable to open file:  data.txt\nTavri error\n");
        EXPECT_EQ(r.err.rfind("tavri: line 2 holds ", 0), 0u) << r.err;
        EXPECT_EQ(r.status, 1);
    }
}

// ---- Columns beyond the cap ------------------------------------------------------------------------

// A first line of 100001 numbers: the first 100000 columns are kept (the
// outputs are those of the file without the last column) and one line on
// standard error says how many were read and ignored. Short numbers keep the
// line within the reader's 1 MiB buffer, long ones take it past.
TEST(Columns, BeyondTheCapAreCountedNotKept) {
    for (const std::size_t width : {1u, 12u}) {
        SCOPED_TRACE("numbers of " + std::to_string(width) + " characters");
        auto number = [width](int value) {
            const std::string digits = std::to_string(value);
            return width > digits.size() ? digits + "." + std::string(width - digits.size() - 1, '0') : digits;
        };
        std::string all, kept;
        for (int row = 0; row < 3; ++row) {
            // Column 1 varies unlike the others, the last one unlike any.
            std::string line = number(row == 2 ? 3 : 0) + " ";
            for (int j = 1; j < 100000; ++j) line += number((row + j) % 7) + " ";
            kept += line + "\n";
            all += line + number(9 - row * row) + "\n";
        }
        ASSERT_EQ(all.size() > (1u << 20), width > 1);
        TempDir plain, wide;
        plain.Write("data.txt", kept);
        wide.Write("data.txt", all);
        const ChildResult expected = RunChild(TAVRI_EXE, {"data.txt"}, In(plain.path()));
        ASSERT_EQ(expected.status, 0) << Describe(expected);
        EXPECT_EQ(expected.err, "");
        const std::string first = "DATA LOADED=3 patterns, 100000 dimensions\n";
        ASSERT_EQ(expected.out.rfind(first, 0), 0u);
        const ChildResult r = RunChild(TAVRI_EXE, {"data.txt"}, In(wide.path()));
        EXPECT_EQ(r.status, 0) << Describe(r);
        EXPECT_EQ(r.out, "DATA LOADED=3 patterns, 100001 dimensions\n" + expected.out.substr(first.size()));
        EXPECT_EQ(r.err, "tavri: read the first 100000 of 100001 columns; the other 1 was ignored\n");
        EXPECT_TRUE(OutputsIn(wide.path()) == OutputsIn(plain.path())) << "the outputs differ";
    }
}

// Small helpers shared by the test files: temporary folders, whole-file I/O,
// a portable seeded generator and running the tavri executable (in a child
// process with its streams captured, under limits or a timeout when asked).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace test_support {

namespace fs = std::filesystem;

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Writes all of `text` to a file descriptor (a pipe, a FIFO).
inline bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads a file descriptor to its end (or, for a terminal, until it is closed).
inline std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return text;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

// What printf's "%lf" makes of a value: the reference for every output file.
inline std::string Printf6(double v) {
    char text[400];
    std::snprintf(text, sizeof text, "%lf", v);
    return text;
}

// A fresh folder under the system's temporary folder, removed with its content.
class TempDir {
public:
    TempDir() {
        std::string templ = (fs::temp_directory_path() / "tavri-test-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = templ;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string Path(const std::string& name) const { return path_ + "/" + name; }
    std::string operator/(const std::string& name) const { return Path(name); }
    std::string Write(const std::string& name, const std::string& text) const {
        WriteFile(Path(name), text);
        return Path(name);
    }
    // Names of the entries directly in the folder, sorted.
    std::vector<std::string> FileNames() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path_)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::string path_;
};

// splitmix64: the same numbers on every platform and library.
class SplitMix {
public:
    explicit SplitMix(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1) with 53 random bits.
    double Uniform() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
    int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint64_t>(n)); }

private:
    std::uint64_t state_;
};

// How a child process is started.
struct ChildOptions {
    std::string cwd = ".";
    std::uint64_t address_space = 0;  // RLIMIT_AS in bytes, set before exec; 0: no limit
    int input = -1;                   // its standard input: this descriptor, or /dev/null
    std::vector<int> inherit;         // descriptors it keeps under their own numbers
    int umask = -1;                   // its umask; -1: the test's own
    std::vector<int> ignored;         // signals it starts with ignored (as under nohup)
    std::function<bool()> prepare;    // runs in the child before exec; false: it exits with 126
};

struct ChildResult {
    int status = -1;         // exit status, or -1 when it did not exit normally
    int signal = 0;          // the signal that ended it, 0 when it exited
    bool timed_out = false;  // killed for running past the timeout
    std::string out, err;    // standard output and standard error
};

// A program running in a child process, its standard output and error
// captured through pipes; killed and reaped by the destructor if still there.
class Child {
public:
    Child(const std::string& program, const std::vector<std::string>& args, const ChildOptions& options) {
        // Everything the child needs is built before fork: after it, only
        // calls that are safe in a child of a possibly threaded process.
        std::vector<std::string> words = {program};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            if (options.address_space != 0) {
                const rlimit limit{options.address_space, options.address_space};
                if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
            }
            if (options.umask >= 0) umask(static_cast<mode_t>(options.umask));
            const int input = options.input >= 0 ? options.input : open("/dev/null", O_RDONLY);
            if (input < 0 || dup2(input, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0) _exit(126);
            for (int fd : options.inherit)
                if (fcntl(fd, F_SETFD, 0) != 0) _exit(126);
            if (chdir(options.cwd.c_str()) != 0) _exit(126);
            signal(SIGPIPE, SIG_DFL);
            for (int ignored : options.ignored) signal(ignored, SIG_IGN);
            if (options.prepare && !options.prepare()) _exit(126);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Child() {
        if (!reaped_) {
            kill(pid_, SIGKILL);
            Reap(0);
        }
        if (out_ >= 0) close(out_);
        if (err_ >= 0) close(err_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // Whether it is still running (it is reaped once it has ended).
    bool Running() { return !reaped_ && !Reap(WNOHANG); }
    // Collects both streams until it ends; past `seconds` it is killed.
    ChildResult Wait(double seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        char buffer[65536];
        while (out_ >= 0 || err_ >= 0) {
            pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            const int ready = poll(fds, 2, result_.timed_out ? 1000 : static_cast<int>(std::max<long long>(left.count(), 0)));
            if (ready < 0 && errno != EINTR) break;
            if (ready == 0) {
                if (result_.timed_out) break;  // killed, but something still holds the pipes
                result_.timed_out = true;
                kill(pid_, SIGKILL);
                continue;
            }
            for (int i = 0; i < 2; ++i) {
                int& fd = i == 0 ? out_ : err_;
                if (fd < 0 || fds[i].revents == 0) continue;
                const ssize_t got = read(fd, buffer, sizeof buffer);
                if (got > 0) {
                    (i == 0 ? result_.out : result_.err).append(buffer, static_cast<std::size_t>(got));
                } else if (got == 0 || errno != EINTR) {
                    close(fd);
                    fd = -1;
                }
            }
        }
        if (!reaped_) {
            if (result_.timed_out) kill(pid_, SIGKILL);
            Reap(0);
        }
        return result_;
    }

private:
    // False when it has not ended yet (WNOHANG).
    bool Reap(int flags) {
        int status = 0;
        pid_t got;
        while ((got = waitpid(pid_, &status, flags)) < 0 && errno == EINTR) {
        }
        if (got != pid_) return false;
        reaped_ = true;
        if (WIFEXITED(status)) result_.status = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) result_.signal = WTERMSIG(status);
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    bool reaped_ = false;
    ChildResult result_;
};

// Runs `program args...` to its end, or until it is killed after `seconds`.
inline ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                            const ChildOptions& options, double seconds = 60) {
    Child child(program, args, options);
    return child.Wait(seconds);
}

// The worked example: nine points on a line, two clusters and the outlier 30.
inline const char kNine[] = "0\n1\n3\n4\n10\n11\n13\n14\n30\n";

// rows x cols integers below `range`, tab separated.
inline std::string IntTable(int rows, int cols, int range, std::uint64_t seed) {
    SplitMix rng(seed);
    std::string text;
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j) text += std::to_string(rng.Below(range)) + (j + 1 < cols ? "\t" : "\n");
    return text;
}

struct RunResult {
    int status = -1;     // exit status, or -1 when the process did not exit normally
    std::string output;  // standard output
    std::string errors;  // standard error (RunCapturing only)
};

inline std::string ShellQuote(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

namespace detail {

// Runs the command line through the shell in `cwd`, capturing standard
// output; standard error goes where `error_redirection` sends it (as "2>&1"
// puts both streams in one pipe, in the order they are written).
inline RunResult RunShell(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                          const std::string& error_redirection) {
    std::string command = "cd " + ShellQuote(cwd) + " && " + ShellQuote(program);
    for (const auto& a : args) command += " " + ShellQuote(a);
    command += " " + error_redirection;
    RunResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, got);
    const int status = pclose(pipe);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

}  // namespace detail

// Runs `program args...` in folder `cwd`, capturing standard output.
inline RunResult Run(const std::string& program, const std::vector<std::string>& args, const std::string& cwd) {
    ChildOptions options;
    options.cwd = cwd;
    const ChildResult child = RunChild(program, args, options);
    return {child.status, child.out, ""};
}

// The same, capturing standard error apart from standard output.
inline RunResult RunCapturing(const std::string& program, const std::vector<std::string>& args,
                              const std::string& cwd) {
    ChildOptions options;
    options.cwd = cwd;
    const ChildResult child = RunChild(program, args, options);
    return {child.status, child.out, child.err};
}

// The options a help text or a man page tells of: in the help, those opening
// an option line; in the man page, those of the tag lines after .TP. Both with
// every "\\-" read as "-".
inline std::set<std::string> OptionsOf(const std::string& text, bool man) {
    const std::string plain = std::regex_replace(text, std::regex(R"(\\-)"), "-");
    const std::regex line(man ? R"(\.TP\n\.B[IR]? ([^\n]*))" : R"(\n  (-[^ ,]*(?:, -[^ ]*)?))"),
        option(R"((^|[ "])(--?[a-z][a-z-]*))");
    std::set<std::string> options;
    for (std::sregex_iterator it(plain.begin(), plain.end(), line), end; it != end; ++it) {
        const std::string tag = (*it)[1];
        for (std::sregex_iterator o(tag.begin(), tag.end(), option); o != end; ++o) options.insert((*o)[2]);
    }
    return options;
}

}  // namespace test_support

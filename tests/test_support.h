// Small helpers shared by the test files: temporary folders, whole-file I/O,
// a portable seeded generator and running the tavri executable.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// Runs the command line in `cwd`, capturing standard output; standard error
// goes where `error_redirection` sends it.
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
    return detail::RunShell(program, args, cwd, "2>/dev/null");
}

// The same, capturing standard error apart from standard output.
inline RunResult RunCapturing(const std::string& program, const std::vector<std::string>& args,
                              const std::string& cwd) {
    TempDir scratch;
    const std::string errors = scratch / "stderr";
    RunResult result = detail::RunShell(program, args, cwd, "2>" + ShellQuote(errors));
    result.errors = ReadFile(errors);
    return result;
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

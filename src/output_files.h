// Output files that appear whole or not at all. Each output is written to a
// temporary file in its own folder (unnamed where Linux allows it and /proc is
// there to name it by, so that even a killed run leaves nothing behind) and
// only renamed over the target once every output of the set is complete.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tavri {

// Writes `value` as printf's "%lf" writes it (fixed, six decimals) at `out`,
// which has room for kFixed6Room characters; returns the end of the text.
constexpr std::size_t kFixed6Room = 400;  // the longest, -1.8e308 in full, is 317 characters
char* FormatFixed6(double value, char* out);

// Text written to a file descriptor through a buffer; the first failure sticks.
class TextSink {
public:
    explicit TextSink(int fd);
    ~TextSink();
    TextSink(const TextSink&) = delete;
    TextSink& operator=(const TextSink&) = delete;

    // `value` as printf's "%lf" writes it (fixed, six decimals).
    void Fixed6(double value);
    void Int(long long value);
    void Char(char c) {
        if (used_ == kSize) Drain();
        buffer_[used_++] = c;
    }
    void Text(std::string_view text);
    // Writes out what is buffered; false when any write failed.
    bool Flush();
    bool ok() const { return ok_; }
    int error() const { return error_; }  // errno of the failed write

private:
    static constexpr std::size_t kSize = 1 << 16;
    void Drain();
    int fd_;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
    bool ok_ = true;
    int error_ = 0;
};

class OutputSet {
public:
    // Where the temporary files come from: unnamed where the system allows
    // it, else named; or always named (what systems without unnamed ones get).
    enum class Temporaries { kUnnamedWherePossible, kNamed };

    explicit OutputSet(Temporaries temporaries = Temporaries::kUnnamedWherePossible);
    ~OutputSet();  // discards every output not committed
    OutputSet(const OutputSet&) = delete;
    OutputSet& operator=(const OutputSet&) = delete;

    // Writes the output that will replace `path` through `fill`, completely,
    // to a temporary file beside it. False when that fails (no room, no
    // right, a folder in the way): nothing of this output is left behind.
    bool Write(const std::string& path, const std::function<void(TextSink&)>& fill);
    // Renames every output written into place, in the order written; false at
    // the first that fails (`failed` receives its path); the ones after it are
    // discarded.
    bool Commit(std::string* failed = nullptr);
    // Discards every output not committed.
    void Discard();
    // errno of the last failure of Write or Commit.
    int error() const { return error_; }

private:
    bool Failed();
    Temporaries temporaries_;
    int error_ = 0;
    struct Pending;
    std::vector<std::unique_ptr<Pending>> pending_;
};

// Removes this process's named temporary files when SIGINT, SIGTERM or SIGHUP
// arrives, then ends the process as the signal would; a signal the process
// started with ignored stays ignored. For programs, not for the library: a
// handler is process-wide.
void RemoveTemporariesOnSignals();

}  // namespace tavri

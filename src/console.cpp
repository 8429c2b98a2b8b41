#include "console.h"

#include <cstdarg>
#include <cstdio>

namespace tavri {

void PrintNote(const std::string& text) {
    std::string line = text;
    for (char& c : line) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) c = '?';
    }
    // Standard output may be a buffered pipe: what it explains goes first.
    std::fflush(stdout);
    std::fprintf(stderr, "tavri: %s\n", line.c_str());
}

Console::Console(bool quiet, bool progress)
    : quiet_(quiet), progress_(progress && !quiet), start_(std::chrono::steady_clock::now()), last_(start_) {}

Console::~Console() { ClearProgress(); }

void Console::Out(const char* format, ...) {
    ClearProgress();
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

void Console::Note(const std::string& text) {
    if (quiet_) return;
    ClearProgress();
    PrintNote(text);
}

void Console::Progress(const std::string& text) {
    if (!progress_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - start_ < std::chrono::seconds(1) || (shown_ && now - last_ < std::chrono::milliseconds(100))) return;
    last_ = now;
    std::fflush(stdout);
    std::fprintf(stderr, "\r%s\x1b[K", text.c_str());
    std::fflush(stderr);
    shown_ = true;
}

void Console::ClearProgress() {
    if (!shown_) return;
    std::fprintf(stderr, "\r\x1b[K");
    std::fflush(stderr);
    shown_ = false;
}

}  // namespace tavri

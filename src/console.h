// The console of a run: the specified lines on standard output, explanations
// on standard error ("tavri: ..." one line each) and, on a terminal, one
// progress line updated in place and cleared before anything else is written.
#pragma once

#include <chrono>
#include <string>

namespace tavri {

// Prints "tavri: " + text as one line of standard error, after every
// standard-output line written so far. Control characters of the text (a line
// break in a file name, say) show as '?', so that the note stays one line.
void PrintNote(const std::string& text);

class Console {
public:
    // quiet: no explanations and no progress; progress: a progress line may be shown.
    Console(bool quiet, bool progress);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // A line of standard output, printf-style.
    void Out(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // An explanation: "tavri: " + text, on standard error, after every
    // standard-output line written so far.
    void Note(const std::string& text);
    // Replaces the progress line, at most ten times a second and only once
    // the run has taken about a second.
    void Progress(const std::string& text);
    void ClearProgress();
    bool quiet() const { return quiet_; }

private:
    bool quiet_;
    bool progress_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
};

}  // namespace tavri

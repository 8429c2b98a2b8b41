// Driver: the command line, the run parameters and the processing pipeline.
#pragma once

#include <cstdint>

// Slots of the run parameter vector.
enum RunSlot {
    kThresholdFloor = 0,
    kDensityPhaseSwitch = 1,
    kMutualTestSwitch = 2,
    kBalanceTestSwitch = 3,
    kU = 4,
    kFinish = 5,
    kSpareSlot = 6,
    kSampling = 7,
    kNoiseFlag = 8,
    kRunSlots = 9
};

constexpr int MAX_PROTOTYPE = 4000;  // largest row count clustered directly
constexpr int MAX_ROWS = 100000;     // rows of the file beyond this are not read (unless --max-rows says so)

// What the long options set; the defaults are the behaviour without them.
struct RunSettings {
    std::int64_t max_rows = MAX_ROWS;  // --max-rows N: rows read at most (0: every row)
    char separator = '\0';             // --sep C: fields also separated by C (',', ';' or tab)
    bool header = false;               // --header: the first line of the file is not data
    bool quiet = false;                // --quiet: no explanations and no progress on standard error
    bool progress = false;             // show progress (standard error is a terminal, not quiet)
};

// Runs one clustering job; returns the number of cluster lists, 0 on failure.
int ExecuteTavri(const char* directory, const char* file, double* vector);
int ExecuteTavri(const char* directory, const char* file, double* vector, const RunSettings& settings);

// Reads the options that follow the file name (argv[2] onwards) into the
// slots of `vector` and into `directory`; prints nothing. Words that are not
// options are skipped, an option without a value is ignored.
void ParseOptions(int argc, char** argv, double* vector, const char*& directory);

// The whole command line: usage, options, echo, pipeline, outcome line.
// Returns the process exit status.
int TavriMain(int argc, char** argv);

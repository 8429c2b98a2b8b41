// The words of the command line: the long options, what the run says about
// option words it had to guess at, the usage text and the full help.
#pragma once

#include <string>
#include <vector>

#include "mainTavri.h"

namespace tavri {

// Reads --max-rows N, --sep C, --header and --quiet among the words after
// the file name into `settings`. Returns "" or, for a malformed value, the
// explanation of what is wrong.
std::string ParseLongOptions(int argc, char** argv, RunSettings& settings);

// Explanations of the option words that the run reads in a way the user may
// not expect: unknown words, options without a value, values that are not
// numbers, -f or -s other than 0 and 1, -d naming a folder without its '/'.
std::vector<std::string> OptionNotes(int argc, char** argv);

// The usage text shown when the file name is missing (standard output).
void PrintUsage(const char* program);
// The full help (standard error, so that standard output keeps only the
// lines scripts read).
void PrintHelp(const char* program);

}  // namespace tavri

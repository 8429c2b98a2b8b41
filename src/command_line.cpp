#include "command_line.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tavri {

namespace {

bool IsShortOption(const char* word) {
    return std::strncmp(word, "-u", 2) == 0 || std::strncmp(word, "-s", 2) == 0 || std::strncmp(word, "-d", 2) == 0 ||
           std::strncmp(word, "-f", 2) == 0;
}

// Long options that take the next word as their value, and those that do not.
bool IsLongWithValue(const std::string& word) { return word == "--max-rows" || word == "--sep"; }
bool IsLongFlag(const std::string& word) { return word == "--header" || word == "--quiet"; }
bool IsLongWithGluedValue(const std::string& word) {
    return word.rfind("--max-rows=", 0) == 0 || word.rfind("--sep=", 0) == 0;
}

bool ParseRowCount(const std::string& text, std::int64_t& rows) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE) return false;
    rows = value;
    return true;
}

bool ParseSeparator(const std::string& text, char& separator) {
    if (text == "," || text == ";" || text == "\t") {
        separator = text[0];
    } else if (text == "tab" || text == "\\t") {
        separator = '\t';
    } else {
        return false;
    }
    return true;
}

std::string SetLong(const std::string& name, const std::string& value, RunSettings& settings) {
    if (name == "--max-rows") {
        if (!ParseRowCount(value, settings.max_rows))
            return "--max-rows needs a whole number of rows (0: every row), not '" + value + "'";
    } else if (!ParseSeparator(value, settings.separator)) {
        return "--sep takes ',', ';' or tab, not '" + value + "'";
    }
    return "";
}

// How "%g" shows a value, for messages.
std::string Shown(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// "atoi" on an option value, without its undefined behaviour on overflow.
long OptionInt(const char* text) {
    const long value = std::strtol(text, nullptr, 10);
    return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : value;
}

bool IsWholeNumber(const char* text) {
    char* end = nullptr;
    std::strtol(text, &end, 10);
    return end != text && *end == '\0';
}

// A word as a shell reads it back: quoted only when it must be.
std::string ShellWord(const std::string& word) {
    if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                                                "@%+=:,./_-") == std::string::npos)
        return word;
    std::string quoted = "'";
    for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// What a value word of -u, -s, -f or -d makes the run do, when it may surprise.
void NoteValue(char option, const char* value, int argc, char** argv, std::vector<std::string>& notes) {
    const std::string v = value;
    if (option == 'u') {
        char* end = nullptr;
        const double u = std::strtod(value, &end);
        if (end == value || *end != '\0')
            notes.push_back("-u " + v + " is not a number; u = " + Shown(u) + " was used" +
                            (v.find(',') != std::string::npos ? " (write the decimal point as '.')" : ""));
        return;
    }
    if (option == 'd') {
        struct stat info;
        if (v.empty() || v.back() == '/' || stat(value, &info) != 0 || !S_ISDIR(info.st_mode)) return;
        std::string meant = "tavri";
        for (int i = 1; i < argc; ++i) {
            const std::string word = argv[i];
            meant += " " + ShellWord(argv[i] == value ? word + "/" : word);
        }
        notes.push_back("-d " + v + " names a folder, but its text is put in front of the file names as it is (" +
                        v + argv[1] + "); did you mean: " + meant);
        return;
    }
    const long n = OptionInt(value);
    if (!IsWholeNumber(value))
        notes.push_back(std::string("-") + option + " " + v + " is not a whole number; " + std::to_string(n) +
                        " was used");
    if (option == 'f' && n != 0 && n != 1)
        notes.push_back("-f " + std::to_string(n) + " attaches the noise as -f 1 does (use 0 or 1)");
    if (option == 's' && n != 0 && n != 1)
        notes.push_back("-s " + std::to_string(n) + " turns sampling off: only 1 turns it on (use 0 or 1)");
}

}  // namespace

std::string ParseLongOptions(int argc, char** argv, RunSettings& settings) {
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        if (IsLongFlag(word)) {
            (word == "--header" ? settings.header : settings.quiet) = true;
        } else if (IsLongWithValue(word)) {
            if (i + 1 >= argc) return word + " needs a value";
            const std::string error = SetLong(word, argv[++i], settings);
            if (!error.empty()) return error;
        } else if (IsLongWithGluedValue(word)) {
            const std::size_t equals = word.find('=');
            const std::string error = SetLong(word.substr(0, equals), word.substr(equals + 1), settings);
            if (!error.empty()) return error;
        }
    }
    return "";
}

std::vector<std::string> OptionNotes(int argc, char** argv) {
    std::vector<std::string> notes;
    // Whether each word is the value of the word before it.
    std::vector<bool> is_value(static_cast<std::size_t>(argc), false);
    for (int i = 2; i + 1 < argc; ++i)
        if (IsShortOption(argv[i]) || IsLongWithValue(argv[i])) is_value[static_cast<std::size_t>(i + 1)] = true;
    for (int i = 2; i < argc; ++i) {
        const std::string word = argv[i];
        const bool value = is_value[static_cast<std::size_t>(i)];
        if (IsShortOption(argv[i])) {
            if (value && IsShortOption(argv[i - 1]))
                notes.push_back("'" + word + "' is the value of " + std::string(argv[i - 1], 2) +
                                " and is read as an option too: give " + std::string(argv[i - 1], 2) +
                                " a value of its own");
            if (word.size() > 2)
                notes.push_back("'" + word + "' is read as " + word.substr(0, 2) +
                                ", whose value is the next word: only the first two characters of an option count "
                                "(write " + word.substr(0, 2) + " " + word.substr(2) + ")");
            if (i + 1 >= argc)
                notes.push_back(word.substr(0, 2) + " has no value and was ignored");
            else
                NoteValue(word[1], argv[i + 1], argc, argv, notes);
        } else if (!value && !IsLongFlag(word) && !IsLongWithValue(word) && !IsLongWithGluedValue(word)) {
            std::string note = "unknown option '" + word + "' was skipped";
            if (word.size() == 3 && word.rfind("--", 0) == 0 && std::strchr("usdf", word[2]) != nullptr)
                note += " (did you mean -" + word.substr(2) + "?)";
            else if (!word.empty() && word[0] == '-')
                note += " (see tavri --help)";
            else
                note += ": it follows no option";
            notes.push_back(note);
        }
    }
    return notes;
}

void PrintUsage(const char* program) {
    std::printf("\nThe program %s needs 1 argument: ", program);
    std::printf("\n\t* the file name;");
    std::printf("\nOptions: ");
    std::printf("\n\t* -u the u parameter (default:  0.04)");
    std::printf("\n\t* -f the finish parameter (default:  0), when 1 noise points are assigned a cluster label");
    std::printf("\n\t* -d directory for input and output data (default: current)");
    std::printf(
        "\n\t* -s sampling as a preprocessing step (default: 1, sampling is done when data size is higher than "
        "MAX_PROTOTYPE=4000)");
    std::printf("\n");
}

void PrintHelp(const char* program) {
    std::fprintf(stderr,
        "Usage: %s FILE [-u U] [-f F] [-d DIR] [-s S] [--max-rows N] [--sep C] [--header] [--quiet]\n"
        "       %s --help | -h | --version\n"
        "\n"
        "Clusters the rows of FILE, a text file of numbers (one point a line, the same\n"
        "count of numbers on every line, separated by spaces or tabs), without being\n"
        "told how many clusters there are.\n"
        "\n"
        "Options (each value is the next word; the last occurrence wins):\n"
        "  -u U          balance threshold of the density merging (default 0.04); larger\n"
        "                values refuse more merges of groups that touch unevenly\n"
        "  -f F          0 (default): groups too small to be clusters are reported as\n"
        "                noise; any other integer: they join the nearest cluster\n"
        "  -d DIR        text put in front of FILE and of every output name, as it is\n"
        "                (default: none): give the trailing '/' yourself, -d out/\n"
        "  -s S          1 (default): files of more than 4000 rows are first reduced to\n"
        "                at most 4000 prototypes; any other integer: they are refused\n"
        "  --max-rows N  read at most N rows (default 100000; 0: every row)\n"
        "  --sep C       fields are also separated by C: ',' ';' or tab (--sep tab)\n"
        "  --header      the first line of FILE is a header, not data\n"
        "  --quiet       no explanations and no progress on standard error\n"
        "  -h, --help    this help\n"
        "  --version     the version\n"
        "Only the first two characters of -u, -f, -d and -s count (-u0.3 is -u); a\n"
        "value that is not a number reads as 0, and -f and -s take its integer part.\n"
        "\n"
        "Output files, beside FILE (behind DIR):\n"
        "  normFILE      the data standardised (mean 0, deviation 1 per column)\n"
        "  S_normFILE    the prototype rows (files of more than 4000 rows)\n"
        "  CTavri-FILE   each point clustered (the rows, or the prototypes), its\n"
        "                coordinates each followed by a tab, then its label\n"
        "  LTavri-FILE   the label of every row read, in input order\n"
        "  RTavri-FILE   one line: lists=L clusters=C noise=N rows=R points=P sampled=S\n"
        "Labels run from 0; when the run reports noise (noise=1), the highest label is\n"
        "the noise. A run writes all of its files or, when it fails, none of them.\n"
        "\n"
        "Exit status: 0 on success (and for --help and --version); 1 when FILE is\n"
        "missing or the run failed (the reason is printed).\n"
        "\n"
        "Examples:\n"
        "  %s blobs.txt\n"
        "      cluster blobs.txt; small groups are reported as noise\n"
        "  %s data.csv --sep , --header -f 1 --max-rows 0\n"
        "      a CSV file with a header, every row of it, no point left as noise\n",
        program, program, program, program);
}

}  // namespace tavri

// libFuzzer target for the input layer: the fuzz bytes become a data file that
// is measured, read and standardised as a run does it, read again in small
// pieces as lines too long to hold are read, and are also split into
// command-line words for the option parser. Besides the sanitizers, each step
// is checked against what the README promises.
//
//   cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DTAVRI_FUZZ=ON
//   cmake --build build-fuzz --target fuzz_input
//   build-fuzz/fuzz_input -dict=fuzz/input.dict NEW_CORPUS_DIR fuzz/corpus
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "data_file.h"
#include "mainTavri.h"
#include "util.h"

namespace {

// Larger tables would only exercise the allocator.
constexpr long long kMaxCells = 1LL << 22;
constexpr int kMaxWords = 64;

#define FUZZ_CHECK(cond)                                                                 \
    do {                                                                                 \
        if (!(cond)) {                                                                   \
            std::fprintf(stderr, "check failed at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                \
        }                                                                                \
    } while (0)

std::string& DataPath() {
    static std::string path;
    return path;
}

void RemoveDataFile() {
    if (!DataPath().empty()) unlink(DataPath().c_str());
}

// One file for the whole process, rewritten for every input.
const char* PrepareDataPath() {
    if (DataPath().empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tavri-fuzz-XXXXXX";
        const int fd = mkstemp(templ.data());
        FUZZ_CHECK(fd >= 0);
        close(fd);
        DataPath() = templ;
        std::atexit(RemoveDataFile);
    }
    return DataPath().c_str();
}

bool WriteAll(const char* path, const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return false;
    const bool ok = std::fwrite(data, 1, size, file) == size;
    return (std::fclose(file) == 0) && ok;
}

bool SameDouble(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The "%lf" form of the output files, against the C library's own.
void CheckFixedFormat(double value) {
    std::string ours;
    AppendFixed6(ours, value);
    char reference[400];
    const int len = std::snprintf(reference, sizeof reference, "%lf", value);
    FUZZ_CHECK(len > 0 && static_cast<std::size_t>(len) < sizeof reference);
    FUZZ_CHECK(ours == std::string(reference, static_cast<std::size_t>(len)));
}

// The first `rows` lines split at spaces, tabs and carriage returns, the way
// an accepted file is laid out (after a byte order mark, which is not data).
std::vector<std::vector<std::string>> Tokens(const std::uint8_t* data, std::size_t size, int rows) {
    std::vector<std::vector<std::string>> lines;
    std::size_t pos = size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    while (static_cast<int>(lines.size()) < rows && pos <= size) {
        std::size_t end = pos;
        while (end < size && data[end] != '\n') ++end;
        std::vector<std::string> words;
        std::string word;
        for (std::size_t k = pos; k < end; ++k) {
            const char c = static_cast<char>(data[k]);
            if (c == ' ' || c == '\t' || c == '\r') {
                if (!word.empty()) words.push_back(word);
                word.clear();
            } else {
                word.push_back(c);
            }
        }
        if (!word.empty()) words.push_back(word);
        lines.push_back(words);
        pos = end + 1;
    }
    return lines;
}

void FuzzDataFile(const std::uint8_t* data, std::size_t size) {
    const char* path = PrepareDataPath();
    if (!WriteAll(path, data, size)) return;

    int rows = -7;
    int cols = -7;
    const int measured = ExtraitDimensionFile(path, rows, cols);
    // The file exists, so -1 can only mean differing column counts.
    FUZZ_CHECK(rows >= 0 && cols >= 0);
    FUZZ_CHECK(static_cast<std::size_t>(cols) <= size);
    if (measured == -1) {
        FUZZ_CHECK(rows >= 1);
        return;
    }
    FUZZ_CHECK(measured == rows);
    if (rows == 0 || cols == 0) return;

    rows = min(rows, MAX_ROWS);
    if (static_cast<long long>(rows) * cols > kMaxCells) return;
    double** matrix = Reservmemdouble(rows, cols);
    FUZZ_CHECK(matrix != nullptr);
    int bad_line = -1;
    const int read = LitFichier2DS(path, rows, cols, matrix, &bad_line);
    if (read == 0) {
        FUZZ_CHECK(bad_line >= 1 && bad_line <= rows);
    } else {
        FUZZ_CHECK(read == 1 && bad_line == 0);
        // Every accepted token is a whole decimal number (no hexadecimal, nan
        // or inf spelling), finite, and strtod reads the same value from it.
        const auto lines = Tokens(data, size, rows);
        FUZZ_CHECK(static_cast<int>(lines.size()) == rows);
        for (int i = 0; i < rows; ++i) {
            FUZZ_CHECK(static_cast<int>(lines[i].size()) == cols);
            for (int j = 0; j < cols; ++j) {
                const std::string& token = lines[i][j];
                FUZZ_CHECK(token.find_first_not_of("0123456789+-.eE") == std::string::npos);
                char* end = nullptr;
                const double expected = std::strtod(token.c_str(), &end);
                FUZZ_CHECK(end == token.c_str() + token.size());
                FUZZ_CHECK(std::isfinite(matrix[i][j]));
                FUZZ_CHECK(SameDouble(expected, matrix[i][j]));
                CheckFixedFormat(matrix[i][j]);
            }
        }
        std::vector<bool> constant(static_cast<std::size_t>(cols), true);
        for (int j = 0; j < cols; ++j)
            for (int i = 1; i < rows; ++i) constant[j] = constant[j] && matrix[i][j] == matrix[0][j];
        NormaliseEcartType(matrix, rows, cols);
        for (int j = 0; j < cols; ++j) {
            for (int i = 0; i < rows; ++i) {
                if (constant[j]) FUZZ_CHECK(SameDouble(matrix[i][j], 0.0));
                CheckFixedFormat(matrix[i][j]);
            }
        }
    }
    Delete2D(matrix, rows);
}

bool SameBits(const tavri::ValueBuffer& a, const tavri::ValueBuffer& b) {
    return a.size() == b.size() && (a.size() == 0 || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

// Lines too long to hold are read piece by piece; the outcome must be the one
// of reading them whole, in the plain layout and with a separator.
void FuzzLongLines(std::size_t size) {
    const char* path = PrepareDataPath();
    for (const char separator : {'\0', ','}) {
        tavri::ReadOptions whole;
        whole.separator = separator;
        whole.max_rows = 50;
        tavri::ReadOptions pieces = whole;
        pieces.line_limit = 1 + size % 7;
        const tavri::DataTable a = tavri::ReadDataFile(path, whole);
        const tavri::DataTable b = tavri::ReadDataFile(path, pieces);
        FUZZ_CHECK(a.status == b.status && a.rows == b.rows && a.cols == b.cols && a.lines == b.lines);
        FUZZ_CHECK(a.kept_rows == b.kept_rows && a.kept_cols == b.kept_cols && SameBits(a.values, b.values));
        FUZZ_CHECK(a.fault.kind == b.fault.kind && a.fault.line == b.fault.line && a.fault.column == b.fault.column);
        // A field past the columns of the first line is named only when read whole.
        const bool first_line_extra = a.fault.kind == tavri::FaultKind::kExtraField && a.fault.line == a.first_data_line;
        FUZZ_CHECK(a.fault.token == b.fault.token || (first_line_extra && b.fault.token.empty()));
        FUZZ_CHECK(a.blank_line == b.blank_line && a.lines_after_blank == b.lines_after_blank);
        FUZZ_CHECK(a.first_line_has_words == b.first_line_has_words && a.mismatch_line == b.mismatch_line);
    }
}

// The words of the input (split at white space) after a program and a file name.
void FuzzOptions(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words = {"tavri", "data.txt"};
    std::string word;
    for (std::size_t k = 0; k <= size && static_cast<int>(words.size()) < kMaxWords; ++k) {
        const char c = k < size ? static_cast<char>(data[k]) : ' ';
        if (c == ' ' || c == '\t' || c == '\n' || c == '\0') {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word.push_back(c);
        }
    }
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    const double defaults[kRunSlots] = {0.15, 1.0, 1.0, 1.0, 0.04, 0.0, 0.0, 1.0, -3.0};
    double vector[kRunSlots];
    std::memcpy(vector, defaults, sizeof vector);
    const char* directory = nullptr;
    ParseOptions(argc, argv.data(), vector, directory);

    // The last occurrence of an option that has a following word wins.
    auto last = [&](const char* option) {
        int found = -1;
        for (int i = 2; i + 1 < argc; ++i)
            if (std::strncmp(argv[i], option, 2) == 0) found = i + 1;
        return found;
    };
    auto as_int = [](const char* text) {
        const long v = std::strtol(text, nullptr, 10);
        return static_cast<double>(v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v);
    };
    for (int slot : {kThresholdFloor, kDensityPhaseSwitch, kMutualTestSwitch, kBalanceTestSwitch, kSpareSlot,
                     kNoiseFlag})
        FUZZ_CHECK(SameDouble(vector[slot], defaults[slot]));
    const int u = last("-u");
    FUZZ_CHECK(SameDouble(vector[kU], u < 0 ? defaults[kU] : std::strtod(argv[u], nullptr)));
    const int s = last("-s");
    FUZZ_CHECK(SameDouble(vector[kSampling], s < 0 ? defaults[kSampling] : as_int(argv[s])));
    const int f = last("-f");
    FUZZ_CHECK(SameDouble(vector[kFinish], f < 0 ? defaults[kFinish] : as_int(argv[f])));
    const int d = last("-d");
    FUZZ_CHECK(directory == (d < 0 ? nullptr : argv[d]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzDataFile(data, size);
    FuzzLongLines(size);
    FuzzOptions(data, size);
    return 0;
}

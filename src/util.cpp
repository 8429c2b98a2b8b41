#include "util.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// ---- Matrices and arrays -------------------------------------------------

namespace {

template <typename T>
T** ReserveMatrix(int rows, int cols) {
    T** matrix = new (std::nothrow) T*[static_cast<std::size_t>(rows)];
    if (matrix == nullptr) return nullptr;
    for (int i = 0; i < rows; ++i) {
        matrix[i] = new (std::nothrow) T[static_cast<std::size_t>(cols)];
        if (matrix[i] == nullptr) {
            for (int j = 0; j < i; ++j) delete[] matrix[j];
            delete[] matrix;
            return nullptr;
        }
    }
    return matrix;
}

template <typename T>
void DeleteMatrix(T** matrix, int rows) {
    if (matrix == nullptr) return;
    for (int i = 0; i < rows; ++i) {
        delete[] matrix[i];
        matrix[i] = nullptr;
    }
    delete[] matrix;
}

}  // namespace

double** Reservmemdouble(int rows, int cols) { return ReserveMatrix<double>(rows, cols); }
int** Reservmemint(int rows, int cols) { return ReserveMatrix<int>(rows, cols); }
int* Reservememint(int n) { return new (std::nothrow) int[static_cast<std::size_t>(n)]; }
void Delete2D(double** matrix, int rows) { DeleteMatrix(matrix, rows); }
void Delete2D(int** matrix, int rows) { DeleteMatrix(matrix, rows); }
void Delete1D(int* values) { delete[] values; }
void Delete1D(double* values) { delete[] values; }

int CopyTo(double** src, int src_rows, int src_cols, double** dst, int dst_rows, int dst_cols) {
    if (dst_cols < src_cols || dst_rows < src_rows) return 0;
    for (int i = 0; i < src_rows; ++i) std::copy(src[i], src[i] + src_cols, dst[i]);
    return 1;
}

int min(int a, int b) { return a <= b ? a : b; }
int max(int a, int b) { return a >= b ? a : b; }

// ---- Text data files -----------------------------------------------------

namespace {

bool IsBlankChar(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }
bool IsSeparator(char c) { return c == '\t' || c == ' '; }
// The characters a C "%lf" conversion skips before a number.
bool IsScanSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool StartsWithWord(const char* p, const char* end, const char* word) {
    for (; *word != '\0'; ++p, ++word) {
        if (p == end || (*p | 0x20) != *word) return false;
    }
    return true;
}

// Whether a C "%lf" conversion starting at p finds a number (it skips white
// space first and accepts the forms strtod accepts: decimal, hex, inf, nan).
bool ScanFindsNumber(const char* p, const char* end) {
    while (p != end && IsScanSpace(*p)) ++p;
    if (p != end && (*p == '+' || *p == '-')) ++p;
    if (p == end) return false;
    if (IsDigit(*p)) return true;
    if (*p == '.') return p + 1 != end && IsDigit(p[1]);
    return StartsWithWord(p, end, "inf") || StartsWithWord(p, end, "nan");
}

bool IsBlankLine(std::string_view line) {
    for (char c : line)
        if (!IsBlankChar(c)) return false;
    return true;
}

// Reads a file line by line through a large buffer; lines of any length come
// back whole, without their line feed. NUL bytes are kept as characters.
class LineReader {
public:
    // The buffer is left uninitialised: filling 1 MiB with zeros costs more
    // than reading a small file.
    explicit LineReader(const char* path) : file_(std::fopen(path, "rb")), buffer_(new char[kBufferSize]) {}
    ~LineReader() {
        if (file_ != nullptr) std::fclose(file_);
    }
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    bool IsOpen() const { return file_ != nullptr; }
    // A read error (a folder opened as a file, an I/O error) is not the end of
    // the data: the callers must not take what came before it as the whole file.
    bool Failed() const { return failed_; }

    // False at the end of the file; a last line without a line feed still counts.
    bool Next(std::string_view& line) {
        pending_.clear();
        bool have_pending = false;
        for (;;) {
            if (pos_ == end_) {
                if (!Refill()) {
                    if (!have_pending) return false;
                    line = pending_;
                    return true;
                }
            }
            const char* start = buffer_.get() + pos_;
            const void* nl = std::memchr(start, '\n', end_ - pos_);
            if (nl != nullptr) {
                std::size_t len = static_cast<const char*>(nl) - start;
                pos_ += len + 1;
                if (!have_pending) {
                    line = std::string_view(start, len);
                } else {
                    pending_.append(start, len);
                    line = pending_;
                }
                return true;
            }
            pending_.append(start, end_ - pos_);
            have_pending = true;
            pos_ = end_;
        }
    }

private:
    bool Refill() {
        if (file_ == nullptr) return false;
        end_ = std::fread(buffer_.get(), 1, kBufferSize, file_);
        pos_ = 0;
        if (end_ == 0 && std::ferror(file_) != 0) failed_ = true;
        return end_ > 0;
    }

    static constexpr std::size_t kBufferSize = 1 << 20;
    std::FILE* file_;
    std::unique_ptr<char[]> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    std::string pending_;
    bool failed_ = false;
};

// One complete finite decimal number: [+-] digits [. digits] | [+-] . digits,
// then an optional exponent; nothing else. Returns false otherwise.
bool ParseStrictNumber(const char* first, const char* last, double& value) {
    const char* p = first;
    if (p != last && (*p == '+' || *p == '-')) ++p;
    const char* mantissa = p;
    std::size_t digits = 0;
    while (p != last && IsDigit(*p)) ++p, ++digits;
    if (p != last && *p == '.') {
        ++p;
        while (p != last && IsDigit(*p)) ++p, ++digits;
    }
    if (digits == 0) return false;
    if (p != last && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p != last && (*p == '+' || *p == '-')) ++p;
        const char* exponent = p;
        while (p != last && IsDigit(*p)) ++p;
        if (p == exponent) return false;
    }
    if (p != last) return false;

    double magnitude = 0.0;
    auto result = std::from_chars(mantissa, last, magnitude, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        // Out of range either way: an overflow is refused, an underflow reads
        // as the C library reads it (zero or a subnormal).
        std::string token(mantissa, last);
        magnitude = std::strtod(token.c_str(), nullptr);
        if (std::isinf(magnitude)) return false;
    } else if (result.ec != std::errc() || result.ptr != last) {
        return false;
    }
    value = (*first == '-') ? -magnitude : magnitude;
    return true;
}

}  // namespace

int BufferValide(const char* text, int length) {
    if (!IsBlankChar(text[0])) return length > 0 ? 1 : 0;
    for (int i = 1; i < length; ++i)
        if (!IsBlankChar(text[i])) return 1;
    return 0;
}

int ReturnColonne(const char* line) {
    if (line == nullptr) return 0;
    return ReturnColonne(line, std::strlen(line));
}

int ReturnColonne(const char* line, std::size_t length) {
    if (line == nullptr) return 0;
    const char* end = line + length;
    const char* p = line;
    while (p != end && IsSeparator(*p)) ++p;
    int columns = 0;
    while (p != end) {
        if (!ScanFindsNumber(p, end)) break;
        ++columns;
        while (p != end && !IsSeparator(*p)) ++p;
        if (p == end) break;
        while (p != end && (IsSeparator(*p) || *p == '\n')) ++p;
    }
    return columns;
}

int ExtraitDimensionFile(const char* path, int& rows, int& cols) {
    LineReader reader(path);
    if (!reader.IsOpen()) return -1;
    int line_count = 0;
    int column_count = 0;
    std::string_view line;
    while (reader.Next(line)) {
        if (IsBlankLine(line)) break;
        int n = ReturnColonne(line.data(), line.size());
        if (line_count > 0 && n != column_count) {
            rows = line_count;
            cols = n;
            return -1;
        }
        ++line_count;
        column_count = n;
    }
    if (reader.Failed()) return -1;
    rows = line_count;
    cols = column_count;
    return line_count;
}

int LitFichier2DS(const char* path, int rows, int cols, double** matrix, int* bad_line) {
    if (bad_line != nullptr) *bad_line = 0;
    LineReader reader(path);
    if (!reader.IsOpen()) return 0;
    std::string_view line;
    for (int i = 0; i < rows; ++i) {
        const bool got = reader.Next(line);
        const char* p = got ? line.data() : nullptr;
        const char* end = got ? line.data() + line.size() : nullptr;
        int j = 0;
        bool well_formed = got;
        while (well_formed) {
            while (p != end && (IsSeparator(*p) || *p == '\r')) ++p;
            if (p == end) break;
            const char* token = p;
            while (p != end && !IsSeparator(*p) && *p != '\r') ++p;
            well_formed = j < cols && ParseStrictNumber(token, p, matrix[i][j]);
            ++j;
        }
        if (reader.Failed()) return 0;
        if (!well_formed || j != cols) {
            if (bad_line != nullptr) *bad_line = i + 1;
            return 0;
        }
    }
    return 1;
}

void AppendFixed6(std::string& out, double value) {
    char text[400];
    if (std::isfinite(value)) {
        auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
        out.append(text, result.ptr);
    } else {
        int len = std::snprintf(text, sizeof text, "%lf", value);
        out.append(text, static_cast<std::size_t>(len));
    }
}

void AppendInt(std::string& out, int value) {
    char text[16];
    auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, result.ptr);
}

int WriteFileAtomically(const std::string& path, const std::string& contents) {
    std::string temp = path + ".tmpXXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) return 0;
    // mkstemp creates the file private; give it the mode fopen("w") would have.
    mode_t mask = umask(0);
    umask(mask);
    bool ok = fchmod(fd, 0666 & ~mask) == 0;
    const char* data = contents.data();
    std::size_t left = contents.size();
    while (ok && left > 0) {
        ssize_t written = write(fd, data, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            ok = false;
            break;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    ok = ok && std::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) std::remove(temp.c_str());
    return ok ? 1 : 0;
}

int EcritFichier2D(const char* path, int rows, int cols, double** matrix) {
    std::string text;
    text.reserve(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols > 0 ? cols : 0) * 12 + rows);
    for (int i = 0; i < rows; ++i) {
        for (int j = 0; j < cols; ++j) {
            AppendFixed6(text, matrix[i][j]);
            text.push_back('\t');
        }
        text.push_back('\n');
    }
    return WriteFileAtomically(path, text);
}

int EcritFichier1D(const char* path, int n, const double* values) {
    std::FILE* file = std::fopen(path, "w");
    if (file == nullptr) return 0;
    for (int i = 0; i < n; ++i) std::fprintf(file, "%6.4lf\n", values[i]);
    std::fclose(file);
    return 1;
}

int LoadFichier1D(const char* path, int n, double* values) {
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) return 0;
    for (int i = 0; i < n; ++i) {
        // At the end of the file the entry is left as it was and the loop goes on.
        if (std::fscanf(file, "%lf", &values[i]) == 0) {
            std::fclose(file);
            return 0;
        }
    }
    std::fclose(file);
    return 1;
}

int EcritFile(const char* path, int mode, const double* values, int n) {
    std::FILE* file = std::fopen(path, mode == 1 ? "w" : "a");
    if (file == nullptr) return 0;
    for (int i = 0; i < n; ++i) std::fprintf(file, "%lf\n", values[i]);
    std::fputc('\n', file);
    std::fclose(file);
    return 1;
}

// ---- Statistics ----------------------------------------------------------

void CalculusStatVector(const double* values, int n, double& mean, double& deviation) {
    mean = 0.0;
    deviation = 0.0;
    double sum = 0.0;
    for (int i = 0; i < n; ++i) sum += values[i];
    mean = sum / static_cast<double>(n);
    double squares = 0.0;
    for (int i = 0; i < n; ++i) squares += (mean - values[i]) * (mean - values[i]);
    deviation = std::sqrt(squares / static_cast<double>(n));
}

void NormaliseEcartType(double** matrix, int rows, int cols) {
    if (rows <= 0) return;
    std::vector<double> column(static_cast<std::size_t>(rows));
    for (int j = 0; j < cols; ++j) {
        bool constant = true;
        for (int i = 0; i < rows; ++i) {
            column[i] = matrix[i][j];
            constant = constant && column[i] == column[0];
        }
        if (constant) {
            // All values equal: 0/0 would poison every distance; the column carries no information.
            for (int i = 0; i < rows; ++i) matrix[i][j] = 0.0;
            continue;
        }
        double mean = 0.0;
        double deviation = 0.0;
        CalculusStatVector(column.data(), rows, mean, deviation);
        for (int i = 0; i < rows; ++i) matrix[i][j] = (matrix[i][j] - mean) / deviation;
    }
}

void CalculusStatVectorBool(const double* values, int n, const int* mask, double& mean, double& deviation,
                            double& minimum, double& maximum) {
    deviation = 0.0;
    mean = 0.0;
    minimum = 10000.0;
    maximum = -10000.0;
    if (n <= 0) return;
    int count = 0;
    for (int i = 0; i < n; ++i) {
        if (mask[i] != 1) continue;
        mean += values[i];
        if (minimum > values[i]) minimum = values[i];
        if (values[i] > maximum) maximum = values[i];
        ++count;
    }
    if (count == 0) {
        mean = 0.0;
        deviation = 0.0;
        return;
    }
    mean = mean / count;
    double squares = 0.0;
    for (int i = 0; i < n; ++i)
        if (mask[i] == 1) squares += (mean - values[i]) * (mean - values[i]);
    deviation = std::sqrt(squares / count);
}

// ---- Distances -----------------------------------------------------------

double d_Eucl(const double* a, const double* b, int dims) {
    if (dims <= 0) return 0.0;
    double sum = 0.0;
    for (int i = 0; i < dims; ++i) {
        const double diff = a[i] - b[i];
        sum += diff * diff;
    }
    return sum == 0.0 ? 0.0 : std::sqrt(sum);
}

double Dist_eucl(const double* a, const double* b, int dims) { return d_Eucl(a, b, dims); }

void GenereMatriceDistance(double** points, int n, int dims, const int* subset, double** matrix,
                           DistanceFn distance) {
    if (n <= 0) return;
    for (int i = 0; i < n; ++i) matrix[i][i] = 0.0;
    auto point = [&](int k) { return subset != nullptr ? points[subset[k]] : points[k]; };
    for (int i = 0; i < n - 1; ++i) {
        const double* pi = point(i);
        for (int j = i + 1; j < n; ++j) {
            const double d = distance(pi, point(j), dims);
            matrix[i][j] = d;
            matrix[j][i] = d;
        }
    }
}

// ---- qsort comparators ---------------------------------------------------

namespace {
template <typename T>
int Descending(const void* a, const void* b) {
    const T x = *static_cast<const T*>(a);
    const T y = *static_cast<const T*>(b);
    return (x <= y) ? 1 : -1;  // NaN fails the test and sorts first
}
template <typename T>
int Ascending(const void* a, const void* b) {
    const T x = *static_cast<const T*>(a);
    const T y = *static_cast<const T*>(b);
    return (x <= y) ? -1 : 1;
}
}  // namespace

int tri_decroissant(const void* a, const void* b) { return Descending<double>(a, b); }
int tri_decroissant_double(const void* a, const void* b) { return Descending<double>(a, b); }
int tri_decroissant_int(const void* a, const void* b) { return Descending<int>(a, b); }
int tri_croissant(const void* a, const void* b) { return Ascending<double>(a, b); }
int tri_croissant_int(const void* a, const void* b) { return Ascending<int>(a, b); }

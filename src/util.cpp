#include "util.h"

#include "data_file.h"
#include "output_files.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <charconv>
#include <cmath>
#include <cstdint>
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
// The pipeline reads its data in one pass (data_file.h); these keep the
// two-step interface of measuring, then reading, on the same reader.

namespace {
bool IsBlankChar(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }
int ClampToInt(std::int64_t value) { return value > INT_MAX ? INT_MAX : static_cast<int>(value); }
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

int ReturnColonne(const char* line, std::size_t length) { return ClampToInt(tavri::CountColumns(line, length)); }

int ExtraitDimensionFile(const char* path, int& rows, int& cols) {
    tavri::ReadOptions options;
    options.keep_values = false;
    options.scan_after_blank = false;
    const tavri::DataTable table = tavri::ReadDataFile(path, options);
    if (table.status == tavri::ReadStatus::kCannotOpen || table.status == tavri::ReadStatus::kReadError) return -1;
    rows = ClampToInt(table.rows);
    cols = ClampToInt(table.cols);
    return table.status == tavri::ReadStatus::kColumnMismatch ? -1 : rows;
}

int LitFichier2DS(const char* path, int rows, int cols, double** matrix, int* bad_line) {
    if (bad_line != nullptr) *bad_line = 0;
    if (rows <= 0 || cols <= 0) {  // nothing to read, but the file must open
        std::FILE* file = std::fopen(path, "rb");
        if (file == nullptr) return 0;
        std::fclose(file);
        return 1;
    }
    tavri::ReadOptions options;
    options.max_rows = rows;
    options.max_cols = cols;
    options.exact_columns = cols;
    const tavri::DataTable table = tavri::ReadDataFile(path, options);
    if (table.status != tavri::ReadStatus::kOk || table.out_of_memory) return 0;
    if (table.fault.kind != tavri::FaultKind::kNone) {
        if (bad_line != nullptr) *bad_line = ClampToInt(table.fault.line);
        return 0;
    }
    const double* values = table.values.data();
    for (int i = 0; i < rows; ++i)
        std::copy(values + static_cast<std::size_t>(i) * cols, values + static_cast<std::size_t>(i + 1) * cols, matrix[i]);
    return 1;
}

void AppendFixed6(std::string& out, double value) {
    char text[tavri::kFixed6Room];
    out.append(text, tavri::FormatFixed6(value, text));
}

void AppendInt(std::string& out, int value) {
    char text[16];
    auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, result.ptr);
}

int WriteFileAtomically(const std::string& path, const std::string& contents) {
    tavri::OutputSet outputs;
    return outputs.Write(path, [&contents](tavri::TextSink& sink) { sink.Text(contents); }) && outputs.Commit() ? 1
                                                                                                              : 0;
}

int EcritFichier2D(const char* path, int rows, int cols, double** matrix) {
    tavri::OutputSet outputs;
    const bool written = outputs.Write(path, [&](tavri::TextSink& sink) {
        for (int i = 0; i < rows; ++i) {
            for (int j = 0; j < cols; ++j) {
                sink.Fixed6(matrix[i][j]);
                sink.Char('\t');
            }
            sink.Char('\n');
        }
    });
    return written && outputs.Commit() ? 1 : 0;
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

namespace {

// Standardisation of rows x cols values reached through at(i, j). Every
// column's sums run over its values in row order, as CalculusStatVector runs
// them; the columns are summed side by side in one sweep over the rows.
template <typename At>
void Standardise(At at, std::size_t rows, std::size_t cols, double* mean_out, double* scale_out) {
    if (rows == 0) return;
    const double n = static_cast<double>(rows);
    std::vector<double> sum(cols, 0.0), squares(cols, 0.0), largest(cols, 0.0);
    std::vector<char> constant(cols, 1);
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < cols; ++j) {
            const double v = at(i, j);
            sum[j] += v;
            constant[j] = constant[j] && v == at(0, j);
            const double magnitude = std::fabs(v);
            if (magnitude > largest[j]) largest[j] = magnitude;
        }
    }
    std::vector<double> mean(cols);
    for (std::size_t j = 0; j < cols; ++j) mean[j] = sum[j] / n;
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < cols; ++j) {
            const double v = at(i, j);
            squares[j] += (mean[j] - v) * (mean[j] - v);
        }
    }
    // Per column: the exponent e of the scaling (0: none), the mean and the deviation.
    std::vector<int> exponent(cols, 0);
    std::vector<double> deviation(cols);
    for (std::size_t j = 0; j < cols; ++j) {
        deviation[j] = std::sqrt(squares[j] / n);
        if (constant[j] || (std::isfinite(sum[j]) && std::isfinite(squares[j]) && squares[j] >= DBL_MIN)) continue;
        // Overflow or underflow: the same formulas in the same order on the
        // values scaled so that the largest magnitude lies in [0.5, 1).
        int e = 0;
        std::frexp(largest[j], &e);
        exponent[j] = e;
        double scaled_sum = 0.0;
        for (std::size_t i = 0; i < rows; ++i) scaled_sum += std::ldexp(at(i, j), -e);
        mean[j] = scaled_sum / n;
        double scaled_squares = 0.0;
        for (std::size_t i = 0; i < rows; ++i) {
            const double v = std::ldexp(at(i, j), -e);
            scaled_squares += (mean[j] - v) * (mean[j] - v);
        }
        deviation[j] = std::sqrt(scaled_squares / n);
    }
    for (std::size_t j = 0; j < cols; ++j) {
        // A constant column stands for its value, scale 1 (it becomes 0).
        if (mean_out != nullptr) mean_out[j] = constant[j] ? at(0, j) : std::ldexp(mean[j], exponent[j]);
        if (scale_out != nullptr) scale_out[j] = constant[j] ? 1.0 : std::ldexp(deviation[j], exponent[j]);
    }
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < cols; ++j) {
            double& v = at(i, j);
            if (constant[j]) {
                // All values equal: 0/0 would poison every distance; the column carries no information.
                v = 0.0;
            } else if (exponent[j] == 0) {
                v = (v - mean[j]) / deviation[j];
            } else {
                v = (std::ldexp(v, -exponent[j]) - mean[j]) / deviation[j];
            }
        }
    }
}

}  // namespace

void NormaliseEcartType(double** matrix, int rows, int cols) {
    if (rows <= 0 || cols <= 0) return;
    Standardise([matrix](std::size_t i, std::size_t j) -> double& { return matrix[i][j]; },
                static_cast<std::size_t>(rows), static_cast<std::size_t>(cols), nullptr, nullptr);
}

void StandardiseColumns(double* data, std::size_t rows, std::size_t cols, double* mean, double* scale) {
    if (cols == 0) return;
    Standardise([data, cols](std::size_t i, std::size_t j) -> double& { return data[i * cols + j]; }, rows, cols,
                mean, scale);
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

// ---- Rows ------------------------------------------------------------------

std::vector<int> DistinctRows(const double* data, std::size_t rows, std::size_t cols,
                              std::vector<int>& point_of_row) {
    point_of_row.assign(rows, 0);
    std::vector<int> firsts;
    // Open addressing over a power-of-two table at most half full; -1 marks a free slot.
    std::size_t size = 16;
    while (size < 2 * rows) size *= 2;
    std::vector<int> slot_point(size, -1);
    auto row = [&](std::size_t r) { return data + r * cols; };
    auto hash = [&](const double* x) {
        std::uint64_t h = 1469598103934665603ULL;
        for (std::size_t j = 0; j < cols; ++j) {
            const double v = x[j] + 0.0;  // -0.0 + 0.0 is 0.0: equal values hash alike
            std::uint64_t bits = 0;
            std::memcpy(&bits, &v, sizeof bits);
            h = (h ^ bits) * 1099511628211ULL;
            h ^= h >> 29;
        }
        return h;
    };
    for (std::size_t r = 0; r < rows; ++r) {
        const double* x = row(r);
        std::size_t at = hash(x) & (size - 1);
        for (;; at = (at + 1) & (size - 1)) {
            const int p = slot_point[at];
            if (p < 0) {
                slot_point[at] = static_cast<int>(firsts.size());
                point_of_row[r] = static_cast<int>(firsts.size());
                firsts.push_back(static_cast<int>(r));
                break;
            }
            const double* y = row(static_cast<std::size_t>(firsts[static_cast<std::size_t>(p)]));
            if (std::equal(x, x + cols, y)) {
                point_of_row[r] = p;
                break;
            }
        }
    }
    return firsts;
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

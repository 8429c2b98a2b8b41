// Data and numerics: matrix helpers, text data files, column statistics,
// Euclidean distances, the pairwise distance matrix and qsort comparators.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Distance between two points given by their first `dims` coordinates.
using DistanceFn = double (*)(const double* a, const double* b, int dims);

// ---- Matrices and arrays -------------------------------------------------
// A data matrix is a table of `rows` row pointers, each row its own array of
// `cols` doubles (row i = point i). Allocators return null when memory cannot
// be had (having released what they took); rows are not initialised.
double** Reservmemdouble(int rows, int cols);
int** Reservmemint(int rows, int cols);
int* Reservememint(int n);
// Releases every non-null row among the first `rows`, then the table; null is fine.
void Delete2D(double** matrix, int rows);
void Delete2D(int** matrix, int rows);
void Delete1D(int* values);
void Delete1D(double* values);
// Copies the src_rows x src_cols block into dst; 0 (nothing copied) when it does not fit.
int CopyTo(double** src, int src_rows, int src_cols, double** dst, int dst_rows, int dst_cols);
int min(int a, int b);
int max(int a, int b);

// ---- Statistics ----------------------------------------------------------
// Mean and population standard deviation, sums in index order.
void CalculusStatVector(const double* values, int n, double& mean, double& deviation);
// Standardises every column in place to mean 0 and deviation 1. A column whose
// values are all exactly equal becomes 0.0 (instead of 0/0). A column whose
// sums overflow or whose squared deviations vanish below DBL_MIN is computed
// on its values scaled by a power of two (its largest magnitude in [0.5, 1)).
void NormaliseEcartType(double** matrix, int rows, int cols);
// The same on rows x cols values, row-major. When given, mean[j] and scale[j]
// receive what standardised column j: value = (x - mean) / scale (a constant
// column: its value and 1).
void StandardiseColumns(double* data, std::size_t rows, std::size_t cols, double* mean = nullptr,
                        double* scale = nullptr);

// ---- Rows ------------------------------------------------------------------
// The distinct rows of rows x cols values (equal with == on every coordinate,
// so -0.0 equals 0.0) in the order of their first occurrence: returns the
// first row of each, and point_of_row[r] receives the index of row r's.
std::vector<int> DistinctRows(const double* data, std::size_t rows, std::size_t cols,
                              std::vector<int>& point_of_row);

// ---- Distances -----------------------------------------------------------
double d_Eucl(const double* a, const double* b, int dims);
// Fills the full symmetric n x n matrix (zero diagonal) with one call per
// unordered pair, lower index first. With a subset, entry [i][j] is the
// distance of points[subset[i]] and points[subset[j]].
void GenereMatriceDistance(double** points, int n, int dims, const int* subset, double** matrix,
                           DistanceFn distance);

// ---- Not called by the pipeline ------------------------------------------
// The pipeline reads its data in one pass (data_file.h) and writes through an
// output set (output_files.h). These keep the two-step interface of measuring,
// then reading, and the other helpers of the module, for the programs and
// tests that use them.

// Measures a data file: returns the row count (rows, cols set), or -1 when the
// file cannot be opened or read (outputs untouched) or two data lines differ in their
// column count (outputs = rows so far and the offending count). Lines may be
// of any length; a line of white space only (or the end of the file) ends the data.
int ExtraitDimensionFile(const char* path, int& rows, int& cols);
// Number of numeric columns of a NUL-terminated line (0 for null).
int ReturnColonne(const char* line);
// The same for `length` characters, where a NUL byte is an ordinary character.
int ReturnColonne(const char* line, std::size_t length);
// 1 when one of the first `length` characters is not tab, line feed, carriage return or space.
int BufferValide(const char* text, int length);
// Reads the first `rows` data lines of `cols` numbers each into `matrix`.
// Every line must hold exactly `cols` tokens, each one complete finite decimal
// number. Returns 1, or 0 with *bad_line (when given) set to the 1-based line
// number of the first faulty line (0 when the file cannot be opened or read).
int LitFichier2DS(const char* path, int rows, int cols, double** matrix, int* bad_line = nullptr);
// Writes the matrix, every value as "%lf\t", a line feed after each row.
// The file is replaced atomically; 1 on success, 0 on failure (an earlier file stays).
int EcritFichier2D(const char* path, int rows, int cols, double** matrix);
// Writes n values as "%6.4lf\n".
int EcritFichier1D(const char* path, int n, const double* values);
// Reads n numbers; 0 when a token is not a number.
int LoadFichier1D(const char* path, int n, double* values);
// mode 1 replaces the file, any other mode appends: n values as "%lf\n", then an empty line.
int EcritFile(const char* path, int mode, const double* values, int n);

// Appends `value` formatted exactly as printf's "%lf" (six decimals, fixed).
void AppendFixed6(std::string& out, double value);
// Appends `value` as printf's "%d".
void AppendInt(std::string& out, int value);
// Replaces `path` by a file holding `contents`: written to a temporary file in
// the same folder, then renamed over the target. Returns 1 on success; on
// failure returns 0, removes the temporary file and leaves any earlier file intact.
int WriteFileAtomically(const std::string& path, const std::string& contents);

// Statistics over the entries whose mask is exactly 1; minimum starts at
// 10000.0 and maximum at -10000.0.
void CalculusStatVectorBool(const double* values, int n, const int* mask, double& mean, double& deviation,
                            double& minimum, double& maximum);
double Dist_eucl(const double* a, const double* b, int dims);

// qsort comparators (never 0).
int tri_decroissant(const void* a, const void* b);
int tri_decroissant_double(const void* a, const void* b);
int tri_decroissant_int(const void* a, const void* b);
int tri_croissant(const void* a, const void* b);
int tri_croissant_int(const void* a, const void* b);

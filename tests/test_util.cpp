// Matrix helpers, data-file measuring and reading, writers, statistics and distances.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "util.h"

namespace fs = std::filesystem;
using test_support::Printf6;
using test_support::ReadFile;
using test_support::SplitMix;
using test_support::TempDir;
using test_support::WriteFile;

namespace {

struct Measure {
    int result;
    int rows;
    int cols;
};

Measure MeasureText(const TempDir& dir, const std::string& text) {
    const std::string path = dir.Write("in.txt", text);
    Measure m{0, -7, -7};
    m.result = ExtraitDimensionFile(path.c_str(), m.rows, m.cols);
    return m;
}

// Reads `text` as a rows x cols matrix; returns the bad line (0 when read fine).
int ReadText(const TempDir& dir, const std::string& text, int rows, int cols, std::vector<double>* values = nullptr) {
    const std::string path = dir.Write("in.txt", text);
    double** m = Reservmemdouble(rows, cols);
    int bad = -1;
    const int ok = LitFichier2DS(path.c_str(), rows, cols, m, &bad);
    EXPECT_EQ(ok == 1, bad == 0) << text;
    if (values != nullptr)
        for (int i = 0; i < rows; ++i) values->insert(values->end(), m[i], m[i] + cols);
    Delete2D(m, rows);
    return bad;
}

}  // namespace

TEST(Matrix, CopyToRefusesSmallerDestinationAndCopiesTheBlock) {
    double** src = Reservmemdouble(2, 3);
    double** dst = Reservmemdouble(3, 3);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 3; ++j) src[i][j] = i * 10 + j;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) dst[i][j] = -1;
    double** narrow = Reservmemdouble(3, 2);
    EXPECT_EQ(CopyTo(src, 2, 3, narrow, 3, 2), 0);
    EXPECT_EQ(CopyTo(src, 2, 3, dst, 1, 3), 0);
    EXPECT_EQ(dst[0][0], -1);
    EXPECT_EQ(CopyTo(src, 2, 3, dst, 3, 3), 1);
    EXPECT_EQ(dst[1][2], 12);
    EXPECT_EQ(dst[2][0], -1);
    Delete2D(src, 2);
    Delete2D(dst, 3);
    Delete2D(narrow, 3);
    Delete2D(static_cast<double**>(nullptr), 5);
    int** ints = Reservmemint(2, 2);
    delete[] ints[1];
    ints[1] = nullptr;  // rows already released are skipped
    Delete2D(ints, 2);
    EXPECT_EQ(min(3, 3), 3);
    EXPECT_EQ(min(-1, 2), -1);
    EXPECT_EQ(max(-1, 2), 2);
}

TEST(Measure, BufferValideLooksOnlyAtTheFirstCharacters) {
    EXPECT_EQ(BufferValide("   \n", 4), 0);
    EXPECT_EQ(BufferValide("\t\r\n", 3), 0);
    EXPECT_EQ(BufferValide("  x", 3), 1);
    EXPECT_EQ(BufferValide("  x", 2), 0);
    EXPECT_EQ(BufferValide("x", 0), 0);
    EXPECT_EQ(BufferValide("x", 1), 1);
}

TEST(Measure, ReturnColonneCountsTokensThatStartWithANumber) {
    EXPECT_EQ(ReturnColonne(nullptr), 0);
    EXPECT_EQ(ReturnColonne("1 2 3\n"), 3);
    EXPECT_EQ(ReturnColonne(" \t 1\t\t  -2.5e3   +.5\r\n"), 3);
    EXPECT_EQ(ReturnColonne("1.5kg 2"), 2);        // text glued to a number still counts
    EXPECT_EQ(ReturnColonne("1,2,3"), 1);          // commas do not separate
    EXPECT_EQ(ReturnColonne("1.5.5"), 1);
    EXPECT_EQ(ReturnColonne("1 abc 2"), 1);        // the count stops at the first word
    EXPECT_EQ(ReturnColonne("abc 1 2"), 0);
    EXPECT_EQ(ReturnColonne("nan inf -Infinity"), 3);
    EXPECT_EQ(ReturnColonne("- 1"), 0);
    EXPECT_EQ(ReturnColonne(". 1"), 0);
    EXPECT_EQ(ReturnColonne("1\r 2"), 2);
    EXPECT_EQ(ReturnColonne("0x1A 7"), 2);
    const char with_nul[] = {'1', ' ', '\0', ' ', '2'};
    EXPECT_EQ(ReturnColonne(with_nul, sizeof with_nul), 1);  // a NUL is no number
    const char nul_glued[] = {'1', ' ', '2', '\0', ' ', '3'};
    EXPECT_EQ(ReturnColonne(nul_glued, sizeof nul_glued), 3);
}

TEST(Measure, RowsAndColumnsOfDataFiles) {
    TempDir dir;
    auto check = [&](const std::string& text, int result, int rows, int cols) {
        Measure m = MeasureText(dir, text);
        EXPECT_EQ(m.result, result) << text;
        EXPECT_EQ(m.rows, rows) << text;
        EXPECT_EQ(m.cols, cols) << text;
    };
    check("1 2 3\n4 5 6\n7 8 9\n", 3, 3, 3);
    check("1 2 3\n4 5 6\n7 8 9\n\n", 3, 3, 3);
    check("1 2 3\n4 5 6\n7 8 9", 3, 3, 3);            // last line without a line feed
    check("1 2\r\n3 4\r\n", 2, 2, 2);
    check("1 2\n3 4\n\n5 6\n", 2, 2, 2);              // data ends at the first blank line
    check("1 2\n3 4\n \t \r\n5 6 7\n", 2, 2, 2);
    check("1 2\n3 4\n" + std::string(40, ' ') + "\n5 6 7\n", 2, 2, 2);  // long blank lines end it too
    check("1 2\n3 4\n   ", 2, 2, 2);
    check("", 0, 0, 0);
    check("\n1 2\n", 0, 0, 0);
    check("x y\n1 2\n", -1, 1, 2);                    // a header of words has 0 columns
    check("1 2\n3 4 5\n", -1, 1, 3);
    check("1,2\n3,4\n", 2, 2, 1);
    check("abc\ndef\n", 2, 2, 0);
}

TEST(Measure, LongLinesAreMeasuredWhole) {
    TempDir dir;
    std::string line;
    for (int j = 0; j < 5000; ++j) line += std::to_string(j) + ".25\t";
    Measure m = MeasureText(dir, line + "\n" + line + "\n" + line + "\n");
    EXPECT_EQ(m.result, 3);
    EXPECT_EQ(m.cols, 5000);
    // A line holding a NUL byte is not blank: it is measured (and later refused).
    m = MeasureText(dir, std::string("1 2\n\0\0\n3 4\n", 11));
    EXPECT_EQ(m.result, -1);
}

TEST(Measure, MissingFileLeavesOutputsUntouched) {
    int rows = -7;
    int cols = -7;
    EXPECT_EQ(ExtraitDimensionFile("/nonexistent/dir/file.txt", rows, cols), -1);
    EXPECT_EQ(rows, -7);
    EXPECT_EQ(cols, -7);
}

TEST(Read, WellFormedFilesReadExactlyAsWritten) {
    TempDir dir;
    std::vector<double> v;
    EXPECT_EQ(ReadText(dir, " 1\t-2.5  +3e2\r\n.5 5. -0\n1e-400 4.9e-324 1E+3\n", 3, 3, &v), 0);
    const std::vector<double> expected = {1, -2.5, 300, 0.5, 5, -0.0, 0.0, 4.9e-324, 1000};
    EXPECT_EQ(v, expected);
    EXPECT_TRUE(std::signbit(v[5]));
    // Rows after the requested count are never looked at.
    v.clear();
    EXPECT_EQ(ReadText(dir, "1 2\n3 4\nnot numbers\n", 2, 2, &v), 0);
}

TEST(Read, ValuesMatchTheCLibraryBitForBit) {
    TempDir dir;
    SplitMix rng(20261207);
    std::string text;
    std::vector<double> expected;
    for (int i = 0; i < 2000; ++i) {
        for (int j = 0; j < 3; ++j) {
            char token[64];
            const double x = (static_cast<double>(rng.Next() % 2000001) - 1000000.0) / std::pow(10.0, rng.Next() % 9);
            std::snprintf(token, sizeof token, j == 2 ? "%.17g" : "%.6f", x);
            text += token;
            text += j == 2 ? "\n" : " ";
            expected.push_back(std::strtod(token, nullptr));
        }
    }
    std::vector<double> v;
    ASSERT_EQ(ReadText(dir, text, 2000, 3, &v), 0);
    ASSERT_EQ(v.size(), expected.size());
    for (std::size_t k = 0; k < v.size(); ++k)
        ASSERT_EQ(std::memcmp(&v[k], &expected[k], sizeof(double)), 0) << "token " << k << " seed 20261207";
}

TEST(Read, MalformedTokensAreRefusedWithTheirLine) {
    TempDir dir;
    EXPECT_EQ(ReadText(dir, "1 2\n3 1.5kg\n", 2, 2), 2);
    EXPECT_EQ(ReadText(dir, "1.5.5 2\n3 4\n", 2, 2), 1);
    EXPECT_EQ(ReadText(dir, "1 2\n3 4\n5 nan\n", 3, 2), 3);
    EXPECT_EQ(ReadText(dir, "inf 2\n", 1, 2), 1);
    EXPECT_EQ(ReadText(dir, "1e999 2\n", 1, 2), 1);
    EXPECT_EQ(ReadText(dir, "-1e999 2\n", 1, 2), 1);
    EXPECT_EQ(ReadText(dir, "- 2\n", 1, 2), 1);
    EXPECT_EQ(ReadText(dir, "0x10 2\n", 1, 2), 1);
    EXPECT_EQ(ReadText(dir, "1e 2\n", 1, 2), 1);
    EXPECT_EQ(ReadText(dir, ". 2\n", 1, 2), 1);
    EXPECT_EQ(ReadText(dir, "1,2\n", 1, 1), 1);
    EXPECT_EQ(ReadText(dir, "1 2 3\n", 1, 2), 1);   // more tokens than columns
    EXPECT_EQ(ReadText(dir, "1 2\n3\n", 2, 2), 2);  // fewer
    EXPECT_EQ(ReadText(dir, "1 2\n", 2, 2), 2);     // the file ends early
    EXPECT_EQ(ReadText(dir, std::string("1 2\n3 4\0\n", 9), 2, 2), 2);
    int bad = -1;
    EXPECT_EQ(LitFichier2DS("/nonexistent/x", 1, 1, nullptr, &bad), 0);
    EXPECT_EQ(bad, 0);
}

TEST(Write, FixedSixDecimalsMatchPrintf) {
    SplitMix rng(7);
    const double special[] = {0.0078125, -1e-9, -0.0, 0.0, 2.5e-7, 1e300, -123456.5, 0.5e-6, 1.0000005};
    for (double v : special) {
        std::string s;
        AppendFixed6(s, v);
        EXPECT_EQ(s, Printf6(v));
    }
    for (int i = 0; i < 100000; ++i) {
        const double v = std::ldexp(static_cast<double>(rng.Next() % 100000000) - 5e7, -static_cast<int>(rng.Next() % 40));
        std::string s;
        AppendFixed6(s, v);
        ASSERT_EQ(s, Printf6(v)) << "value " << v << " seed 7";
    }
    std::string s;
    AppendFixed6(s, NAN);
    AppendInt(s, -42);
    EXPECT_EQ(s, Printf6(NAN) + "-42");
}

TEST(Write, MatrixFileFormatAndAtomicReplacement) {
    TempDir dir;
    double** m = Reservmemdouble(2, 2);
    m[0][0] = m[1][0] = 1.0;
    m[0][1] = m[1][1] = -0.5;
    const std::string path = dir.Path("out.txt");
    WriteFile(path, "an earlier result\n");
    ASSERT_EQ(EcritFichier2D(path.c_str(), 2, 2, m), 1);
    EXPECT_EQ(ReadFile(path), "1.000000\t-0.500000\t\n1.000000\t-0.500000\t\n");
    // Readable back with the same shape.
    int rows = 0;
    int cols = 0;
    EXPECT_EQ(ExtraitDimensionFile(path.c_str(), rows, cols), 2);
    EXPECT_EQ(cols, 2);
    ASSERT_EQ(EcritFichier2D(path.c_str(), 0, 2, m), 1);
    EXPECT_EQ(ReadFile(path), "");
    // Failures leave no temporary file and no damage.
    EXPECT_EQ(EcritFichier2D(dir.Path("missing/out.txt").c_str(), 2, 2, m), 0);
    fs::create_directory(dir.Path("target"));
    WriteFile(dir.Path("target/keep"), "keep");
    EXPECT_EQ(EcritFichier2D(dir.Path("target").c_str(), 2, 2, m), 0);
    EXPECT_EQ(ReadFile(dir.Path("target/keep")), "keep");
    EXPECT_EQ(dir.FileNames(), (std::vector<std::string>{"out.txt", "target"}));
    Delete2D(m, 2);
}

TEST(Write, VectorFiles) {
    TempDir dir;
    const double values[] = {1.5, -2.0, 123.45678};
    const std::string one = dir.Path("one.txt");
    ASSERT_EQ(EcritFichier1D(one.c_str(), 3, values), 1);
    EXPECT_EQ(ReadFile(one), "1.5000\n-2.0000\n123.4568\n");
    double back[4] = {9, 9, 9, 9};
    EXPECT_EQ(LoadFichier1D(one.c_str(), 4, back), 1);
    EXPECT_EQ(back[1], -2.0);
    EXPECT_EQ(back[3], 9);  // past the end the entry is left as it was
    WriteFile(one, "1 x 3");
    EXPECT_EQ(LoadFichier1D(one.c_str(), 3, back), 0);
    const std::string block = dir.Path("block.txt");
    ASSERT_EQ(EcritFile(block.c_str(), 1, values, 2), 1);
    ASSERT_EQ(EcritFile(block.c_str(), 0, values + 2, 1), 1);
    EXPECT_EQ(ReadFile(block), "1.500000\n-2.000000\n\n123.456780\n\n");
    EXPECT_EQ(EcritFile(dir.Path("no/such").c_str(), 1, values, 1), 0);
}

TEST(Statistics, MeanAndPopulationDeviation) {
    const double v[] = {1, 2, 3};
    double mean = -1;
    double dev = -1;
    CalculusStatVector(v, 3, mean, dev);
    EXPECT_EQ(mean, 2.0);
    EXPECT_EQ(dev, std::sqrt(2.0 / 3.0));
    CalculusStatVector(v, 1, mean, dev);
    EXPECT_EQ(dev, 0.0);
    CalculusStatVector(v, 0, mean, dev);
    EXPECT_TRUE(std::isnan(mean));
}

TEST(Statistics, StandardisingColumns) {
    double** m = Reservmemdouble(3, 4);
    const double data[3][4] = {{1, 5, 0, 7}, {2, 5, 0, 7}, {3, 5, 0, 100}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 4; ++j) m[i][j] = data[i][j];
    NormaliseEcartType(m, 3, 4);
    const double dev = std::sqrt(2.0 / 3.0);
    EXPECT_EQ(m[0][0], -1.0 / dev);
    EXPECT_EQ(m[1][0], 0.0);
    EXPECT_EQ(m[2][0], 1.0 / dev);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(m[i][1], 0.0) << "constant column";
        EXPECT_EQ(m[i][2], 0.0) << "constant zero column";
    }
    EXPECT_LT(m[0][3], 0.0);  // a single outlier standardises without trouble
    EXPECT_GT(m[2][3], 1.0);
    Delete2D(m, 3);

    // A constant column whose mean rounds away from its values still becomes 0.
    double** r = Reservmemdouble(10, 1);
    for (int i = 0; i < 10; ++i) r[i][0] = 0.1;
    NormaliseEcartType(r, 10, 1);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(r[i][0], 0.0);
    Delete2D(r, 10);
    double** one = Reservmemdouble(1, 2);
    one[0][0] = 3;
    one[0][1] = -4;
    NormaliseEcartType(one, 1, 2);
    EXPECT_EQ(one[0][0], 0.0);
    EXPECT_EQ(one[0][1], 0.0);
    Delete2D(one, 1);
}

TEST(Statistics, MaskedStatistics) {
    const double v[] = {4, 20000, -3, 8};
    const int mask[] = {1, 2, 1, 1};
    double mean, dev, lo, hi;
    CalculusStatVectorBool(v, 4, mask, mean, dev, lo, hi);
    EXPECT_EQ(mean, 3.0);
    EXPECT_EQ(lo, -3.0);
    EXPECT_EQ(hi, 8.0);
    EXPECT_EQ(dev, std::sqrt((1.0 + 36.0 + 25.0) / 3.0));
    const int none[] = {0, 0, 0, 0};
    CalculusStatVectorBool(v, 4, none, mean, dev, lo, hi);
    EXPECT_EQ(mean, 0.0);
    EXPECT_EQ(dev, 0.0);
    EXPECT_EQ(lo, 10000.0);
    EXPECT_EQ(hi, -10000.0);
    const double big[] = {20000, 30000};
    const int both[] = {1, 1};
    CalculusStatVectorBool(big, 2, both, mean, dev, lo, hi);
    EXPECT_EQ(lo, 10000.0);  // the start values act as bounds
    EXPECT_EQ(hi, 30000.0);
}

namespace {
std::vector<std::pair<double, double>> g_calls;
double RecordingDistance(const double* a, const double* b, int dims) {
    g_calls.emplace_back(a[0], b[0]);
    return d_Eucl(a, b, dims);
}
}  // namespace

TEST(Distance, Euclidean) {
    const double o[] = {0, 0};
    const double p[] = {3, 4};
    EXPECT_EQ(d_Eucl(o, p, 2), 5.0);
    EXPECT_EQ(Dist_eucl(o, p, 2), 5.0);
    EXPECT_EQ(d_Eucl(o, p, 0), 0.0);
    EXPECT_EQ(d_Eucl(p, o, 1), 3.0);
    EXPECT_EQ(d_Eucl(p, p, 2), 0.0);
    const double q[] = {NAN, 0};
    EXPECT_TRUE(std::isnan(d_Eucl(o, q, 2)));
}

TEST(Distance, MatrixIsFilledOncePerPairLowerIndexFirst) {
    double** pts = Reservmemdouble(4, 1);
    for (int i = 0; i < 4; ++i) pts[i][0] = i * i;
    double** m = Reservmemdouble(3, 3);
    g_calls.clear();
    GenereMatriceDistance(pts, 3, 1, nullptr, m, RecordingDistance);
    EXPECT_EQ(g_calls, (std::vector<std::pair<double, double>>{{0, 1}, {0, 4}, {1, 4}}));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(m[i][i], 0.0);
        for (int j = 0; j < 3; ++j) EXPECT_EQ(m[i][j], m[j][i]);
    }
    EXPECT_EQ(m[0][2], 4.0);
    const int subset[] = {3, 1, 0};
    GenereMatriceDistance(pts, 3, 1, subset, m, d_Eucl);
    EXPECT_EQ(m[0][1], 8.0);
    EXPECT_EQ(m[2][0], 9.0);
    g_calls.clear();
    m[0][0] = 5;
    GenereMatriceDistance(pts, 1, 1, nullptr, m, RecordingDistance);
    EXPECT_TRUE(g_calls.empty());
    EXPECT_EQ(m[0][0], 0.0);
    Delete2D(pts, 4);
    Delete2D(m, 3);
}

TEST(Distance, SortOrders) {
    double v[] = {3.0, 1.0, 2.0};
    std::qsort(v, 3, sizeof(double), tri_decroissant);
    EXPECT_EQ(std::vector<double>(v, v + 3), (std::vector<double>{3, 2, 1}));
    std::qsort(v, 3, sizeof(double), tri_croissant);
    EXPECT_EQ(std::vector<double>(v, v + 3), (std::vector<double>{1, 2, 3}));
    std::qsort(v, 3, sizeof(double), tri_decroissant_double);
    EXPECT_EQ(v[0], 3.0);
    int w[] = {2, 5, 1};
    std::qsort(w, 3, sizeof(int), tri_decroissant_int);
    EXPECT_EQ(std::vector<int>(w, w + 3), (std::vector<int>{5, 2, 1}));
    std::qsort(w, 3, sizeof(int), tri_croissant_int);
    EXPECT_EQ(std::vector<int>(w, w + 3), (std::vector<int>{1, 2, 5}));
    const double a = 1.0;
    const double nan = NAN;
    EXPECT_EQ(tri_decroissant(&a, &a), 1);   // equal elements never compare as 0
    EXPECT_EQ(tri_croissant(&a, &a), -1);
    EXPECT_EQ(tri_decroissant(&nan, &a), -1);
    EXPECT_EQ(tri_croissant(&a, &nan), 1);
}

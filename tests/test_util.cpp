// Matrix helpers, data-file measuring and reading, writers, statistics, distances and sort orders.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "test_support.h"
#include "util.h"

using test_support::ReadFile;
using test_support::TempDir;

namespace {

double** Matrix(const std::vector<std::vector<double>>& rows) {
    double** m = Reservmemdouble(static_cast<int>(rows.size()), static_cast<int>(rows[0].size()));
    for (std::size_t i = 0; i < rows.size(); ++i) std::copy(rows[i].begin(), rows[i].end(), m[i]);
    return m;
}

// Reads `text` as rows x cols into `values`; returns the reported bad line (0 when read fine).
int ReadText(const TempDir& dir, const std::string& text, int rows, int cols, std::vector<double>* values = nullptr) {
    double** m = Reservmemdouble(rows, cols);
    int bad = -1, ok = LitFichier2DS(dir.Write("in.txt", text).c_str(), rows, cols, m, &bad);
    EXPECT_EQ(ok == 1, bad == 0) << text;
    for (int i = 0; values != nullptr && i < rows; ++i) values->insert(values->end(), m[i], m[i] + cols);
    Delete2D(m, rows);
    return bad;
}

// A distance that numbers its calls: call 2 on points 0 and 4 gives 204.
double g_calls = 0;
double Numbered(const double* a, const double* b, int) { return ++g_calls * 100 + a[0] * 10 + b[0]; }

}  // namespace

TEST(Measure, RowsAndColumnsOfDataFiles) {
    TempDir dir;
    std::string wide;
    for (int j = 0; j < 5000; ++j) wide += std::to_string(j) + ".25\t";
    struct Case { std::string text; int result, rows, cols; };
    // The data end at the first line of white space, of any length; a missing file leaves the outputs alone.
    const std::vector<Case> cases = {
        {"1 2 3\n4 5 6\n7 8 9\n", 3, 3, 3}, {"1 2 3\n4 5 6\n7 8 9\n\n", 3, 3, 3}, {"1 2\r\n3 4", 2, 2, 2},
        {"1 2\n3 4\n\n5 6\n", 2, 2, 2}, {"1 2\n3 4\n   ", 2, 2, 2}, {"", 0, 0, 0}, {"\n1 2\n", 0, 0, 0},
        {"1 2\n3 4\n \t \r" + std::string(40, ' ') + "\n5 6 7\n", 2, 2, 2}, {"<no file>", -1, -7, -7},
        {"x y\n1 2\n", -1, 1, 2}, {"1 2\n3 4 5\n", -1, 1, 3}, {"abc\ndef\n", 2, 2, 0},
        {wide + "\n" + wide + "\n", 2, 2, 5000}, {std::string("1 2\n\0\0\n3 4\n", 11), -1, 1, 0},
        // What counts as a column: a token that starts with a number; the count stops at a word.
        {" \t 1\t\t  -2.5e3   +.5\r\n", 1, 1, 3}, {"1.5kg 2", 1, 1, 2}, {"1,2,3", 1, 1, 1}, {"1.5.5", 1, 1, 1},
        {"1 abc 2", 1, 1, 1}, {"nan inf -Infinity", 1, 1, 3}, {". 1", 1, 1, 0}, {"0x1A 7", 1, 1, 2},
        {std::string("1 \0 2", 5), 1, 1, 1}, {std::string("1 2\0 3", 6), 1, 1, 3}};  // NUL: no number, glued: text
    for (const Case& c : cases) {
        const std::string path = c.text == "<no file>" ? dir.Path("missing") : dir.Write("in.txt", c.text);
        int rows = -7, cols = -7;
        EXPECT_EQ(ExtraitDimensionFile(path.c_str(), rows, cols), c.result) << c.text.substr(0, 40);
        EXPECT_EQ(std::make_pair(rows, cols), std::make_pair(c.rows, c.cols)) << c.text.substr(0, 40);
    }
}

TEST(Read, WellFormedFilesReadExactlyAndBadTokensNameTheirLine) {
    TempDir dir;
    std::vector<double> v;
    EXPECT_EQ(ReadText(dir, " 1\t-2.5  +3e2\r\n.5 5. -0\n1e-400 4.9e-324 1E+3\nnot read\n", 3, 3, &v), 0);
    EXPECT_EQ(v, (std::vector<double>{1, -2.5, 300, 0.5, 5, -0.0, 0.0, 4.9e-324, 1000}));
    EXPECT_TRUE(std::signbit(v[5]));
    struct Bad { std::string text; int rows, line; };  // two columns expected
    const std::vector<Bad> bad = {
        {"1 2\n3 1.5kg\n", 2, 2}, {"1.5.5 2\n3 4\n", 2, 1}, {"1 2\n3 4\n5 nan\n", 3, 3}, {"inf 2\n", 1, 1},
        {"1e999 2\n", 1, 1}, {"-1e999 2\n", 1, 1}, {"- 2\n", 1, 1}, {"0x10 2\n", 1, 1}, {"1e 2\n", 1, 1},
        {". 2\n", 1, 1}, {"1,2 3\n", 1, 1}, {"1 2 3\n", 1, 1}, {"1 2\n3\n", 2, 2}, {"1 2\n", 2, 2},
        {std::string("1 2\n3 4\0\n", 9), 2, 2}};
    for (const Bad& c : bad) EXPECT_EQ(ReadText(dir, c.text, c.rows, 2), c.line) << c.text;
}

// Seeded values: six decimals exactly as printf writes them, and from every token written
// the reader gets the bits strtod gets. The matrix file is replaced only when complete.
TEST(Write, SixDecimalsAsPrintfAndAtomicReplacement) {
    TempDir dir;
    test_support::SplitMix rng(7);
    std::vector<double> values = {NAN, 0.0078125, -1e-9, -0.0, 0.0, 2.5e-7, 1e300, -123456.5, 0.5e-6, 1.0000005};
    for (int i = 0; i < 100000; ++i)
        values.push_back(std::ldexp(static_cast<double>(rng.Next() % 100000000) - 5e7, -static_cast<int>(rng.Next() % 40)));
    std::string text, six;
    std::vector<double> expected, read;
    for (double v : values) {
        AppendFixed6(six = "", v);
        ASSERT_EQ(six, test_support::Printf6(v)) << "seed 7";
        if (!std::isnan(v)) text += six + "\n";
        if (!std::isnan(v)) expected.push_back(std::strtod(six.c_str(), nullptr));
    }
    ASSERT_EQ(ReadText(dir, text, static_cast<int>(expected.size()), 1, &read), 0);
    EXPECT_EQ(std::memcmp(read.data(), expected.data(), read.size() * sizeof(double)), 0) << "seed 7";

    double** m = Matrix({{1.0, -0.5}, {1.0, -0.5}});
    const std::string path = dir.Write("out.txt", "an earlier result\n");
    ASSERT_EQ(EcritFichier2D(path.c_str(), 2, 2, m), 1);
    EXPECT_EQ(ReadFile(path), "1.000000\t-0.500000\t\n1.000000\t-0.500000\t\n");
    // A folder in the way: the rename fails, and neither a temporary file nor damage is left.
    std::filesystem::create_directory(dir.Path("target"));
    dir.Write("target/keep", "keep");
    EXPECT_EQ(EcritFichier2D(dir.Path("target").c_str(), 2, 2, m), 0);
    EXPECT_EQ(ReadFile(dir.Path("target/keep")), "keep");
    EXPECT_EQ(dir.FileNames(), (std::vector<std::string>{"in.txt", "out.txt", "target"}));
    Delete2D(m, 2);
}

TEST(Statistics, StandardisationAndConstantColumns) {
    const double dev = std::sqrt(2.0 / 3.0);  // population deviation of 1, 2, 3
    // Column 0 is 1, 2, 3; columns 1 to 3 are constant (the mean of three times 0.1 is not 0.1);
    // column 4 holds one outlier among equal values: z-scores -1/sqrt(2), -1/sqrt(2), sqrt(2).
    double** m = Matrix({{1, 5, 0, 0.1, 7}, {2, 5, 0, 0.1, 7}, {3, 5, 0, 0.1, 100}});
    NormaliseEcartType(m, 3, 5);
    EXPECT_EQ(std::vector<double>({m[0][0], m[1][0], m[2][0]}), (std::vector<double>{-1 / dev, 0, 1 / dev}));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(std::vector<double>(m[i] + 1, m[i] + 4), std::vector<double>(3, 0.0)) << i;
    EXPECT_NEAR(m[1][4], -std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(m[2][4], std::sqrt(2.0), 1e-12);
    Delete2D(m, 3);
}

TEST(Distance, EuclideanDistanceMatrixAndBlockCopy) {
    const double o[] = {0, 0}, p[] = {3, 4};
    EXPECT_EQ(std::vector<double>({d_Eucl(o, p, 2), Dist_eucl(o, p, 2), d_Eucl(o, p, 0), d_Eucl(p, o, 1),
                                   d_Eucl(p, p, 2)}), (std::vector<double>{5, 5, 0, 3, 0}));
    double** pts = Matrix({{0}, {1}, {4}, {9}});
    double** m = Matrix({{5, 5, 5}, {5, 5, 5}, {5, 5, 5}});
    GenereMatriceDistance(pts, 3, 1, nullptr, m, Numbered);  // once per pair in order, lower index first
    EXPECT_EQ(std::vector<double>({m[0][0], m[0][1], m[0][2], m[1][0], m[1][1], m[1][2], m[2][0], m[2][1], m[2][2]}),
              (std::vector<double>{0, 101, 204, 101, 0, 314, 204, 314, 0}));
    m[0][0] = 5;
    GenereMatriceDistance(pts, 1, 1, nullptr, m, Numbered);
    EXPECT_EQ(std::make_pair(g_calls, m[0][0]), std::make_pair(3.0, 0.0));
    const int subset[] = {3, 1, 0};  // entries follow the positions in the subset
    GenereMatriceDistance(pts, 3, 1, subset, m, d_Eucl);
    EXPECT_EQ(std::make_pair(m[0][1], m[2][0]), std::make_pair(8.0, 9.0));
    // Copying a block: refused, copying nothing, when the destination has fewer rows or columns.
    EXPECT_EQ(CopyTo(pts, 4, 1, m, 3, 3) + CopyTo(m, 3, 3, pts, 4, 1), 0);
    EXPECT_EQ(std::make_pair(m[1][0], pts[1][0]), std::make_pair(8.0, 1.0));
    EXPECT_EQ(CopyTo(pts, 3, 1, m, 3, 3), 1);
    EXPECT_EQ(std::vector<double>({m[1][0], m[2][0], m[0][2]}), (std::vector<double>{1, 4, 9}));
    Delete2D(pts, 4);
    Delete2D(m, 3);
}

TEST(SortOrders, DirectionTiesAndNaN) {
    // Never 0: equal elements give +1 descending and -1 ascending; a NaN on either side gives the opposite.
    const double a = 1, b = 2, nan = NAN;
    const int i = 4, j = 5;
    EXPECT_EQ(std::vector<int>({tri_decroissant(&a, &a), tri_decroissant_double(&a, &a), tri_decroissant_int(&i, &i),
                                tri_croissant(&a, &a), tri_croissant_int(&i, &i)}), (std::vector<int>{1, 1, 1, -1, -1}));
    EXPECT_EQ(std::vector<int>({tri_decroissant(&b, &a), tri_decroissant_double(&a, &b), tri_decroissant_int(&j, &i),
                                tri_croissant(&b, &a), tri_croissant_int(&i, &j)}), (std::vector<int>{-1, 1, -1, 1, -1}));
    EXPECT_EQ(std::vector<int>({tri_decroissant(&nan, &a), tri_decroissant_double(&a, &nan), tri_croissant(&a, &nan),
                                tri_croissant(&nan, &a)}), (std::vector<int>{-1, -1, 1, 1}));
}

// Helpers the pipeline does not call: one-value-a-line files, the white-space
// test and masked statistics.
TEST(SmallHelpers, VectorFilesWhiteSpaceAndMaskedStatistics) {
    TempDir dir;
    const double values[] = {1.5, -2.25, 123.45678};
    ASSERT_EQ(EcritFichier1D(dir.Path("v").c_str(), 3, values), 1);
    EXPECT_EQ(ReadFile(dir.Path("v")), "1.5000\n-2.2500\n123.4568\n");
    double back[4] = {0, 0, 0, 9};
    EXPECT_EQ(LoadFichier1D(dir.Path("v").c_str(), 4, back), 1);  // past the end: left as it was
    EXPECT_EQ(std::vector<double>(back, back + 4), (std::vector<double>{1.5, -2.25, 123.4568, 9}));
    ASSERT_EQ(EcritFile(dir.Path("f").c_str(), 1, values, 2), 1);
    ASSERT_EQ(EcritFile(dir.Path("f").c_str(), 0, values + 2, 1), 1);
    EXPECT_EQ(ReadFile(dir.Path("f")), "1.500000\n-2.250000\n\n123.456780\n\n");
    EXPECT_EQ(LoadFichier1D(dir.Path("f").c_str(), 1, back), 1);
    test_support::WriteFile(dir.Path("bad"), "1.0\nabc\n");
    EXPECT_EQ(LoadFichier1D(dir.Path("bad").c_str(), 2, back), 0);

    EXPECT_EQ(BufferValide(" \t\r\n", 4), 0);
    EXPECT_EQ(BufferValide("  x", 3), 1);
    EXPECT_EQ(BufferValide("  x", 2), 0);  // the text sits past the length
    EXPECT_EQ(BufferValide("x", 0), 0);

    const double v[] = {2.0, 100.0, 4.0, -7.0};
    const int mask[] = {1, 2, 1, 0};  // only exactly 1 counts
    double mean = -1, deviation = -1, minimum = -1, maximum = -1;
    CalculusStatVectorBool(v, 4, mask, mean, deviation, minimum, maximum);
    EXPECT_EQ(std::vector<double>({mean, deviation, minimum, maximum}), (std::vector<double>{3.0, 1.0, 2.0, 4.0}));
    const int none[] = {0, 0, 0, 0};
    CalculusStatVectorBool(v, 4, none, mean, deviation, minimum, maximum);
    EXPECT_EQ(std::vector<double>({mean, deviation, minimum, maximum}), (std::vector<double>{0, 0, 10000, -10000}));
}

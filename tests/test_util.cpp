// Data-file measuring and reading, writers, statistics, distances, block copy and the small helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "test_support.h"
#include "util.h"

using test_support::TempDir;
using Doubles = std::vector<double>;
using Ints = std::vector<int>;
using Table = std::vector<Doubles>;

static std::vector<double*> Rows(Table& table) {
    std::vector<double*> rows;
    for (Doubles& row : table) rows.push_back(row.data());
    return rows;
}

// Reads `text` as rows x cols: the reported bad line (0 when read fine) and the cells.
static std::pair<int, Table> ReadText(const TempDir& dir, const std::string& text, int rows, int cols) {
    std::pair<int, Table> read = {-1, Table(rows, Doubles(cols))};
    const int ok = LitFichier2DS(dir.Write("in.txt", text).c_str(), rows, cols, Rows(read.second).data(), &read.first);
    EXPECT_EQ(ok == 1, read.first == 0) << text.substr(0, 40);
    return read;
}

// A distance that numbers its calls: call 2 on points 0 and 4 gives 204.
static double g_calls = 0;
static double Numbered(const double* a, const double* b, int) { return ++g_calls * 100 + a[0] * 10 + b[0]; }

TEST(Measure, RowsAndColumnsOfDataFiles) {
    TempDir dir;
    // The data end at the first line of white space, of any length; a missing file ("?") leaves the outputs alone.
    const std::vector<std::pair<std::string, Ints>> cases = {  // text, {result, rows, cols}
        {"1 2 3\n4 5 6\n7 8 9\n" + std::string(40, ' ') + "\n", {3, 3, 3}}, {"1 2\r\n3 4\n \t\r\n5 6 7\n", {2, 2, 2}},
        {"?", {-1, -7, -7}}, {"x y\n1 2", {-1, 1, 2}}, {std::string("1\n\0\n3\n", 7), {-1, 1, 0}},
        // What counts as a column: a token that starts with a number; the count stops at a word.
        {" \t 1\t\t  -2.5e3   +.5\r\n", {1, 1, 3}}, {"1 abc 2", {1, 1, 1}}, {"nan inf -Infinity", {1, 1, 3}},
        {". 1", {1, 1, 0}}, {"0x1A 7", {1, 1, 2}}, {std::string("1 2\0 3 \0 4", 10), {1, 1, 3}}};  // a NUL: text
    for (const auto& [text, want] : cases) {
        const std::string path = text == "?" ? dir.Path("missing") : dir.Write("in.txt", text);
        int rows = -7, cols = -7;  // the list is read in order: the call comes first
        EXPECT_EQ((Ints{ExtraitDimensionFile(path.c_str(), rows, cols), rows, cols}), want) << text;
    }
}

TEST(Read, WellFormedFilesReadExactlyAndBadTokensNameTheirLine) {
    TempDir dir;
    const auto read = ReadText(dir, " 1\t-2.5  +3e2\r\n.5 5. -0\n1e-400 4.9e-324 1E+3\nnot read\n", 3, 3);
    EXPECT_EQ(read, std::make_pair(0, Table{{1, -2.5, 300}, {0.5, 5, -0.0}, {0.0, 4.9e-324, 1000}}));
    EXPECT_TRUE(std::signbit(read.second[1][2]));
    const std::vector<std::pair<std::string, Ints>> cases = {  // text, {rows, bad line}; two columns expected
        {"1.5.5 2\n3 4\n", {2, 1}}, {"1 2\n3 4\n5 nan\n", {3, 3}}, {"1e999 2\n", {1, 1}}, {"0x10 2\n", {1, 1}},
        {"1e 2\n", {1, 1}}, {". 2\n", {1, 1}}, {"1 2 3\n", {1, 1}}, {"1 2\n3\n", {2, 2}}, {"1 2\n", {2, 2}}};
    for (const auto& [text, want] : cases) EXPECT_EQ(ReadText(dir, text, want[0], 2).first, want[1]) << text;
}

// Seeded values: written as printf's "%lf" writes them and read as strtod reads them; replaced only whole.
TEST(Write, SixDecimalsAsPrintfAndAtomicReplacement) {
    TempDir dir;
    test_support::SplitMix rng(7);
    const Doubles edges = {1.0, -0.5, 0.0078125, -1e-9, -0.0, 2.5e-7, 1e300, -123456.5, 0.5e-6, 1.0000005};
    Table table(50000, Doubles(2)), expected = table;
    std::string printed;
    for (std::size_t k = 0; k < 100000; ++k) {
        const double mantissa = rng.Below(100000000) - 5e7;
        const double v = table[k / 2][k % 2] = k < edges.size() ? edges[k] : std::ldexp(mantissa, -rng.Below(40));
        printed += test_support::Printf6(v) + (k % 2 == 1 ? "\t\n" : "\t");
        expected[k / 2][k % 2] = std::strtod(test_support::Printf6(v).c_str(), nullptr);
    }
    const std::string path = dir.Write("out.txt", "an earlier result\n");
    ASSERT_EQ(EcritFichier2D(path.c_str(), 50000, 2, Rows(table).data()), 1);
    EXPECT_TRUE(test_support::ReadFile(path) == printed) << "seed 7";
    EXPECT_TRUE(ReadText(dir, printed, 50000, 2) == std::make_pair(0, expected)) << "seed 7";
    // A folder in the way: the rename fails and no temporary file is left.
    std::filesystem::create_directory(dir.Path("target"));
    EXPECT_EQ(EcritFichier2D(dir.Path("target").c_str(), 2, 2, Rows(table).data()), 0);
    EXPECT_EQ(dir.FileNames(), (std::vector<std::string>{"in.txt", "out.txt", "target"}));
}

TEST(Statistics, StandardisationAndConstantColumns) {
    // Columns 1 to 3 are constant (the mean of three times 0.1 is not 0.1); column 4 is not.
    const double z = 1 / std::sqrt(2.0 / 3.0), r = std::sqrt(2.0);  // population deviations of columns 0 and 4
    Table m = {{1, 5, 0, 0.1, -1}, {2, 5, 0, 0.1, -1}, {3, 5, 0, 0.1, 2}};
    NormaliseEcartType(Rows(m).data(), 3, 5);
    EXPECT_EQ(m, (Table{{-z, 0, 0, 0, -1 / r}, {0, 0, 0, 0, -1 / r}, {z, 0, 0, 0, 2 / r}}));
}

TEST(Distance, EuclideanDistanceMatrixAndBlockCopy) {
    const double o[] = {0, 0}, p[] = {3, 4};
    EXPECT_EQ((Doubles{d_Eucl(o, p, 2), Dist_eucl(o, p, 2), d_Eucl(o, p, 0), d_Eucl(p, o, 1)}), (Doubles{5, 5, 0, 3}));
    Table points = {{0}, {1}, {4}, {9}}, m(3, Doubles(3, 5.0));
    std::vector<double*> pr = Rows(points), mr = Rows(m);
    GenereMatriceDistance(pr.data(), 1, 1, nullptr, mr.data(), Numbered);  // one point: no call
    EXPECT_EQ((Doubles{g_calls, m[0][0], m[1][1]}), (Doubles{0, 0, 5}));
    GenereMatriceDistance(pr.data(), 3, 1, nullptr, mr.data(), Numbered);  // once per pair, lower index first
    EXPECT_EQ(m, (Table{{0, 101, 204}, {101, 0, 314}, {204, 314, 0}}));
    const int subset[] = {3, 1, 0};  // entries follow the positions in the subset
    GenereMatriceDistance(pr.data(), 3, 1, subset, mr.data(), d_Eucl);
    // Copying a block: refused, copying nothing, when the destination has fewer rows or columns.
    EXPECT_EQ(CopyTo(pr.data(), 4, 1, mr.data(), 3, 3) + CopyTo(mr.data(), 3, 3, pr.data(), 4, 1), 0);
    EXPECT_EQ(CopyTo(pr.data(), 2, 1, mr.data(), 3, 3), 1);  // m[2][0] keeps the subset's distance 9
    EXPECT_EQ(m, (Table{{0, 8, 9}, {1, 0, 1}, {9, 1, 0}}));
}

// Helpers the pipeline does not call: one-value-a-line files, white space, masked statistics, sort orders.
TEST(SmallHelpers, VectorFilesWhiteSpaceMaskedStatisticsAndSortOrders) {
    TempDir dir;
    const double values[] = {1.5, -2.25, 123.45678};
    ASSERT_EQ(EcritFichier1D(dir.Path("v").c_str(), 3, values), 1);
    EXPECT_EQ(test_support::ReadFile(dir.Path("v")), "1.5000\n-2.2500\n123.4568\n");
    double back[4] = {0, 0, 0, 9};
    EXPECT_EQ(LoadFichier1D(dir.Path("v").c_str(), 4, back), 1);  // past the end: left as it was
    EXPECT_EQ(Doubles(back, back + 4), (Doubles{1.5, -2.25, 123.4568, 9}));
    EXPECT_EQ(LoadFichier1D(dir.Write("bad", "1.0\nabc\n").c_str(), 2, back), 0);
    ASSERT_EQ(EcritFile(dir.Path("f").c_str(), 1, values, 2), 1);
    ASSERT_EQ(EcritFile(dir.Path("f").c_str(), 0, values + 2, 1), 1);  // appends
    EXPECT_EQ(test_support::ReadFile(dir.Path("f")), "1.500000\n-2.250000\n\n123.456780\n\n");
    EXPECT_EQ((Ints{BufferValide(" \t\r\nx", 4), BufferValide(" \t\r\nx", 5), BufferValide("x", 0)}), (Ints{0, 1, 0}));
    const double v[] = {2.0, 100.0, 4.0, -7.0};
    const int mask[] = {1, 2, 1, 0}, none[] = {0, 0, 0, 0};  // only exactly 1 counts
    double s[8];
    CalculusStatVectorBool(v, 4, mask, s[0], s[1], s[2], s[3]);
    CalculusStatVectorBool(v, 4, none, s[4], s[5], s[6], s[7]);
    EXPECT_EQ(Doubles(s, s + 8), (Doubles{3, 1, 2, 4, 0, 0, 10000, -10000}));
    // Never 0: equal elements give +1 descending and -1 ascending; a NaN on either side gives the opposite.
    const double a = 1, b = 2, nan = NAN;
    const int i = 4, j = 5;
    EXPECT_EQ((Ints{tri_decroissant(&a, &a), tri_decroissant_double(&a, &a), tri_decroissant_int(&i, &i),
                    tri_croissant(&a, &a), tri_croissant_int(&i, &i)}), (Ints{1, 1, 1, -1, -1}));
    EXPECT_EQ((Ints{tri_decroissant(&b, &a), tri_decroissant_double(&a, &b), tri_decroissant_int(&j, &i),
                    tri_croissant(&b, &a), tri_croissant_int(&i, &j)}), (Ints{-1, 1, -1, 1, -1}));
    EXPECT_EQ((Ints{tri_decroissant(&nan, &a), tri_decroissant_double(&a, &nan), tri_croissant(&a, &nan),
                    tri_croissant(&nan, &a)}), (Ints{-1, -1, 1, 1}));
}

// Golden outputs: the SHA-256 of every output file and of the console output of seeded runs of the executable
// must match tests/golden.txt. After a deliberate change of results, record them anew (one case at a time):
// TAVRI_UPDATE_GOLDEN=1 ctest --test-dir build -R Golden -j1
// With TAVRI_GOLDEN_DATA set to a folder, each case also leaves its data there
// (NAME.txt) with its options (NAME.args, one word a line), so that the Python
// package's tests run the same numbers without a second copy of the generators.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "sha256.h"
#include "test_support.h"

using test_support::SplitMix;

namespace {

using Rows = std::vector<std::vector<long>>;
using Hashes = std::map<std::string, std::string>;  // output name -> SHA-256

// All generators work in integers so the files are the same everywhere.
std::string Join(const Rows& rows) {
    std::string text;
    for (const auto& row : rows)
        for (std::size_t j = 0; j < row.size(); ++j)
            text += std::to_string(row[j]) + (j + 1 < row.size() ? "\t" : "\n");
    return text;
}

// rows x cols values below range, drawn row by row from a fresh generator or one in use.
template <class Rng>
Rows Draw(Rng&& rng, int rows, int cols, int range) {
    Rows data(rows, std::vector<long>(cols));
    for (auto& row : data)
        for (auto& v : row) v = rng.Below(range);
    return data;
}

// Blobs with a triangular spread around integer centres, and uniform noise.
std::string Blobs(int rows, int cols, int blobs, int noise_percent, std::uint64_t seed) {
    SplitMix rng(seed);
    const Rows centres = Draw(rng, blobs, cols, 10000);
    Rows data(rows, std::vector<long>(cols));
    for (auto& row : data) {
        if (rng.Below(100) < noise_percent) {
            for (auto& v : row) v = rng.Below(12000) - 1000;
            continue;
        }
        const int c = rng.Below(blobs);
        const int spread = 100 + 100 * c % 300;
        for (int j = 0; j < cols; ++j)
            row[j] = centres[c][j] + rng.Below(spread) + rng.Below(spread) + rng.Below(spread) - 3 * (spread / 2);
    }
    return Join(data);
}

std::string Repeated(int rows, int distinct, std::uint64_t seed) {
    SplitMix rng(seed);
    const Rows points = Draw(rng, distinct, 2, 50);
    Rows data;
    for (int i = 0; i < rows; ++i) data.push_back(points[rng.Below(distinct)]);
    return Join(data);
}

// Points along a line with small integer gaps (zero gaps repeat a point).
std::string Line(int rows, int cols, std::uint64_t seed) {
    SplitMix rng(seed);
    Rows data(rows);
    long t = 0;
    for (int i = 0; i < rows; ++i) {
        t += rng.Below(i % 50 < 40 ? 3 : 25);
        for (int j = 0; j < cols; ++j) data[i].push_back(t * (j + 1));
    }
    return Join(data);
}

struct GoldenCase {
    std::string name;
    std::string (*make)();
    std::vector<std::string> args;
};

const std::vector<GoldenCase> kCases = {
    {"one_row", [] { return std::string("5 7\n"); }, {}},
    {"two_rows", [] { return std::string("1\n4\n"); }, {}},
    {"three_rows", [] { return std::string("0 0\n1 1\n5 5\n"); }, {}},
    {"nine_points", [] { return std::string("0\n1\n3\n4\n10\n11\n13\n14\n30\n"); }, {}},
    {"grid_ties", [] { return Join(Draw(SplitMix(1), 300, 2, 6)); }, {}},
    {"grid_ties_finish", [] { return Join(Draw(SplitMix(1), 300, 2, 6)); }, {"-f", "1"}},
    {"grid_3d", [] { return Join(Draw(SplitMix(2), 800, 3, 10)); }, {}},
    {"grid_5d", [] { return Join(Draw(SplitMix(3), 700, 5, 4)); }, {}},
    {"repeated", [] { return Repeated(500, 25, 4); }, {}},
    {"line_1d", [] { return Line(400, 1, 5); }, {}},
    {"line_2d", [] { return Line(300, 2, 6); }, {"-f", "1"}},
    {"blobs", [] { return Blobs(1500, 2, 5, 5, 7); }, {}},
    {"blobs_finish", [] { return Blobs(1500, 2, 5, 5, 7); }, {"-f", "1"}},
    {"blobs_u0", [] { return Blobs(1500, 2, 5, 5, 7); }, {"-u", "0"}},
    {"blobs_u02", [] { return Blobs(1500, 2, 5, 5, 7); }, {"-u", "0.2"}},
    {"blobs_u1", [] { return Blobs(1500, 2, 5, 5, 7); }, {"-u", "1"}},
    {"blobs_10d", [] { return Blobs(1000, 10, 6, 3, 8); }, {}},
    {"blobs_4000", [] { return Blobs(4000, 2, 8, 4, 9); }, {"-s", "0"}},
    {"sampled_5000", [] { return Blobs(5000, 2, 6, 5, 10); }, {}},
    {"sampled_12000_finish", [] { return Blobs(12000, 3, 7, 5, 11); }, {"-f", "1"}},
    {"sampled_20000_10d", [] { return Blobs(20000, 10, 9, 2, 12); }, {}},
    {"sampled_duplicates", [] { return Join(Draw(SplitMix(13), 8000, 2, 40)); }, {}},
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.name; }

class Golden : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(Golden, OutputsAreUnchanged) {
    const GoldenCase& c = GetParam();
    test_support::TempDir dir;
    const std::string data = c.make();
    dir.Write("data.txt", data);
    std::vector<std::string> args = {"data.txt"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (const char* folder = std::getenv("TAVRI_GOLDEN_DATA")) {
        std::filesystem::create_directories(folder);
        std::string words;
        for (const auto& word : c.args) words += word + "\n";
        test_support::WriteFile(std::string(folder) + "/" + c.name + ".txt", data);
        test_support::WriteFile(std::string(folder) + "/" + c.name + ".args", words);
    }
    const auto run = test_support::Run(TAVRI_EXE, args, dir.path());
    Hashes produced = {{"console", test_support::Sha256(run.output + "exit " + std::to_string(run.status))}};
    for (const char* name : {"normdata.txt", "S_normdata.txt", "CTavri-data.txt", "LTavri-data.txt", "RTavri-data.txt"})
        if (std::ifstream(dir / name)) produced[name] = test_support::Sha256(test_support::ReadFile(dir / name));

    const std::string file = std::string(TAVRI_SOURCE_DIR) + "/tests/golden.txt";
    std::map<std::string, Hashes> golden;
    std::ifstream in(file);
    for (std::string name, output, hash; in >> name >> output >> hash;) golden[name][output] = hash;
    if (std::getenv("TAVRI_UPDATE_GOLDEN") != nullptr) {
        golden[c.name] = produced;
        std::ofstream out(file);
        for (const auto& [name, outputs] : golden)
            for (const auto& [output, hash] : outputs) out << name << ' ' << output << ' ' << hash << '\n';
        GTEST_SKIP() << "recorded " << c.name;
    }
    EXPECT_EQ(produced, golden[c.name]);  // none recorded: an empty set, which fails
}

INSTANTIATE_TEST_SUITE_P(Cases, Golden, ::testing::ValuesIn(kCases), [](const auto& info) { return info.param.name; });

}  // namespace

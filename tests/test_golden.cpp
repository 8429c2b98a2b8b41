// Golden outputs: seeded inputs built here, run through the executable, and
// the SHA-256 of every output file and of the console output compared with
// tests/golden.txt. Any change of the engine must reproduce them exactly.
//
// To record the outputs of the current build (only after a deliberate change
// of results): TAVRI_UPDATE_GOLDEN=1 ctest --test-dir build -R Golden -j1
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sha256.h"
#include "test_support.h"

using test_support::ReadFile;
using test_support::SplitMix;
using test_support::TempDir;

namespace {

struct GoldenCase {
    std::string name;
    std::string (*make)();
    std::vector<std::string> args;
};

// All generators work in integers so the files are the same everywhere.
std::string Join(const std::vector<std::vector<long>>& rows) {
    std::string text;
    for (const auto& row : rows) {
        for (std::size_t j = 0; j < row.size(); ++j) {
            text += std::to_string(row[j]);
            text += j + 1 < row.size() ? "\t" : "\n";
        }
    }
    return text;
}

std::string Grid(int rows, int cols, int range, std::uint64_t seed) {
    SplitMix rng(seed);
    std::vector<std::vector<long>> data(rows, std::vector<long>(cols));
    for (auto& row : data)
        for (auto& v : row) v = rng.Below(range);
    return Join(data);
}

// Blobs with a triangular spread around integer centres, and uniform noise.
std::string Blobs(int rows, int cols, int blobs, int noise_percent, std::uint64_t seed) {
    SplitMix rng(seed);
    std::vector<std::vector<long>> centres(blobs, std::vector<long>(cols));
    for (auto& c : centres)
        for (auto& v : c) v = rng.Below(10000);
    std::vector<std::vector<long>> data(rows, std::vector<long>(cols));
    for (auto& row : data) {
        if (rng.Below(100) < noise_percent) {
            for (auto& v : row) v = rng.Below(12000) - 1000;
            continue;
        }
        const auto& c = centres[rng.Below(blobs)];
        const int spread = 100 + 100 * static_cast<int>(&c - &centres[0]) % 300;
        for (int j = 0; j < cols; ++j)
            row[j] = c[j] + rng.Below(spread) + rng.Below(spread) + rng.Below(spread) - 3 * (spread / 2);
    }
    return Join(data);
}

std::string Repeated(int rows, int distinct, std::uint64_t seed) {
    SplitMix rng(seed);
    std::vector<std::vector<long>> points(distinct, std::vector<long>(2));
    for (auto& p : points)
        for (auto& v : p) v = rng.Below(50);
    std::vector<std::vector<long>> data;
    for (int i = 0; i < rows; ++i) data.push_back(points[rng.Below(distinct)]);
    return Join(data);
}

// Points along a line with small integer gaps (zero gaps repeat a point).
std::string Line(int rows, int cols, std::uint64_t seed) {
    SplitMix rng(seed);
    std::vector<std::vector<long>> data;
    long t = 0;
    for (int i = 0; i < rows; ++i) {
        t += rng.Below(i % 50 < 40 ? 3 : 25);
        std::vector<long> row;
        for (int j = 0; j < cols; ++j) row.push_back(t * (j + 1));
        data.push_back(row);
    }
    return Join(data);
}

const std::vector<GoldenCase>& Cases() {
    static const std::vector<GoldenCase> cases = {
        {"one_row", [] { return std::string("5 7\n"); }, {}},
        {"two_rows", [] { return std::string("1\n4\n"); }, {}},
        {"three_rows", [] { return std::string("0 0\n1 1\n5 5\n"); }, {}},
        {"nine_points", [] { return std::string("0\n1\n3\n4\n10\n11\n13\n14\n30\n"); }, {}},
        {"grid_ties", [] { return Grid(300, 2, 6, 1); }, {}},
        {"grid_ties_finish", [] { return Grid(300, 2, 6, 1); }, {"-f", "1"}},
        {"grid_3d", [] { return Grid(800, 3, 10, 2); }, {}},
        {"grid_5d", [] { return Grid(700, 5, 4, 3); }, {}},
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
        {"sampled_duplicates", [] { return Grid(8000, 2, 40, 13); }, {}},
    };
    return cases;
}

const char* const kOutputs[] = {"normdata.txt", "S_normdata.txt", "CTavri-data.txt", "LTavri-data.txt"};

// What one case produces: output name -> SHA-256 (console output included).
std::map<std::string, std::string> Produce(const GoldenCase& c) {
    TempDir dir;
    dir.Write("data.txt", c.make());
    std::vector<std::string> args = {"data.txt"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto run = test_support::Run(TAVRI_EXE, args, dir.path());
    std::map<std::string, std::string> hashes;
    hashes["console"] = test_support::Sha256(run.output + "exit " + std::to_string(run.status));
    for (const char* name : kOutputs) {
        std::ifstream probe(dir.Path(name));
        if (probe) hashes[name] = test_support::Sha256(ReadFile(dir.Path(name)));
    }
    return hashes;
}

const std::string kGoldenFile = std::string(TAVRI_SOURCE_DIR) + "/tests/golden.txt";

std::map<std::string, std::map<std::string, std::string>> LoadGolden() {
    std::map<std::string, std::map<std::string, std::string>> golden;
    std::ifstream in(kGoldenFile);
    std::string name, output, hash;
    while (in >> name >> output >> hash) golden[name][output] = hash;
    return golden;
}

void SaveGolden(const std::string& name, const std::map<std::string, std::string>& hashes) {
    auto golden = LoadGolden();
    golden[name] = hashes;
    std::ofstream out(kGoldenFile);
    for (const auto& [case_name, outputs] : golden)
        for (const auto& [output, hash] : outputs) out << case_name << ' ' << output << ' ' << hash << '\n';
}

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.name; }

class Golden : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(Golden, OutputsAreUnchanged) {
    const GoldenCase& c = GetParam();
    const auto produced = Produce(c);
    if (std::getenv("TAVRI_UPDATE_GOLDEN") != nullptr) {
        SaveGolden(c.name, produced);
        GTEST_SKIP() << "recorded " << c.name;
    }
    const auto golden = LoadGolden();
    const auto found = golden.find(c.name);
    ASSERT_NE(found, golden.end()) << "no golden outputs recorded for " << c.name;
    EXPECT_EQ(produced, found->second) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, Golden, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace

// Seeded data generators and the cases whose outputs tests/golden.txt
// records; the comparison with the reference engine runs the same cases.
// All generators work in integers so the files are the same everywhere.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "test_support.h"

namespace golden_cases {

using test_support::SplitMix;
using Rows = std::vector<std::vector<long>>;

inline std::string Join(const Rows& rows) {
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
inline std::string Blobs(int rows, int cols, int blobs, int noise_percent, std::uint64_t seed) {
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

inline std::string Repeated(int rows, int distinct, std::uint64_t seed) {
    SplitMix rng(seed);
    const Rows points = Draw(rng, distinct, 2, 50);
    Rows data;
    for (int i = 0; i < rows; ++i) data.push_back(points[rng.Below(distinct)]);
    return Join(data);
}

// Points along a line with small integer gaps (zero gaps repeat a point).
inline std::string Line(int rows, int cols, std::uint64_t seed) {
    SplitMix rng(seed);
    Rows data(rows);
    long t = 0;
    for (int i = 0; i < rows; ++i) {
        t += rng.Below(i % 50 < 40 ? 3 : 25);
        for (int j = 0; j < cols; ++j) data[i].push_back(t * (j + 1));
    }
    return Join(data);
}

// A data file made from a seed (fixed data ignore it and carry seed 0), and
// the words after the file name on the command line.
struct SeededCase {
    std::string name;
    std::uint64_t seed;
    std::string (*make)(std::uint64_t seed);
    std::vector<std::string> args;
};

// Names the case in test listings instead of dumping its bytes.
inline void PrintTo(const SeededCase& c, std::ostream* os) { *os << c.name << " (seed " << c.seed << ")"; }

inline const std::vector<SeededCase>& GoldenCases() {
    using Seed = std::uint64_t;
    static const std::vector<SeededCase> cases = {
        {"one_row", 0, [](Seed) { return std::string("5 7\n"); }, {}},
        {"two_rows", 0, [](Seed) { return std::string("1\n4\n"); }, {}},
        {"three_rows", 0, [](Seed) { return std::string("0 0\n1 1\n5 5\n"); }, {}},
        {"nine_points", 0, [](Seed) { return std::string("0\n1\n3\n4\n10\n11\n13\n14\n30\n"); }, {}},
        {"grid_ties", 1, [](Seed s) { return Join(Draw(SplitMix(s), 300, 2, 6)); }, {}},
        {"grid_ties_finish", 1, [](Seed s) { return Join(Draw(SplitMix(s), 300, 2, 6)); }, {"-f", "1"}},
        {"grid_3d", 2, [](Seed s) { return Join(Draw(SplitMix(s), 800, 3, 10)); }, {}},
        {"grid_5d", 3, [](Seed s) { return Join(Draw(SplitMix(s), 700, 5, 4)); }, {}},
        {"repeated", 4, [](Seed s) { return Repeated(500, 25, s); }, {}},
        {"line_1d", 5, [](Seed s) { return Line(400, 1, s); }, {}},
        {"line_2d", 6, [](Seed s) { return Line(300, 2, s); }, {"-f", "1"}},
        {"blobs", 7, [](Seed s) { return Blobs(1500, 2, 5, 5, s); }, {}},
        {"blobs_finish", 7, [](Seed s) { return Blobs(1500, 2, 5, 5, s); }, {"-f", "1"}},
        {"blobs_u0", 7, [](Seed s) { return Blobs(1500, 2, 5, 5, s); }, {"-u", "0"}},
        {"blobs_u02", 7, [](Seed s) { return Blobs(1500, 2, 5, 5, s); }, {"-u", "0.2"}},
        {"blobs_u1", 7, [](Seed s) { return Blobs(1500, 2, 5, 5, s); }, {"-u", "1"}},
        {"blobs_10d", 8, [](Seed s) { return Blobs(1000, 10, 6, 3, s); }, {}},
        {"blobs_4000", 9, [](Seed s) { return Blobs(4000, 2, 8, 4, s); }, {"-s", "0"}},
        {"sampled_5000", 10, [](Seed s) { return Blobs(5000, 2, 6, 5, s); }, {}},
        {"sampled_12000_finish", 11, [](Seed s) { return Blobs(12000, 3, 7, 5, s); }, {"-f", "1"}},
        {"sampled_20000_10d", 12, [](Seed s) { return Blobs(20000, 10, 9, 2, s); }, {}},
        {"sampled_duplicates", 13, [](Seed s) { return Join(Draw(SplitMix(s), 8000, 2, 40)); }, {}},
    };
    return cases;
}

}  // namespace golden_cases

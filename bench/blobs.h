// The benchmarks' data: blobs with 5% noise, seeded by their shape, written
// as a data file with two decimals a value. The same numbers everywhere.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace bench {

// splitmix64, so that the data are the same on every platform.
struct SplitMix {
    std::uint64_t state;
    std::uint64_t Next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint64_t>(n)); }
};

// Writes rows x cols values: 12 blobs around random centres, 5% uniform noise.
// Returns false when the writing fails.
inline bool WriteBlobs(long long rows, int cols, std::FILE* out) {
    SplitMix rng{static_cast<std::uint64_t>(rows) * 131 + static_cast<std::uint64_t>(cols)};
    std::vector<std::vector<int>> centres(12, std::vector<int>(static_cast<std::size_t>(cols)));
    for (auto& c : centres)
        for (int& v : c) v = rng.Below(100000);
    std::string text;
    for (long long i = 0; i < rows; ++i) {
        const bool noise = rng.Below(100) < 5;
        const auto& c = centres[static_cast<std::size_t>(rng.Below(12))];
        for (int j = 0; j < cols; ++j) {
            const int v = noise ? rng.Below(110000) - 5000 : c[static_cast<std::size_t>(j)] + rng.Below(3000) +
                                                                 rng.Below(3000) - 3000;
            text += std::to_string(v / 100) + "." + std::to_string(100 + std::abs(v % 100)).substr(1);
            text += j + 1 < cols ? '\t' : '\n';
        }
        if (text.size() >= (1u << 20)) {
            if (std::fwrite(text.data(), 1, text.size(), out) != text.size()) return false;
            text.clear();
        }
    }
    return std::fwrite(text.data(), 1, text.size(), out) == text.size();
}

}  // namespace bench

// The engine's own time on a matrix of doubles, to set beside the Python
// package's: python/bench_fit.py writes the numbers, this times tavri::Cluster
// on them, as the package calls it (the values copied once, then clustered).
//
//   tavri_time_cluster FILE ROWS COLS [REPEATS]
//
// FILE holds ROWS x COLS doubles, row-major, in the machine's byte order.
// Prints one line: "seconds=S clusters=C noise=N", S the fastest of REPEATS
// (default 5) runs.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <vector>

#include "tavri/tavri.hpp"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s FILE ROWS COLS [REPEATS]\n", argv[0]);
        return 2;
    }
    const std::size_t rows = std::strtoul(argv[2], nullptr, 10);
    const std::size_t cols = std::strtoul(argv[3], nullptr, 10);
    const int repeats = argc > 4 ? std::atoi(argv[4]) : 5;
    std::vector<double> data(rows * cols);
    std::ifstream in(argv[1], std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size() * sizeof(double)))) {
        std::fprintf(stderr, "cannot read %zu x %zu doubles from %s\n", rows, cols, argv[1]);
        return 1;
    }
    double fastest = 0.0;
    tavri::Result result;
    try {
        for (int i = 0; i < repeats; ++i) {
            const auto start = std::chrono::steady_clock::now();
            result = tavri::Cluster(data.data(), rows, cols);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            if (i == 0 || took.count() < fastest) fastest = took.count();
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::printf("seconds=%.6f clusters=%d noise=%d\n", fastest, result.n_clusters, result.has_noise ? 1 : 0);
    return 0;
}

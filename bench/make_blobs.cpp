// Writes the benchmarks' seeded blobs with noise (bench/blobs.h) as a data file:
//   make_blobs ROWS COLS PATH
#include <cstdio>
#include <cstdlib>

#include "blobs.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s ROWS COLS PATH\n", argv[0]);
        return 1;
    }
    std::FILE* out = std::fopen(argv[3], "wb");
    if (out == nullptr) {
        std::perror(argv[3]);
        return 1;
    }
    const bool written = bench::WriteBlobs(std::atoll(argv[1]), std::atoi(argv[2]), out);
    return std::fclose(out) == 0 && written ? 0 : 1;
}

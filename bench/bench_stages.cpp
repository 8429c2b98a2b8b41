// Times the stages of a run on seeded data: reading, standardising, writing,
// the distance matrix, the whole clustering and the sampling; then prints the
// ratios the performance targets are stated in.
//
//   cmake -S . -B build && cmake --build build -j2 --target bench_stages
//   ./build/bench_stages
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "blobs.h"
#include "data_file.h"
#include "sampling.h"
#include "tavri.h"
#include "util.h"

namespace {

namespace fs = std::filesystem;

// Blobs with noise, written as a data file once per shape.
std::string DataFile(int rows, int cols) {
    const std::string path =
        (fs::temp_directory_path() / ("tavri-bench-" + std::to_string(rows) + "x" + std::to_string(cols) + ".txt"))
            .string();
    if (fs::exists(path)) return path;
    const std::string partial = path + ".partial";
    std::FILE* out = std::fopen(partial.c_str(), "wb");
    if (out == nullptr || !bench::WriteBlobs(rows, cols, out) || std::fclose(out) != 0) std::abort();
    fs::rename(partial, path);
    return path;
}

struct Matrix {
    double** rows = nullptr;
    int n = 0;
    int dims = 0;
    Matrix(int n_, int dims_) : rows(Reservmemdouble(n_, dims_)), n(n_), dims(dims_) {}
    ~Matrix() { Delete2D(rows, n); }
    Matrix(const Matrix&) = delete;
    Matrix& operator=(const Matrix&) = delete;
};

// The standardised data of one shape, read once.
const Matrix& Standardised(int rows, int cols) {
    static std::map<std::pair<int, int>, Matrix> cache;
    auto key = std::make_pair(rows, cols);
    auto found = cache.find(key);
    if (found != cache.end()) return found->second;
    auto& m = cache.try_emplace(key, rows, cols).first->second;
    LitFichier2DS(DataFile(rows, cols).c_str(), rows, cols, m.rows);
    NormaliseEcartType(m.rows, rows, cols);
    return m;
}

// Keeps the clustering's progress line out of the benchmark table.
class QuietStdout {
public:
    QuietStdout() : saved_(dup(STDOUT_FILENO)) {
        std::fflush(stdout);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }

private:
    int saved_;
};

// The pipeline's reading: one pass that measures and parses.
void BM_Read(benchmark::State& state) {
    const std::string path = DataFile(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) {
        const tavri::DataTable table = tavri::ReadDataFile(path, tavri::ReadOptions());
        benchmark::DoNotOptimize(table.values.data());
    }
}

void BM_Standardise(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    const int cols = static_cast<int>(state.range(1));
    const Matrix& source = Standardised(rows, cols);
    Matrix m(rows, cols);
    for (auto _ : state) {
        state.PauseTiming();
        CopyTo(source.rows, rows, cols, m.rows, rows, cols);
        state.ResumeTiming();
        NormaliseEcartType(m.rows, rows, cols);
    }
}

void BM_Write(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    const int cols = static_cast<int>(state.range(1));
    const Matrix& m = Standardised(rows, cols);
    const std::string path = (fs::temp_directory_path() / "tavri-bench-out.txt").string();
    for (auto _ : state) benchmark::DoNotOptimize(EcritFichier2D(path.c_str(), rows, cols, m.rows));
    fs::remove(path);
}

void BM_DistanceMatrix(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    const int cols = static_cast<int>(state.range(1));
    const Matrix& m = Standardised(rows, cols);
    Matrix dist(rows, rows);
    for (auto _ : state) {
        GenereMatriceDistance(m.rows, rows, cols, nullptr, dist.rows, d_Eucl);
        benchmark::ClobberMemory();
    }
}

void BM_Cluster(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    const int cols = static_cast<int>(state.range(1));
    const Matrix& m = Standardised(rows, cols);
    for (auto _ : state) {
        double vector[9] = {0.15, 1.0, 1.0, 1.0, 0.04, 0.0, 0.0, 1.0, 0.0};
        std::vector<int*> members(static_cast<std::size_t>(rows), nullptr);
        std::vector<int> sizes(static_cast<std::size_t>(rows));
        int lists = 0;
        int noise = 0;
        {
            QuietStdout quiet;
            algoMutuel(m.rows, rows, cols, lists, 2, vector, d_Eucl, members.data(), sizes.data(), noise);
        }
        state.counters["lists"] = lists;
        for (int* list : members) delete[] list;
    }
}

void BM_Sampling(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    const int cols = static_cast<int>(state.range(1));
    const Matrix& m = Standardised(rows, cols);
    Matrix prototypes(4000, cols);
    std::vector<double> density(static_cast<std::size_t>(rows));
    std::vector<int> prototype_rows(static_cast<std::size_t>(rows));
    std::vector<int> populations(static_cast<std::size_t>(rows));
    for (auto _ : state) {
        int count = 4000;
        int options[4] = {1, 0, 0, 1};
        SamplingApproach_PROBA_P(m.rows, rows, cols, 0.0, prototypes.rows, count, density.data(),
                                 prototype_rows.data(), populations.data(), nullptr, options);
        state.counters["prototypes"] = count;
    }
}

void Shapes(benchmark::internal::Benchmark* b) {
    for (int rows : {4000, 100000})
        for (int cols : {2, 10}) b->Args({rows, cols});
}
void SmallShapes(benchmark::internal::Benchmark* b) {
    for (int cols : {2, 10}) b->Args({4000, cols});
}
// And 24 columns: the sampling on data wider than the common cases.
void LargeShapes(benchmark::internal::Benchmark* b) {
    for (int cols : {2, 10, 24}) b->Args({100000, cols});
}

BENCHMARK(BM_Read)->Apply(Shapes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Standardise)->Apply(Shapes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Write)->Apply(Shapes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DistanceMatrix)->Apply(SmallShapes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Cluster)->Apply(SmallShapes)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Sampling)->Apply(LargeShapes)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Collects the real time of every run, then prints the target ratios from the
// fastest repetition of each stage: on a shared machine other tenants only
// ever add time, so the minimum is the steadiest estimate.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;
            const double seconds = run.GetAdjustedRealTime() / 1000.0;
            auto [at, fresh] = seconds_.try_emplace(run.benchmark_name(), seconds);
            if (!fresh) at->second = std::min(at->second, seconds);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto get = [&](const std::string& name) {
            auto found = seconds_.find(name);
            return found == seconds_.end() ? -1.0 : found->second;
        };
        const double cluster = get("BM_Cluster/4000/2/min_time:1.000");
        const double matrix = get("BM_DistanceMatrix/4000/2");
        const double sampling = get("BM_Sampling/100000/10/min_time:1.000");
        const double read = get("BM_Read/100000/10") + get("BM_Standardise/100000/10");
        std::printf("\nTargets (ratios of the fastest repetitions' real time, lower is better):\n");
        if (cluster > 0 && matrix > 0)
            std::printf("  clustering 4000x2 / distance matrix 4000x2        = %.2f  (target <= 3)\n", cluster / matrix);
        if (sampling > 0 && read > 0)
            std::printf("  sampling 100000x10 / (read + standardise) 100000x10 = %.2f  (target <= 1)\n",
                        sampling / read);
    }

private:
    std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
    // --data-only: write the seeded data files (for bench/whole_runs.sh) and stop.
    if (argc == 2 && std::string(argv[1]) == "--data-only") {
        for (int rows : {4000, 100000})
            for (int cols : {2, 10}) std::printf("%s\n", DataFile(rows, cols).c_str());
        return 0;
    }
    // Five repetitions unless asked otherwise: the ratios take the fastest.
    std::vector<char*> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=5";
    const bool asked = std::any_of(args.begin(), args.end(), [](const char* a) {
        return std::string(a).rfind("--benchmark_repetitions", 0) == 0;
    });
    if (!asked) args.insert(args.begin() + 1, repetitions.data());
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

#include "mainTavri.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <exception>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "command_line.h"
#include "console.h"
#include "data_file.h"
#include "engine.h"
#include "output_files.h"
#include "read_notes.h"

#ifndef TAVRI_VERSION
#define TAVRI_VERSION "1.0.0"
#endif

namespace {

using tavri::Console;
using tavri::OutputSet;
using tavri::TextSink;

// Output name: the directory text (unchanged, no separator added), then the
// input's own folder, then the prefix in front of the base name.
std::string OutputName(const char* directory, const char* file, const char* prefix) {
    std::string name = directory != nullptr ? directory : "";
    const char* slash = std::strrchr(file, '/');
    const char* base = slash != nullptr ? slash + 1 : file;
    name.append(file, base);
    name += prefix;
    name += base;
    return name;
}

// A run ends early: its message has been printed.
struct RunStopped {};

// The coordinates of a row, each as "%lf" followed by a tab.
void WriteCoordinates(TextSink& sink, const double* row, std::size_t cols) {
    for (std::size_t j = 0; j < cols; ++j) {
        sink.Fixed6(row[j]);
        sink.Char('\t');
    }
}

// Rows of `cols` values a line: all rows, or the rows listed.
void WriteRows(TextSink& sink, const double* data, std::size_t cols, const std::vector<int>* rows, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        WriteCoordinates(sink, data + static_cast<std::size_t>(rows != nullptr ? (*rows)[i] : static_cast<int>(i)) * cols,
                         cols);
        sink.Char('\n');
    }
}

// What the console and the output files make of the engine's progress: the
// "norm" file once standardised, "N_instance" and "S_norm" once sampled, the
// phase-1 line, and the progress line on a terminal.
class RunReporter : public tavri::Observer {
public:
    RunReporter(Console& console, OutputSet& outputs, const char* directory, const char* file)
        : console_(console), outputs_(outputs), directory_(directory), file_(file) {}
    ~RunReporter() override {
        if (norm_writer_.joinable()) norm_writer_.join();
    }
    RunReporter(const RunReporter&) = delete;
    RunReporter& operator=(const RunReporter&) = delete;

    // Writes one output of the set; a failure ends the run.
    void Write(const char* prefix, const std::function<void(TextSink&)>& fill) {
        const std::string name = OutputName(directory_, file_, prefix);
        if (!outputs_.Write(name, fill)) Fail(name, outputs_.error());
    }

    void Standardised(const double* data, std::size_t rows, std::size_t cols) override {
        cols_ = cols;
        auto fill = [data, rows, cols](TextSink& sink) { WriteRows(sink, data, cols, nullptr, rows); };
        if (rows <= MAX_PROTOTYPE) return Write("norm", fill);
        // A large "norm" file is written while the sampling runs; both only
        // read the data. Its outcome is known before the sampling's lines.
        try {
            norm_writer_ = std::thread([this, fill] {
                try {
                    norm_written_ = outputs_.Write(OutputName(directory_, file_, "norm"), fill);
                    norm_error_ = outputs_.error();
                } catch (...) {
                    norm_failure_ = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            Write("norm", fill);  // no thread to be had: now, then
        }
    }

    // Waits for the "norm" file; a failure to write it ends the run here.
    void FinishNorm() {
        if (!norm_writer_.joinable()) return;
        norm_writer_.join();
        if (norm_failure_ != nullptr) std::rethrow_exception(norm_failure_);
        if (!norm_written_) Fail(OutputName(directory_, file_, "norm"), norm_error_);
    }

    void Sampled(const tavri::Result& result) override {
        FinishNorm();
        console_.Out("N_instance = %d\n", static_cast<int>(result.prototypes.size()));
        Write("S_norm", [&](TextSink& sink) {
            WriteRows(sink, result.prototype_coordinates.data(), cols_, nullptr, result.prototypes.size());
        });
    }

    void FirstPhaseDone(int groups, int points) override {
        console_.Out("n_cluster phase 1=%d (%d)\n", groups, points);
    }

    void Progress(Stage stage, std::size_t done, std::size_t total) override {
        if (stage == Stage::kSampling)
            console_.Progress("sampling: " + std::to_string(done) + " prototypes of at most " + std::to_string(total));
        else if (stage == Stage::kClustering)
            console_.Progress("clustering: density threshold " + std::to_string(done) + " of " + std::to_string(total));
        else
            console_.Progress("standardising");
    }

private:
    [[noreturn]] void Fail(const std::string& name, int error) {
        console_.Out("Unable to write file:  %s\n", name.c_str());
        console_.Note("cannot write " + name + ": " + std::strerror(error));
        throw RunStopped();
    }

    Console& console_;
    OutputSet& outputs_;
    const char* directory_;
    const char* file_;
    std::size_t cols_ = 0;
    std::thread norm_writer_;
    bool norm_written_ = false;
    int norm_error_ = 0;
    std::exception_ptr norm_failure_;
};

// The label a point carries in the files: its list, the noise list last.
int FileLabel(const tavri::Result& result, int label) { return label < 0 ? result.n_clusters : label; }

// The result, labels and summary files of a finished clustering.
void WriteResults(RunReporter& reporter, const tavri::Result& result, const double* data, std::size_t rows,
                  std::size_t cols) {
    const bool sampled = !result.prototypes.empty();
    reporter.Write("CTavri-", [&](TextSink& sink) {
        // One line per point clustered: the prototypes, or every row read.
        const std::size_t lines = sampled ? result.prototypes.size() : rows;
        const double* points = sampled ? result.prototype_coordinates.data() : data;
        for (std::size_t i = 0; i < lines; ++i) {
            WriteCoordinates(sink, points + i * cols, cols);
            sink.Int(FileLabel(result, sampled ? result.point_labels[i] : result.labels[i]));
            sink.Char('\n');
        }
    });
    reporter.Write("LTavri-", [&](TextSink& sink) {
        for (const int label : result.labels) {
            sink.Int(FileLabel(result, label));
            sink.Char('\n');
        }
    });
    reporter.Write("RTavri-", [&](TextSink& sink) {
        const int lists = result.n_clusters + (result.has_noise ? 1 : 0);
        sink.Text("lists=" + std::to_string(lists) + " clusters=" + std::to_string(result.n_clusters) +
                  " noise=" + (result.has_noise ? "1" : "0") + " rows=" + std::to_string(rows) +
                  " points=" + std::to_string(result.clustered_rows.size()) + " sampled=" + (sampled ? "1" : "0") +
                  "\n");
    });
}

}  // namespace

int ExecuteTavri(const char* directory, const char* file, double* vector) {
    return ExecuteTavri(directory, file, vector, RunSettings());
}

namespace {

// Reads the data file in one pass, with its progress on a terminal.
tavri::DataTable ReadData(const std::string& path, const RunSettings& settings, Console& console) {
    tavri::ReadOptions options;
    options.max_rows = settings.max_rows;
    options.separator = settings.separator;
    options.header = settings.header;
    options.scan_after_blank = !settings.quiet;
    struct stat info;
    const long long size = stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) ? info.st_size : 0;
    options.progress = [&console, size](std::uint64_t bytes) { console.Progress(tavri::ReadingProgress(bytes, size)); };
    return tavri::ReadDataFile(path, options);
}

// The lines of a file read, in their order: its size, then each reason to
// stop, with its explanation. True when the run goes on.
bool ReportData(const tavri::DataTable& table, const std::string& path, int sampling, const RunSettings& settings,
                Console& console) {
    if (table.status != tavri::ReadStatus::kOk) {
        console.Out("Unable to open file:  %s\n", path.c_str());
        console.Note(tavri::ExplainUnreadable(table, path, settings));
        return false;
    }
    console.Out("DATA LOADED=%lld patterns, %lld dimensions\n", static_cast<long long>(table.rows),
                static_cast<long long>(table.cols));
    if (table.blank_line != 0 && table.lines_after_blank > 0) console.Note(tavri::ExplainBlankLine(table));
    if (table.rows == 0 || table.cols == 0) {
        console.Out("Data file empty:  %s\n", path.c_str());
        console.Note(tavri::ExplainEmpty(table, path, settings));
        return false;
    }
    if (table.kept_rows > MAX_PROTOTYPE && sampling != 1) {
        console.Out("Database size is too large, please use the sampling option\n");
        return false;
    }
    if (table.out_of_memory) {
        console.Out("Memory failure (data)\n");
        console.Note(tavri::ExplainNoMemory(table));
        return false;
    }
    if (table.fault.kind != tavri::FaultKind::kNone) {
        console.Out("Unable to read file:  %s, line %lld\n", path.c_str(), static_cast<long long>(table.fault.line));
        console.Note(tavri::ExplainFault(table, settings));
        return false;
    }
    if (table.kept_rows < table.rows) console.Note(tavri::ExplainRowCap(table));
    if (table.kept_cols < table.cols) console.Note(tavri::ExplainColumnCap(table));
    return true;
}

// Runs the engine on the data read and writes every output; returns the
// number of lists, 0 when the run failed (its message printed).
int ClusterAndWrite(tavri::DataTable& table, const char* directory, const char* file, double* vector,
                    Console& console) {
    OutputSet outputs;
    RunReporter reporter(console, outputs, directory, file);
    const std::size_t rows = static_cast<std::size_t>(table.kept_rows);
    const std::size_t cols = static_cast<std::size_t>(table.kept_cols);
    try {
        // A sampled run reads the data only until its prototypes hold them.
        const tavri::Result result = tavri::RunEngine(table.values.data(), rows, cols, vector, &reporter, [&] {
            reporter.FinishNorm();
            table.values.release();
        });
        WriteResults(reporter, result, table.values.data(), rows, cols);
        std::string failed;
        if (!outputs.Commit(&failed)) {
            console.Out("Unable to write file:  %s\n", failed.c_str());
            console.Note("cannot put " + failed + " in place: " + std::strerror(outputs.error()));
            return 0;
        }
        vector[kNoiseFlag] = result.has_noise ? 1.0 : 0.0;
        return result.n_clusters + (result.has_noise ? 1 : 0);
    } catch (const RunStopped&) {
        return 0;
    } catch (const std::bad_alloc&) {
        console.Out("Memory error\n");
        console.Note("not enough memory for the run; the outputs of earlier runs are unchanged");
        return 0;
    } catch (const tavri::Error& error) {
        console.Note(error.what());
        return 0;
    }
}

}  // namespace

int ExecuteTavri(const char* directory, const char* file, double* vector, const RunSettings& settings) {
    Console console(settings.quiet, settings.progress);
    const std::string path = std::string(directory != nullptr ? directory : "") + file;
    tavri::DataTable table;
    try {
        table = ReadData(path, settings, console);
    } catch (const std::bad_alloc&) {
        // Not even the reader's line buffer could be had: no count to report.
        console.Out("Memory failure (data)\n");
        console.Note("not enough memory to read " + path);
        return 0;
    }
    if (!ReportData(table, path, static_cast<int>(vector[kSampling]), settings, console)) return 0;
    return ClusterAndWrite(table, directory, file, vector, console);
}

void ParseOptions(int argc, char** argv, double* vector, const char*& directory) {
    // Options are matched by their first two characters; the word used as
    // a value is examined as an option in its own turn.
    for (int i = 2; i < argc; ++i) {
        const char* word = argv[i];
        const bool has_value = i + 1 < argc;
        const char* value = has_value ? argv[i + 1] : nullptr;
        auto as_int = [](const char* text) {
            // "atoi" without its undefined behaviour on overflow.
            const long v = std::strtol(text, nullptr, 10);
            return static_cast<double>(v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : v);
        };
        if (std::strncmp(word, "-u", 2) == 0) {
            if (has_value) vector[kU] = std::strtod(value, nullptr);
        } else if (std::strncmp(word, "-s", 2) == 0) {
            if (has_value) vector[kSampling] = as_int(value);
        } else if (std::strncmp(word, "-d", 2) == 0) {
            if (has_value) directory = value;
        } else if (std::strncmp(word, "-f", 2) == 0) {
            if (has_value) vector[kFinish] = as_int(value);
        }
    }
}

namespace {

[[noreturn]] void NoMemoryToThrow() {
    std::fputs("Memory error\nTavri error\n", stdout);
    std::fflush(stdout);
    std::_Exit(1);
}

// Every memory failure of a run travels as std::bad_alloc, and throwing one
// needs memory of its own: a process started with too little for that would
// abort at its first failed allocation. One is thrown now, while failing to
// throw it can only mean that; such a run ends as any other without memory.
void CheckExceptionsCanBeThrown() {
    const std::terminate_handler previous = std::set_terminate(NoMemoryToThrow);
    try {
        throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
    }
    std::set_terminate(previous);
}

int RunCommandLine(int argc, char** argv) {
    if (argc < 2) {
        tavri::PrintUsage(argv[0]);
        return 1;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        tavri::PrintHelp(argv[0]);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("tavri %s\n", TAVRI_VERSION);
        return 0;
    }
    CheckExceptionsCanBeThrown();
    tavri::RemoveTemporariesOnSignals();

    double vector[kRunSlots] = {0.15, 1.0, 1.0, 1.0, 0.04, 0.0, 0.0, 1.0, 0.0};
    const char* directory = nullptr;
    const char* file = argv[1];
    RunSettings settings;
    const std::string error = tavri::ParseLongOptions(argc, argv, settings);
    if (!error.empty()) {
        tavri::PrintNote(error + " (see tavri --help)");
        return 1;
    }
    settings.progress = !settings.quiet && isatty(STDERR_FILENO) != 0;

    if (argc > 2) {
        ParseOptions(argc, argv, vector, directory);
        std::printf("Data:  %s,", file);
        if (directory != nullptr) std::printf(" Path:  %s,", directory);
        if (vector[kSampling] == 1.0) std::printf(" Sampling is active if required\n");
        std::printf(" u=%f\n", vector[kU]);
        if (vector[kFinish] == 1.0) std::printf("Tavri is completed to have no noise\n");
        if (!settings.quiet)
            for (const std::string& note : tavri::OptionNotes(argc, argv)) tavri::PrintNote(note);
    }

    const int result = ExecuteTavri(directory, file, vector, settings);
    if (result <= 0) {
        std::printf("Tavri error\n");
        return 1;
    }
    if (vector[kNoiseFlag] == 1.0)
        std::printf("Tavri(with sampling) (%d cluster,noise) ...\n", result);
    else
        std::printf("Tavri(without sampling) (%d clusters,no noise) ...\n", result);
    return 0;
}

}  // namespace

int TavriMain(int argc, char** argv) {
    try {
        return RunCommandLine(argc, argv);
    } catch (const std::bad_alloc&) {
        // Memory ran out outside the run's own checks (parsing the options, say).
        std::printf("Memory error\nTavri error\n");
        return 1;
    }
}

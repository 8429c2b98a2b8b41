#include "mainTavri.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sampling.h"
#include "tavri.h"
#include "util.h"

#ifndef TAVRI_VERSION
#define TAVRI_VERSION "1.0.0"
#endif

namespace {

// Owns a data matrix for the length of a run, whatever path the run leaves by.
class MatrixOwner {
public:
    MatrixOwner(double** rows, int count) : rows_(rows), count_(count) {}
    ~MatrixOwner() { Delete2D(rows_, count_); }
    MatrixOwner(const MatrixOwner&) = delete;
    MatrixOwner& operator=(const MatrixOwner&) = delete;
    double** get() const { return rows_; }

private:
    double** rows_;
    int count_;
};

// The cluster lists filled by the clustering: one owned array per list.
struct ClusterLists {
    explicit ClusterLists(int n) : members(static_cast<std::size_t>(n), nullptr), sizes(static_cast<std::size_t>(n), 0) {}
    ~ClusterLists() {
        for (int* list : members) delete[] list;
    }
    ClusterLists(const ClusterLists&) = delete;
    ClusterLists& operator=(const ClusterLists&) = delete;

    std::vector<int*> members;
    std::vector<int> sizes;
};

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

bool WriteOrReport(int written, const std::string& name) {
    if (written == 0) std::printf("Unable to write file:  %s\n", name.c_str());
    return written != 0;
}

// The label every clustered point carries in the result file: the index of
// the last list that holds it, or the list count when no list does.
std::vector<int> PointLabels(const ClusterLists& lists, int n, int n_lists) {
    std::vector<int> labels(static_cast<std::size_t>(n), n_lists);
    for (int k = 0; k < n_lists; ++k)
        for (int e = 0; e < lists.sizes[k]; ++e) labels[lists.members[k][e]] = k;
    return labels;
}

// One label per data row read: the label of the prototype the row belongs to.
int WriteRowLabels(const std::string& name, const std::vector<int>& assignment, const std::vector<int>& labels) {
    std::string text;
    text.reserve(assignment.size() * 3);
    for (int prototype : assignment) {
        AppendInt(text, labels[prototype]);
        text.push_back('\n');
    }
    return WriteFileAtomically(name, text);
}

// "atoi" on an option value, without its undefined behaviour on overflow.
int OptionInt(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

void PrintUsage(const char* program) {
    std::printf("\nThe program %s needs 1 argument: ", program);
    std::printf("\n\t* the file name;");
    std::printf("\nOptions: ");
    std::printf("\n\t* -u the u parameter (default:  0.04)");
    std::printf("\n\t* -f the finish parameter (default:  0), when 1 noise points are assigned a cluster label");
    std::printf("\n\t* -d directory for input and output data (default: current)");
    std::printf(
        "\n\t* -s sampling as a preprocessing step (default: 1, sampling is done when data size is higher than "
        "MAX_PROTOTYPE=4000)");
    std::printf("\n");
}

}  // namespace

int ExecuteTavri(const char* directory, const char* file, double* vector) {
    const int sampling = static_cast<int>(vector[kSampling]);
    const std::string path = std::string(directory != nullptr ? directory : "") + file;

    int rows = 0;
    int cols = 0;
    if (ExtraitDimensionFile(path.c_str(), rows, cols) == -1) {
        std::printf("Unable to open file:  %s\n", path.c_str());
        return 0;
    }
    std::printf("DATA LOADED=%d patterns, %d dimensions\n", rows, cols);
    if (rows == 0 || cols == 0) {
        std::printf("Data file empty:  %s\n", path.c_str());
        return 0;
    }
    rows = min(rows, MAX_ROWS);
    const int read_rows = rows;
    if (rows > MAX_PROTOTYPE && sampling != 1) {
        std::printf("Database size is too large, please use the sampling option\n");
        return 0;
    }
    MatrixOwner matrix(Reservmemdouble(rows, cols), read_rows);
    if (matrix.get() == nullptr) {
        std::printf("Memory failure (data)\n");
        return 0;
    }
    int bad_line = 0;
    if (LitFichier2DS(path.c_str(), rows, cols, matrix.get(), &bad_line) == 0) {
        if (bad_line == 0)
            std::printf("Unable to open file:  %s\n", path.c_str());
        else
            std::printf("Unable to read file:  %s, line %d\n", path.c_str(), bad_line);
        return 0;
    }
    cols = min(cols, MAX_ROWS);
    NormaliseEcartType(matrix.get(), rows, cols);

    const std::string norm_name = OutputName(directory, file, "norm");
    if (!WriteOrReport(EcritFichier2D(norm_name.c_str(), rows, cols, matrix.get()), norm_name)) return 0;

    ClusterLists lists(rows);
    int options[4] = {1, 0, 0, 1};  // entry 0 doubles as the clustering's noise flag cell
    std::vector<int> row_assignment;  // sampled runs: data row -> prototype number
    if (sampling == 1 && rows > MAX_PROTOTYPE) {
        std::vector<double> prototype_density(static_cast<std::size_t>(rows));
        std::vector<int> prototype_rows(static_cast<std::size_t>(rows));
        row_assignment.assign(static_cast<std::size_t>(rows), 0);
        int count = MAX_PROTOTYPE;
        MatrixOwner prototypes(Reservmemdouble(MAX_PROTOTYPE, cols), MAX_PROTOTYPE);
        if (prototypes.get() == nullptr) return 0;
        // The populations land in the cluster sizes, which the clustering overwrites.
        SamplingApproach_PROBA_P(matrix.get(), rows, cols, 0.0, prototypes.get(), count, prototype_density.data(),
                                 prototype_rows.data(), lists.sizes.data(), nullptr, options, row_assignment.data());
        std::printf("N_instance = %d\n", count);
        CopyTo(prototypes.get(), count, cols, matrix.get(), rows, cols);
        rows = count;
        const std::string s_norm_name = OutputName(directory, file, "S_norm");
        if (!WriteOrReport(EcritFichier2D(s_norm_name.c_str(), rows, cols, matrix.get()), s_norm_name)) return 0;
    }

    int list_count = 0;
    const int result = algoMutuel(matrix.get(), rows, cols, list_count, 2, vector, d_Eucl, lists.members.data(),
                                  lists.sizes.data(), options[0]);
    if (result < 0) return 0;  // the clustering has reported its memory failure
    if (result != 0) {
        const std::string result_name = OutputName(directory, file, "CTavri-");
        if (!WriteOrReport(PrintResultClustering(result_name.c_str(), matrix.get(), rows, cols,
                                                 lists.members.data(), list_count, lists.sizes.data()),
                           result_name))
            return 0;
        if (!row_assignment.empty()) {
            const std::string labels_name = OutputName(directory, file, "LTavri-");
            const std::vector<int> labels = PointLabels(lists, rows, list_count);
            if (!WriteOrReport(WriteRowLabels(labels_name, row_assignment, labels), labels_name)) return 0;
        }
        vector[kNoiseFlag] = static_cast<double>(options[0]);
    }
    return list_count;
}

void ParseOptions(int argc, char** argv, double* vector, const char*& directory) {
    // Options are matched by their first two characters; the word used as
    // a value is examined as an option in its own turn.
    for (int i = 2; i < argc; ++i) {
        const char* word = argv[i];
        const bool has_value = i + 1 < argc;
        const char* value = has_value ? argv[i + 1] : nullptr;
        if (std::strncmp(word, "-u", 2) == 0) {
            if (has_value) vector[kU] = std::strtod(value, nullptr);
        } else if (std::strncmp(word, "-s", 2) == 0) {
            if (has_value) vector[kSampling] = OptionInt(value);
        } else if (std::strncmp(word, "-d", 2) == 0) {
            if (has_value) directory = value;
        } else if (std::strncmp(word, "-f", 2) == 0) {
            if (has_value) vector[kFinish] = OptionInt(value);
        }
    }
}

int TavriMain(int argc, char** argv) {
    if (argc < 2) {
        PrintUsage(argv[0]);
        return 1;
    }
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        PrintUsage(argv[0]);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("tavri %s\n", TAVRI_VERSION);
        return 0;
    }

    double vector[kRunSlots] = {0.15, 1.0, 1.0, 1.0, 0.04, 0.0, 0.0, 1.0, 0.0};
    const char* directory = nullptr;
    const char* file = argv[1];

    if (argc > 2) {
        ParseOptions(argc, argv, vector, directory);
        std::printf("Data:  %s,", file);
        if (directory != nullptr) std::printf(" Path:  %s,", directory);
        if (vector[kSampling] == 1.0) std::printf(" Sampling is active if required\n");
        std::printf(" u=%f\n", vector[kU]);
        if (vector[kFinish] == 1.0) std::printf("Tavri is completed to have no noise\n");
    }

    const int result = ExecuteTavri(directory, file, vector);
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

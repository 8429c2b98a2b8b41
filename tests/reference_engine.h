// A second, deliberately plain implementation of a whole tavri run, for the
// tests only: full distance matrix, point records with member lists, every
// pass recomputed from scratch, the sampling as one loop over every row at
// every step. It is slow on purpose; its job is to be obviously right, so the
// optimised engine's outputs can be compared with it byte for byte.
#pragma once

#include <string>
#include <vector>

namespace reference {

// The numbers of a data file, one inner vector per row, all of one length.
using Table = std::vector<std::vector<double>>;

// The run parameters that the command line can set.
struct RunOptions {
    std::string file_name = "data.txt";  // only shown by the echo line
    bool echo = false;                   // words followed the file name
    double u = 0.04;
    int finish = 0;
    int sampling = 1;
};

// Options from the words after the file name, read as the executable reads
// them. -d is not supported here (the comparison runs beside the data).
RunOptions ParseCommandLine(const std::string& file_name, const std::vector<std::string>& words);

// Everything a successful run prints and writes. Output files are held as
// their whole contents.
struct RunOutputs {
    std::string console;  // standard output
    std::string norm;
    bool sampled = false;
    std::string s_norm;  // written by sampled runs only
    std::string ctavri;
    std::string ltavri;
    // Facts about the run that explain expected differences, not outputs.
    int points_clustered = 0;  // distinct rows, or prototypes after sampling
    int rescaled_columns = 0;  // columns standardised on power-of-two scaled values
};

// A whole run on data already read. Throws std::invalid_argument for data the
// executable refuses (no rows, no columns, more than 4000 rows without
// sampling) and for more rows than it reads (100000).
RunOutputs RunTavri(const Table& data, const RunOptions& options);

// ---- The stages, exposed so that the reference itself can be checked on
// small cases with known answers.

// The standardised values of one column, and whether they were computed on
// the rescaled values.
struct StandardisedColumn {
    std::vector<double> values;
    bool rescaled = false;
};
StandardisedColumn StandardiseColumn(const std::vector<double>& values);

// The outcome of clustering n points.
struct Clustering {
    int phase1_groups = 0;    // groups left by the mutual-neighbour phase
    int list_count = 0;       // cluster lists, the noise list included
    bool noise_list = false;  // the last list is the noise list
    std::vector<int> labels;  // per point: the index of the list that holds it
};
Clustering Cluster(const Table& points, double u, int finish);

// The outcome of sampling: the rows chosen as prototypes in the order they
// were chosen, and for every row the number of the prototype it belongs to.
struct Sample {
    std::vector<int> prototype_rows;
    std::vector<int> row_prototype;
};
Sample SampleRows(const Table& rows, int max_prototypes);

}  // namespace reference

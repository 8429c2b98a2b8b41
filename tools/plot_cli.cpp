// The command line of tavri-plot.
#include <algorithm>
#include <iostream>

#include "plot.h"

#ifndef TAVRI_VERSION
#error "TAVRI_VERSION must be defined (the build defines it from the project version)"
#endif

namespace tavri_plot {

namespace {

// The help text; docs/tavri-plot.1 says the same.
const char kUsage[] =
    "Usage: tavri-plot RESULT [OPTIONS]\n"
    "       tavri-plot DATA --labels LABELS [OPTIONS]\n"
    "       tavri-plot -h | --help | --version\n"
    "Draws Tavri's clusters as an SVG scatter plot: the points of a result file\n"
    "(CTavri-NAME) in their standardised coordinates or, with --labels, every\n"
    "row of a data file in its own units, coloured by its label in LABELS.\n"
    "\n"
    "Options, before or after the input (-- ends them):\n"
    "  -o OUT         picture to write; - for standard output\n"
    "                 (default: the input's name followed by .svg)\n"
    "  -x I           coordinate (column) on the horizontal axis, from 0 (default 0)\n"
    "  -y J           coordinate (column) on the vertical axis, from 0 (default 1);\n"
    "                 with a single coordinate and no -y, points lie along a line\n"
    "  --labels FILE  labels file (LTavri-NAME): line i holds the label of data\n"
    "                 row i (default: none; the input is then a result file)\n"
    "  --equal        one scale on both axes: a unit as many pixels across as up\n"
    "                 (default: off; each axis fits its own values)\n"
    "  --noise        draw the highest label as the noise list, small and grey\n"
    "  --no-noise     draw every label as a cluster\n"
    "                 (default for both: as the run summary says, see below;\n"
    "                 the last of the two given wins, and either one keeps\n"
    "                 the summary unread)\n"
    "  -h, --help     show this help and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "Files read:\n"
    "  RESULT         coordinates then a label on each line (tavri's CTavri-NAME)\n"
    "  DATA, LABELS   the data file, read up to its first blank line as tavri\n"
    "                 reads it, and one label a line for each of its rows\n"
    "  RTavri-NAME    the run summary in the folder of CTavri-NAME (or of\n"
    "                 LTavri-NAME): with noise=1 its last list is drawn as noise;\n"
    "                 without it, or without a tavri name, there is no noise list;\n"
    "                 a summary whose counts do not fit the file is refused\n"
    "  Numbers are complete finite decimals: nan, inf, hexadecimal forms and\n"
    "  values beyond a double are refused, naming the line and column.\n"
    "\n"
    "A regular output file is replaced whole: a failure leaves the earlier one.\n"
    "A device, FIFO or link (such as /dev/stdout) is written in place.\n"
    "\n"
    "Exit status: 0 when the picture is written (or help or version shown);\n"
    "1 on any fault, with one line on standard error saying why.\n"
    "\n"
    "Examples:\n"
    "  tavri-plot CTavri-blobs.txt\n"
    "  tavri-plot blobs.txt --labels LTavri-blobs.txt --equal -o blobs.svg\n"
    "  tavri-plot CTavri-blobs.txt -x 1 -y 0 --no-noise -o - | gzip > b.svgz\n";

int Fail(const std::string& reason) {
    std::cerr << "tavri-plot: " << reason << '\n';
    return 1;
}

// What the command line asks for.
struct Request {
    std::vector<std::string> inputs;  // RESULT, or DATA with --labels
    std::string labels;
    bool have_labels = false;
    std::string output;
    bool have_output = false;
    int x = 0;
    int y = 1;
    bool have_y = false;
    enum class Noise { kAsTheRunSaid, kHighestLabel, kNone } noise = Noise::kAsTheRunSaid;
    bool equal = false;
};

// The value of the option at argv[i], which it consumes; false when missing.
bool TakeValue(int argc, char** argv, int& i, std::string& value) {
    if (i + 1 >= argc) return false;
    value = argv[++i];
    return true;
}

bool TakeIndex(int argc, char** argv, int& i, int& value, std::string& error) {
    const std::string flag = argv[i];
    std::string text;
    if (!TakeValue(argc, argv, i, text)) {
        error = flag + " needs a coordinate index (0, 1, ...)";
        return false;
    }
    if (ParseNonNegative(text, value)) return true;
    error = flag + " needs a coordinate index (0, 1, ...), not '" + Shown(text) + "'";
    return false;
}

// Reads the arguments into `request`. Returns -1 to go on; otherwise the exit
// status, the help printed or the fault reported.
int ParseArguments(int argc, char** argv, Request& request) {
    bool options_done = false;
    std::string error;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options_done || arg.size() < 2 || arg[0] != '-') {
            request.inputs.push_back(arg);
        } else if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--version") {
            std::cout << "tavri-plot " TAVRI_VERSION "\n";
            return 0;
        } else if (arg == "--") {
            options_done = true;
        } else if (arg == "--noise") {
            request.noise = Request::Noise::kHighestLabel;
        } else if (arg == "--no-noise") {
            request.noise = Request::Noise::kNone;
        } else if (arg == "--equal") {
            request.equal = true;
        } else if (arg == "-o") {
            if (!TakeValue(argc, argv, i, request.output)) return Fail("-o needs a file name");
            request.have_output = true;
        } else if (arg == "--labels") {
            if (!TakeValue(argc, argv, i, request.labels)) return Fail("--labels needs a file name");
            request.have_labels = true;
        } else if (arg == "-x" || arg == "-y") {
            if (!TakeIndex(argc, argv, i, arg == "-x" ? request.x : request.y, error)) return Fail(error);
            request.have_y = request.have_y || arg == "-y";
        } else {
            return Fail("unknown option '" + Shown(arg) + "' (try --help)");
        }
    }
    const std::string input = request.have_labels ? "data file" : "result file";
    if (request.inputs.empty()) return Fail("no " + input + " given (try --help)");
    if (request.inputs.size() > 1) return Fail("more than one " + input + " given (try --help)");
    return -1;
}

// The rows of the data file, each with the label of the same line of the
// labels file; the counts must match.
bool ReadLabelledData(const Request& request, LabelledPoints& points, std::string& error) {
    const std::string& data_path = request.inputs[0];
    DataTable table;
    std::vector<int> labels;
    if (!ReadDataFile(data_path, table, error) || !ReadLabelsFile(request.labels, labels, error)) return false;
    if (labels.size() != table.rows) {
        error = Shown(data_path, 400) + " has " + std::to_string(table.rows) + " rows but " +
                Shown(request.labels, 400) + " has " + std::to_string(labels.size()) +
                " labels: line i must label row i";
        return false;
    }
    points.dims = table.cols;
    points.coords = std::move(table.values);
    points.labels = std::move(labels);
    return true;
}

// Reads what is to be drawn and names its axes.
bool Load(const Request& request, LabelledPoints& points, PlotOptions& options, std::string& error) {
    const std::string& input = request.inputs[0];
    options.title = TitleFromPath(input);
    if (request.have_labels) {
        if (!ReadLabelledData(request, points, error)) return false;
        const std::string of = " of " + options.title;
        options.x_title = "column " + std::to_string(request.x) + of;
        options.y_title = "column " + std::to_string(request.y) + of;
    } else {
        if (!ReadResultFile(input, points, error)) return false;
        options.x_title = "coordinate " + std::to_string(request.x) + " (standardised)";
        options.y_title = "coordinate " + std::to_string(request.y) + " (standardised)";
    }
    return true;
}

// The summary beside the result file (or the labels file) says whether the
// highest label is the noise list; it must describe the file read.
bool NoiseFromSummary(const Request& request, const LabelledPoints& points, int& noise_label, std::string& error) {
    noise_label = -1;
    const std::string& source = request.have_labels ? request.labels : request.inputs[0];
    const std::string path = SummaryPathFor(source, request.have_labels ? "LTavri-" : "CTavri-");
    RunSummary summary;
    bool found = false;
    if (path.empty()) return true;
    if (!ReadRunSummary(path, summary, found, error)) return false;
    if (!found) return true;
    const std::string count_key = request.have_labels ? "rows=" : "points=";
    const int count = request.have_labels ? summary.rows : summary.points;
    const int highest = *std::max_element(points.labels.begin(), points.labels.end());
    std::string mismatch;
    if (static_cast<std::size_t>(count) != points.size())
        mismatch = count_key + std::to_string(count) + " but " + Shown(source, 400) + " has " +
                   std::to_string(points.size()) + (request.have_labels ? " labels" : " points");
    else if (highest >= summary.lists)
        mismatch = "lists=" + std::to_string(summary.lists) + " but " + Shown(source, 400) + " has label " +
                   std::to_string(highest);
    if (!mismatch.empty()) {
        error = Shown(path, 400) + ": " + mismatch + ": not the summary of this run (--noise or --no-noise skip it)";
        return false;
    }
    noise_label = summary.noise == 1 ? summary.lists - 1 : -1;
    return true;
}

bool ChooseNoise(const Request& request, const LabelledPoints& points, int& noise_label, std::string& error) {
    switch (request.noise) {
        case Request::Noise::kHighestLabel:
            noise_label = *std::max_element(points.labels.begin(), points.labels.end());
            return true;
        case Request::Noise::kNone:
            noise_label = -1;
            return true;
        default:
            return NoiseFromSummary(request, points, noise_label, error);
    }
}

// The chosen axes exist in what was read.
bool CheckAxes(const Request& request, int dims, bool one_dimensional, std::string& error) {
    const char* what = request.have_labels ? "column" : "coordinate";
    const std::string has = std::string(request.have_labels ? "the data has " : "the result has ") +
                            (dims == 1 ? std::string("1 ") + what + " (index 0)"
                                       : std::to_string(dims) + " " + what + "s (indexes 0 to " +
                                             std::to_string(dims - 1) + ")");
    if (request.x >= dims) {
        error = "-x " + std::to_string(request.x) + " is out of range: " + has;
        return false;
    }
    if (!one_dimensional && request.y >= dims) {
        error = "-y " + std::to_string(request.y) + " is out of range: " + has;
        return false;
    }
    return true;
}

}  // namespace

int RunCli(int argc, char** argv) {
    Request request;
    const int status = ParseArguments(argc, argv, request);
    if (status >= 0) return status;

    LabelledPoints points;
    PlotOptions options;
    std::string error;
    if (!Load(request, points, options, error)) return Fail(error);
    options.x = request.x;
    options.y = request.y;
    options.one_dimensional = points.dims == 1 && !request.have_y;
    options.equal_scale = request.equal;
    if (!CheckAxes(request, points.dims, options.one_dimensional, error)) return Fail(error);
    if (!ChooseNoise(request, points, options.noise_label, error)) return Fail(error);

    const std::string output = request.have_output ? request.output : request.inputs[0] + ".svg";
    if (!WriteOutput(output, BuildSvg(points, options), error)) return Fail(error);
    return 0;
}

}  // namespace tavri_plot

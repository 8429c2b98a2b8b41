// Reading a Tavri result file and drawing it as an SVG scatter plot.
#ifndef TAVRI_TOOLS_PLOT_H
#define TAVRI_TOOLS_PLOT_H

#include <string>
#include <vector>

namespace tavri_plot {

// A parsed result file: every point has `dims` coordinates and one label.
struct ResultData {
    int dims = 0;
    std::vector<double> coords;  // row-major, dims values per point
    std::vector<int> labels;

    std::size_t size() const { return labels.size(); }
    double at(std::size_t point, int dim) const { return coords[point * static_cast<std::size_t>(dims) + dim]; }
};

// Parses the text of a result file. On failure returns false and sets
// `error` to a one-line reason (naming the 1-based line when there is one).
bool ParseResult(const std::string& text, ResultData& out, std::string& error);

// Reads and parses a file; the reason names the path on failure.
bool ReadResultFile(const std::string& path, ResultData& out, std::string& error);

struct PlotOptions {
    int x = 0;
    int y = 1;             // ignored when one_dimensional is set
    bool one_dimensional = false;
    bool noise = false;    // the highest label is the noise list
    std::string title;     // shown as given; escaped when written
};

// Builds the SVG document. The caller has checked that x (and y, unless
// one_dimensional) are valid coordinate indexes and that data is not empty.
std::string BuildSvg(const ResultData& data, const PlotOptions& options);

// "dir/CTavri-blobs.txt" -> "blobs.txt"; other names keep their base name.
std::string TitleFromPath(const std::string& path);

// Makes text safe inside XML character data and quoted attributes.
std::string XmlEscape(const std::string& text);

// Fill colour "#rrggbb" of cluster `index` (index >= 0).
std::string ClusterColour(int index);

// Grey used for the noise list.
extern const char* const kNoiseColour;

// Tick values with a round step (1, 2 or 5 times a power of ten) whose first
// value is <= lo and last value >= hi; about `target` intervals.
std::vector<double> NiceTicks(double lo, double hi, int target);

// Writes `contents` to `path` through a temporary file in the same folder
// renamed over it, so a failed write leaves any earlier file intact.
bool WriteFileAtomically(const std::string& path, const std::string& contents, std::string& error);

// Text shown in a message: cut to `limit` bytes and control bytes masked, so
// a message stays one readable line.
std::string Shown(const std::string& text, std::size_t limit = 40);

// A non-negative decimal integer of digits alone, at most INT_MAX.
bool ParseNonNegative(const std::string& token, int& value);

// The whole command line tool; messages go to stderr, help to stdout.
int RunCli(int argc, char** argv);

}  // namespace tavri_plot

#endif

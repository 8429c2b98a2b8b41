// The library behind tavri-plot: reading Tavri's files, drawing their points
// as an SVG scatter plot, writing the picture, and the command line.
#ifndef TAVRI_TOOLS_PLOT_H
#define TAVRI_TOOLS_PLOT_H

#include <string>
#include <vector>

namespace tavri_plot {

// Points with `dims` coordinates and one label each: a result file, or the
// rows of a data file with their labels.
struct LabelledPoints {
    int dims = 0;
    std::vector<double> coords;  // row-major, dims values per point
    std::vector<int> labels;

    std::size_t size() const { return labels.size(); }
    double at(std::size_t point, int dim) const { return coords[point * static_cast<std::size_t>(dims) + dim]; }
};

// ---- Reading: one function per kind of file ------------------------------
// Each returns false on failure with `error` one line naming the file and,
// for a fault in it, the 1-based line (and column). Numbers must be complete
// finite decimals: nan, inf, hexadecimal forms and values beyond the range of
// a double are refused (an underflow reads as zero or a subnormal).

// A result file (CTavri-NAME): per line, coordinates then a non-negative
// integer label, up to the end of the file or the first blank line (read as
// tavri reads its data files).
bool ReadResultFile(const std::string& path, LabelledPoints& out, std::string& error);

// The rows of a data file, as tavri reads them.
struct DataTable {
    int cols = 0;
    std::size_t rows = 0;
    std::vector<double> values;  // row-major, cols values per row
};

// A data file: rows of numbers separated by spaces or tabs, the same count on
// every row, up to the end of the file or the first blank line.
bool ReadDataFile(const std::string& path, DataTable& out, std::string& error);

// A labels file (LTavri-NAME): one non-negative integer a line, the label of
// data row i on line i, up to the end of the file or the first blank line.
bool ReadLabelsFile(const std::string& path, std::vector<int>& out, std::string& error);

// The one-line summary tavri writes beside its results (RTavri-NAME):
// "lists=L clusters=C noise=N rows=R points=P sampled=S".
struct RunSummary {
    int lists = 0;     // labels used: 0 to lists - 1
    int clusters = 0;  // lists - noise
    int noise = 0;     // 1: the highest label, lists - 1, is the noise list
    int rows = 0;      // rows read (lines of LTavri-NAME)
    int points = 0;    // points clustered (lines of CTavri-NAME)
    int sampled = 0;   // 1 for a sampled run
};

// A run summary. Every key must be there once with a non-negative integer
// (keys it does not know are passed over), noise and sampled 0 or 1, and
// clusters + noise = lists. A missing file is no failure: it returns true
// with `found` false (runs of older versions wrote none).
bool ReadRunSummary(const std::string& path, RunSummary& out, bool& found, std::string& error);

// The summary beside "dir/PREFIXNAME": "dir/RTavri-NAME"; "" when the base
// name does not start with `prefix` followed by something.
std::string SummaryPathFor(const std::string& path, const std::string& prefix);

struct PlotOptions {
    int x = 0;
    int y = 1;                 // ignored when one_dimensional is set
    bool one_dimensional = false;
    int noise_label = -1;      // the label drawn as noise; -1: none
    bool equal_scale = false;  // one unit as many pixels on both axes
    std::string title;         // shown as given; escaped when written
    std::string x_title;       // axis titles, escaped when written;
    std::string y_title;       // empty: "coordinate I"
};

// Builds the SVG document. The caller has checked that x (and y, unless
// one_dimensional) are valid coordinate indexes and that data is not empty.
std::string BuildSvg(const LabelledPoints& data, const PlotOptions& options);

// "dir/CTavri-blobs.txt" -> "blobs.txt"; other names keep their base name.
std::string TitleFromPath(const std::string& path);

// Makes text safe inside XML character data and quoted attributes.
std::string XmlEscape(const std::string& text);

// Fill colour "#rrggbb" of cluster `index` (index >= 0).
std::string ClusterColour(int index);

// Grey used for the noise list.
extern const char* const kNoiseColour;

// Most ticks NiceTicks gives, whatever the values.
constexpr int kMaxTicks = 24;

// Tick values with a round step (1, 2 or 5 times a power of ten), about
// `target` intervals, increasing, between 2 and kMaxTicks of them. The first
// is <= lo and the last >= hi, unless such ticks would pass the largest
// double: then they lie inside [lo, hi]. Steps stay coarse enough that close
// huge values (1e16 and 1e16 + 2) still give distinct ticks.
std::vector<double> NiceTicks(double lo, double hi, int target);

// The label of a tick: fixed notation while it stays short, scientific
// otherwise, with the digits that tell ticks `step` apart; always a complete
// finite number.
std::string TickText(double value, double step);

// One axis: finite ends lo < hi and its ticks.
struct Axis {
    double lo = 0;
    double hi = 1;
    std::vector<double> ticks;
};

// The axis for values from lo to hi (lo > hi: no values): a little room on
// each side, widened to the ticks where they are outside.
Axis FitAxis(double lo, double hi, int target);

// The axis from lo to hi exactly, with the round ticks inside it.
Axis AxisWithin(double lo, double hi, int target);

// Makes one unit take as many pixels on both axes (x_pixels and y_pixels
// long): the axis with fewer units per pixel is widened about its centre.
void EqualiseScales(Axis& x, double x_pixels, Axis& y, double y_pixels, int target);

// Where `value` falls between the axis ends: 0 at lo, 1 at hi; the span may
// exceed the largest double.
double AxisFraction(const Axis& axis, double value);

// The distance between neighbouring ticks.
double TickStep(const Axis& axis);

// Writes the picture. "-" is standard output. A regular file, or a new one, is
// replaced whole (a temporary file in the same folder renamed over it), so a
// failure leaves an earlier file intact. Anything else that exists (a device,
// a FIFO, a symbolic link such as /dev/stdout) is written in place, never
// replaced by a regular file. On failure `error` is one line naming the output.
bool WriteOutput(const std::string& path, const std::string& text, std::string& error);

// Text shown in a message: cut to `limit` bytes and control bytes masked, so
// a message stays one readable line.
std::string Shown(const std::string& text, std::size_t limit = 40);

// A non-negative decimal integer of digits alone, at most INT_MAX.
bool ParseNonNegative(const std::string& token, int& value);

// The whole command line tool; messages go to stderr, help to stdout.
int RunCli(int argc, char** argv);

}  // namespace tavri_plot

#endif

// The SVG document: frame, axes, points by list and the legend.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>

#include "plot.h"

namespace tavri_plot {

namespace {

// Picture geometry, in pixels.
constexpr double kMinLeft = 80;
constexpr double kRight = 700;
constexpr double kTop = 70;
constexpr double kPlotHeight = 540;
constexpr double kStripHeight = 200;
constexpr double kWidth = 960;
constexpr double kLegendX = 730;
constexpr double kLegendRow = 18;
constexpr int kMaxLegendClusters = 30;
// Width of one character of a tick label at the 12-pixel font, a little wide.
constexpr double kCharWidth = 7;

void AppendInt(std::string& out, long long value) {
    char text[24];
    const auto result = std::to_chars(text, text + sizeof text, value);
    if (result.ec == std::errc()) out.append(text, result.ptr);
    else out += '0';  // not reached: 24 bytes hold any long long
}

// Pixel positions with one decimal: enough for a 1000-pixel picture and keeps
// each point element short. Positions lie in or near the picture; the clamp
// only keeps a stray one finite and short.
void AppendPixel(std::string& out, double value) {
    value = std::isnan(value) ? 0 : std::clamp(value, -1e6, 1e6);
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1);
    if (result.ec == std::errc()) out.append(text, result.ptr);
    else out += '0';  // not reached: |value| <= 1e6 needs 10 bytes
}

// Opens a <line> element from (x1, y1) to (x2, y2); the caller adds further
// attributes and closes it.
void AppendLine(std::string& out, double x1, double y1, double x2, double y2) {
    out += "<line x1=\"";
    AppendPixel(out, x1);
    out += "\" y1=\"";
    AppendPixel(out, y1);
    out += "\" x2=\"";
    AppendPixel(out, x2);
    out += "\" y2=\"";
    AppendPixel(out, y2);
    out += '"';
}

// Opens a <text> element at (x, y); the caller adds attributes and content.
void AppendTextAt(std::string& out, double x, double y) {
    out += "<text x=\"";
    AppendPixel(out, x);
    out += "\" y=\"";
    AppendPixel(out, y);
    out += '"';
}

// Where everything goes: the plotting frame and its two axes.
struct Layout {
    bool strip = false;  // one coordinate drawn along a line
    double left = kMinLeft;
    double right = kRight;
    double top = kTop;
    double bottom = kTop + kPlotHeight;
    Axis x;
    Axis y;
    double Px(double v) const { return left + AxisFraction(x, v) * (right - left); }
    double Py(double v) const { return bottom - AxisFraction(y, v) * (bottom - top); }
};

// Smallest and largest finite value of one coordinate; lo > hi when none.
std::pair<double, double> Extent(const LabelledPoints& data, int dim) {
    double lo = INFINITY;
    double hi = -INFINITY;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const double v = data.at(i, dim);
        if (!std::isfinite(v)) continue;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    return {lo, hi};
}

// Pixel width of the widest tick label of an axis.
double LabelWidth(const Axis& axis) {
    std::size_t widest = 0;
    for (double t : axis.ticks) widest = std::max(widest, TickText(t, TickStep(axis)).size());
    return kCharWidth * static_cast<double>(widest);
}

// Whether the tick labels of a horizontal axis `pixels` long stand apart.
bool LabelsFit(const Axis& axis, double pixels) {
    const double spacing = (AxisFraction(axis, axis.ticks[1]) - AxisFraction(axis, axis.ticks[0])) * pixels;
    return LabelWidth(axis) + 10 <= spacing;
}

// The horizontal axis with as many ticks as leave room between their labels.
Axis FitHorizontalAxis(std::pair<double, double> extent, double pixels) {
    Axis axis;
    for (int target = 6; target >= 2; --target) {
        axis = FitAxis(extent.first, extent.second, target);
        if (LabelsFit(axis, pixels)) break;
    }
    return axis;
}

// Fewer ticks between the same ends while the labels would overlap.
Axis ThinHorizontalTicks(Axis axis, double pixels) {
    for (int target = 5; target >= 2 && !LabelsFit(axis, pixels); --target) axis = AxisWithin(axis.lo, axis.hi, target);
    return axis;
}

// Room left of the frame for the labels and title of the vertical axis.
double LeftMargin(const Axis& y) { return std::max(kMinLeft, std::ceil(LabelWidth(y)) + 36); }

// One scale on both axes. Widening the vertical axis can widen its labels and
// so the margin; a second pass fits the horizontal axis to the narrower frame.
void EqualiseLayout(Layout& layout, std::pair<double, double> x_extent) {
    for (int pass = 0; pass < 2; ++pass) {
        Axis x = layout.x;
        Axis y = layout.y;
        EqualiseScales(x, layout.right - layout.left, y, layout.bottom - layout.top, 6);
        const double needed = LeftMargin(y);
        if (needed <= layout.left || pass == 1) {
            layout.x = ThinHorizontalTicks(x, layout.right - layout.left);
            layout.y = y;
            return;
        }
        layout.left = needed;
        layout.x = FitHorizontalAxis(x_extent, layout.right - layout.left);
    }
}

Layout PlanLayout(const LabelledPoints& data, const PlotOptions& options) {
    Layout layout;
    layout.strip = options.one_dimensional;
    const auto x_extent = Extent(data, options.x);
    if (layout.strip) {
        layout.bottom = kTop + kStripHeight;
    } else {
        const auto extent = Extent(data, options.y);
        layout.y = FitAxis(extent.first, extent.second, 6);
        // Wide labels of the vertical axis push the frame right.
        layout.left = LeftMargin(layout.y);
    }
    layout.x = FitHorizontalAxis(x_extent, layout.right - layout.left);
    if (options.equal_scale && !layout.strip) EqualiseLayout(layout, x_extent);
    return layout;
}

void AppendGridAndFrame(std::string& svg, const Layout& layout) {
    svg += "<g stroke=\"#E6E6E6\">\n";
    for (double t : layout.x.ticks) {
        AppendLine(svg, layout.Px(t), layout.top, layout.Px(t), layout.bottom);
        svg += "/>\n";
    }
    if (!layout.strip) {
        for (double t : layout.y.ticks) {
            AppendLine(svg, layout.left, layout.Py(t), layout.right, layout.Py(t));
            svg += "/>\n";
        }
    }
    svg += "</g>\n<rect x=\"";
    AppendPixel(svg, layout.left);
    svg += "\" y=\"";
    AppendPixel(svg, layout.top);
    svg += "\" width=\"";
    AppendPixel(svg, layout.right - layout.left);
    svg += "\" height=\"";
    AppendPixel(svg, layout.bottom - layout.top);
    svg += "\" fill=\"none\" stroke=\"#444444\"/>\n";
}

void AppendHorizontalAxis(std::string& svg, const Layout& layout, const std::string& title) {
    const double step = TickStep(layout.x);
    svg += "<g id=\"x-ticks\" text-anchor=\"middle\">\n";
    for (double t : layout.x.ticks) {
        const double x = layout.Px(t);
        AppendLine(svg, x, layout.bottom, x, layout.bottom + 5);
        svg += " stroke=\"#444444\"/>";
        AppendTextAt(svg, x, layout.bottom + 18);
        svg += ">" + TickText(t, step) + "</text>\n";
    }
    svg += "</g>\n";
    AppendTextAt(svg, (layout.left + layout.right) / 2, layout.bottom + 42);
    svg += " text-anchor=\"middle\">" + XmlEscape(title) + "</text>\n";
}

void AppendVerticalAxis(std::string& svg, const Layout& layout, const std::string& title) {
    const double step = TickStep(layout.y);
    svg += "<g id=\"y-ticks\" text-anchor=\"end\">\n";
    for (double t : layout.y.ticks) {
        const double y = layout.Py(t);
        AppendLine(svg, layout.left - 5, y, layout.left, y);
        svg += " stroke=\"#444444\"/>";
        AppendTextAt(svg, layout.left - 8, y + 4);
        svg += ">" + TickText(t, step) + "</text>\n";
    }
    svg += "</g>\n";
    // The title stands clear of the widest label, rotated along the axis.
    const double x = std::min(layout.left - 55, layout.left - 22 - LabelWidth(layout.y));
    const double mid = (layout.top + layout.bottom) / 2;
    AppendTextAt(svg, x, mid);
    svg += " text-anchor=\"middle\" transform=\"rotate(-90 ";
    AppendPixel(svg, x);
    svg += ' ';
    AppendPixel(svg, mid);
    svg += ")\">" + XmlEscape(title) + "</text>\n";
}

// Vertical position of point i in a one-coordinate strip: a fixed
// low-discrepancy sequence spreads the points, so dense stretches show as
// dense, not as one overdrawn line.
double StripY(const Layout& layout, std::size_t i) {
    const double jitter = std::fmod(static_cast<double>(i) * 0.6180339887498949, 1.0);
    return layout.top + 20 + jitter * (kStripHeight - 40);
}

// One group per list, carrying the colour, so each point stays a short element.
void AppendList(std::string& svg, const LabelledPoints& data, const PlotOptions& options, const Layout& layout,
                int label, bool is_noise, const std::vector<std::size_t>& points) {
    const std::string count = std::to_string(points.size());
    if (is_noise) {
        svg += "<g id=\"noise\" fill=\"" + std::string(kNoiseColour) + "\" fill-opacity=\"0.7\">\n";
        svg += "<title>noise (" + count + ")</title>\n";
    } else {
        const std::string name = std::to_string(label);
        svg += "<g id=\"cluster-" + name + "\" fill=\"" + ClusterColour(label) + "\">\n";
        svg += "<title>cluster " + name + " (" + count + ")</title>\n";
    }
    for (std::size_t i : points) {
        const double xv = data.at(i, options.x);
        const double yv = layout.strip ? 0 : data.at(i, options.y);
        if (!std::isfinite(xv) || !std::isfinite(yv)) continue;
        svg += "<circle cx=\"";
        AppendPixel(svg, layout.Px(xv));
        svg += "\" cy=\"";
        AppendPixel(svg, layout.strip ? StripY(layout, i) : layout.Py(yv));
        svg += is_noise ? "\" r=\"1.5\"/>\n" : "\" r=\"2.5\"/>\n";
    }
    svg += "</g>\n";
}

// Noise goes first so clusters are drawn over it.
void AppendPoints(std::string& svg, const LabelledPoints& data, const PlotOptions& options, const Layout& layout,
                  int noise_label) {
    std::map<int, std::vector<std::size_t>> members;
    for (std::size_t i = 0; i < data.size(); ++i) members[data.labels[i]].push_back(i);
    if (members.count(noise_label) != 0) AppendList(svg, data, options, layout, noise_label, true, members[noise_label]);
    for (const auto& entry : members) {
        if (entry.first != noise_label) AppendList(svg, data, options, layout, entry.first, false, entry.second);
    }
}

struct LegendEntry {
    std::string colour;  // empty: no marker
    std::string text;
};

// Clusters (cut short when there are many), then noise.
std::vector<LegendEntry> MakeLegend(const std::map<int, std::size_t>& counts, int noise_label) {
    std::vector<LegendEntry> legend;
    const std::size_t cluster_count = counts.size() - counts.count(noise_label);
    const std::size_t slots = cluster_count > kMaxLegendClusters ? kMaxLegendClusters - 1 : kMaxLegendClusters;
    std::size_t hidden_clusters = 0;
    std::size_t hidden_points = 0;
    for (const auto& entry : counts) {
        if (entry.first == noise_label) continue;
        if (legend.size() < slots) {
            legend.push_back({ClusterColour(entry.first), "cluster " + std::to_string(entry.first) + " (" +
                                                              std::to_string(entry.second) + ")"});
        } else {
            ++hidden_clusters;
            hidden_points += entry.second;
        }
    }
    if (hidden_clusters > 0)
        legend.push_back({"", "+" + std::to_string(hidden_clusters) + " more clusters (" +
                                  std::to_string(hidden_points) + " points)"});
    if (counts.count(noise_label) != 0)
        legend.push_back({kNoiseColour, "noise (" + std::to_string(counts.at(noise_label)) + ")"});
    return legend;
}

void AppendLegend(std::string& svg, const std::vector<LegendEntry>& legend) {
    svg += "<g id=\"legend\">\n";
    double row = kTop + kLegendRow;
    for (const LegendEntry& entry : legend) {
        if (!entry.colour.empty()) {
            svg += "<circle cx=\"";
            AppendPixel(svg, kLegendX + 6);
            svg += "\" cy=\"";
            AppendPixel(svg, row - 4);
            svg += entry.colour == kNoiseColour ? "\" r=\"3" : "\" r=\"5";
            svg += "\" fill=\"" + entry.colour + "\"/>";
        }
        AppendTextAt(svg, kLegendX + 18, row);
        svg += ">" + entry.text + "</text>\n";
        row += kLegendRow;
    }
    svg += "</g>\n";
}

// The document's start: size, title and the line that sums the picture up.
void AppendHeading(std::string& svg, double height, const std::string& title, const std::string& subtitle) {
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"";
    AppendInt(svg, static_cast<long long>(kWidth));
    svg += "\" height=\"";
    AppendInt(svg, static_cast<long long>(height));
    svg += "\" viewBox=\"0 0 ";
    AppendInt(svg, static_cast<long long>(kWidth));
    svg += ' ';
    AppendInt(svg, static_cast<long long>(height));
    svg += "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    const std::string escaped = XmlEscape(title);
    svg += "<title>Tavri clusters: " + escaped + "</title>\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"#FFFFFF\"/>\n";
    AppendTextAt(svg, kMinLeft, 30);
    svg += " font-size=\"18\" font-weight=\"bold\">Tavri clusters: " + escaped + "</text>\n";
    AppendTextAt(svg, kMinLeft, 50);
    svg += " fill=\"#444444\">" + subtitle + "</text>\n";
}

std::string Subtitle(const LabelledPoints& data, const PlotOptions& options, std::size_t clusters, bool noise) {
    std::size_t not_finite = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (!std::isfinite(data.at(i, options.x)) || (!options.one_dimensional && !std::isfinite(data.at(i, options.y))))
            ++not_finite;
    }
    std::string subtitle = std::to_string(data.size()) + " points, " + std::to_string(clusters) +
                           (clusters == 1 ? " cluster" : " clusters");
    if (noise) subtitle += " and noise";
    if (not_finite > 0) subtitle += "; " + std::to_string(not_finite) + " not drawn (coordinate not finite)";
    return subtitle;
}

}  // namespace

std::string BuildSvg(const LabelledPoints& data, const PlotOptions& options) {
    std::map<int, std::size_t> counts;
    for (int label : data.labels) ++counts[label];
    const int noise_label = options.noise_label;
    const std::size_t clusters = counts.size() - counts.count(noise_label);
    const Layout layout = PlanLayout(data, options);
    const std::vector<LegendEntry> legend = MakeLegend(counts, noise_label);
    const double legend_bottom = kTop + kLegendRow * static_cast<double>(legend.size() + 1);
    const double height = std::ceil(std::max(layout.bottom + 60, legend_bottom + 20));

    std::string svg;
    svg.reserve(2048 + data.size() * 42);
    AppendHeading(svg, height, options.title, Subtitle(data, options, clusters, counts.count(noise_label) != 0));
    AppendGridAndFrame(svg, layout);
    const auto name = [](const std::string& given, int index) {
        return given.empty() ? "coordinate " + std::to_string(index) : given;
    };
    AppendHorizontalAxis(svg, layout, name(options.x_title, options.x));
    if (!layout.strip) AppendVerticalAxis(svg, layout, name(options.y_title, options.y));
    AppendPoints(svg, data, options, layout, noise_label);
    AppendLegend(svg, legend);
    svg += "</svg>\n";
    return svg;
}

}  // namespace tavri_plot

// Drawing: axes, ticks, colours and the SVG document.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>

#include "plot.h"

namespace tavri_plot {

const char* const kNoiseColour = "#999999";

namespace {


void AppendNumber(std::string& out, long long value) {
    char text[24];
    auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, result.ptr);
}

void AppendPixel(std::string& out, double value);

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

// Pixel positions with one decimal: enough for a 1000-pixel picture and keeps
// each point element short.
void AppendPixel(std::string& out, double value) {
    char text[64];
    auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1);
    out.append(text, result.ptr);
}


std::string TickText(double value, double step) {
    int decimals = static_cast<int>(-std::floor(std::log10(step) + 1e-9));
    if (decimals < 0) decimals = 0;
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    std::string out = text;
    // A tick at zero reached from below would otherwise read "-0".
    if (out[0] == '-' && out.find_first_not_of("-0.") == std::string::npos) out.erase(0, 1);
    return out;
}

struct Range {
    double lo = 0;
    double hi = 0;
    std::vector<double> ticks;
};

Range AxisRange(const ResultData& data, int dim) {
    double lo = INFINITY;
    double hi = -INFINITY;
    for (std::size_t i = 0; i < data.size(); ++i) {
        double v = data.at(i, dim);
        if (!std::isfinite(v)) continue;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    if (!(lo <= hi)) {
        lo = -1;
        hi = 1;
    } else if (lo == hi) {
        double half = std::max(1.0, std::fabs(lo) * 0.05);
        lo -= half;
        hi += half;
    } else {
        // A little room so extreme points are not cut by the frame.
        double pad = (hi - lo) * 0.02;
        lo -= pad;
        hi += pad;
    }
    Range range;
    range.ticks = NiceTicks(lo, hi, 6);
    range.lo = range.ticks.front();
    range.hi = range.ticks.back();
    return range;
}

void HslToHex(double h, double s, double l, char out[8]) {
    double c = (1 - std::fabs(2 * l - 1)) * s;
    double hp = h / 60.0;
    double x = c * (1 - std::fabs(std::fmod(hp, 2.0) - 1));
    double r = 0, g = 0, b = 0;
    if (hp < 1) { r = c; g = x; }
    else if (hp < 2) { r = x; g = c; }
    else if (hp < 3) { g = c; b = x; }
    else if (hp < 4) { g = x; b = c; }
    else if (hp < 5) { r = x; b = c; }
    else { r = c; b = x; }
    double m = l - c / 2;
    auto channel = [m](double v) {
        long value = std::lround((v + m) * 255.0);
        return static_cast<unsigned>(std::clamp(value, 0L, 255L));
    };
    std::snprintf(out, 8, "#%02X%02X%02X", channel(r), channel(g), channel(b));
}

// Picture geometry, in pixels.
constexpr double kLeft = 80;
constexpr double kRight = 700;
constexpr double kTop = 70;
constexpr double kPlotHeight = 540;
constexpr double kStripHeight = 200;
constexpr double kWidth = 960;
constexpr double kLegendX = 730;
constexpr double kLegendRow = 18;
constexpr int kMaxLegendClusters = 30;

}  // namespace

std::vector<double> NiceTicks(double lo, double hi, int target) {
    if (!std::isfinite(lo) || !std::isfinite(hi)) return {0.0, 1.0};
    if (hi < lo) std::swap(lo, hi);
    if (hi == lo) {
        lo -= 1;
        hi += 1;
    }
    if (target < 1) target = 1;
    double raw = (hi - lo) / target;
    double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    double norm = raw / magnitude;
    double step = (norm < 1.5 ? 1 : norm < 3 ? 2 : norm < 7 ? 5 : 10) * magnitude;
    // A small tolerance keeps lo = 2.0000000001 * step from adding a tick.
    double first = std::floor(lo / step + 1e-9);
    double last = std::ceil(hi / step - 1e-9);
    std::vector<double> ticks;
    for (double k = first; k <= last; k += 1) ticks.push_back(k == 0 ? 0.0 : k * step);
    if (ticks.size() < 2) ticks.push_back((last + 1) * step);
    return ticks;
}

std::string TitleFromPath(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.empty()) return path;
    static const std::string prefix = "CTavri-";
    if (base.size() > prefix.size() && base.compare(0, prefix.size(), prefix) == 0) base.erase(0, prefix.size());
    return base;
}

std::string XmlEscape(const std::string& text) {
    std::string out;
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n;) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            switch (c) {
                case '&': out += "&amp;"; break;
                case '<': out += "&lt;"; break;
                case '>': out += "&gt;"; break;
                case '"': out += "&quot;"; break;
                case '\'': out += "&apos;"; break;
                default:
                    // XML 1.0 forbids most control characters even as references.
                    out += (c < 0x20 && c != '\t' && c != '\n' && c != '\r') ? '?' : static_cast<char>(c);
            }
            ++i;
            continue;
        }
        // Keep well-formed UTF-8 that XML allows; replace anything else, since
        // a file name need not be valid UTF-8.
        int length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        if (c > 0xF4) length = 0;
        unsigned long code = length == 4 ? (c & 0x07u) : length == 3 ? (c & 0x0Fu) : (c & 0x1Fu);
        bool ok = length > 0 && i + static_cast<std::size_t>(length) <= n;
        for (int k = 1; ok && k < length; ++k) {
            unsigned char d = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((d & 0xC0u) != 0x80u) ok = false;
            code = (code << 6) | (d & 0x3Fu);
        }
        if (ok) {
            unsigned long min = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
            if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) || code == 0xFFFE ||
                code == 0xFFFF)
                ok = false;
        }
        if (ok) {
            out.append(text, i, static_cast<std::size_t>(length));
            i += static_cast<std::size_t>(length);
        } else {
            out += '?';
            ++i;
        }
    }
    return out;
}

std::string ClusterColour(int index) {
    // Okabe-Ito: distinguishable with the common colour-vision deficiencies.
    static const char* const kFirst[] = {"#E69F00", "#56B4E9", "#009E73", "#F0E442",
                                         "#0072B2", "#D55E00", "#CC79A7", "#000000"};
    constexpr int kFirstCount = static_cast<int>(sizeof kFirst / sizeof kFirst[0]);
    if (index >= 0 && index < kFirstCount) return kFirst[index];
    // Beyond those, golden-angle hue steps keep neighbouring labels far apart;
    // saturation and lightness cycle so hues that come back near each other
    // still differ. Saturation stays high so nothing looks like the noise grey.
    long m = static_cast<long>(index) - kFirstCount;
    if (m < 0) m = 0;
    // The start hue and the cycles were picked to keep the first two dozen
    // extra colours far (CIELAB) from the fixed ones, the grey and white.
    static const double kSaturation[] = {0.90, 0.75, 0.55};
    static const double kLightness[] = {0.62, 0.45, 0.32};
    double hue = std::fmod(static_cast<double>(m) * 137.50776405003785 + 310.0, 360.0);
    char hex[8];
    HslToHex(hue, kSaturation[m % 3], kLightness[(m / 3) % 3], hex);
    return hex;
}

std::string BuildSvg(const ResultData& data, const PlotOptions& options) {
    std::map<int, std::size_t> counts;
    for (int label : data.labels) ++counts[label];
    const int noise_label = options.noise && !counts.empty() ? counts.rbegin()->first : -1;
    std::size_t cluster_count = counts.size() - (noise_label >= 0 ? 1 : 0);

    const bool strip = options.one_dimensional;
    const double top = kTop;
    const double bottom = kTop + (strip ? kStripHeight : kPlotHeight);
    const Range xr = AxisRange(data, options.x);
    const Range yr = strip ? Range() : AxisRange(data, options.y);

    // Legend lines: clusters (cut short when there are many), then noise.
    std::vector<std::pair<std::string, std::string>> legend;  // colour, text
    std::size_t shown = 0;
    std::size_t hidden_clusters = 0;
    std::size_t hidden_points = 0;
    const std::size_t cluster_slots =
        cluster_count > static_cast<std::size_t>(kMaxLegendClusters) ? kMaxLegendClusters - 1 : kMaxLegendClusters;
    for (const auto& entry : counts) {
        if (entry.first == noise_label) continue;
        if (shown < cluster_slots) {
            legend.emplace_back(ClusterColour(entry.first), "cluster " + std::to_string(entry.first) + " (" +
                                                                std::to_string(entry.second) + ")");
            ++shown;
        } else {
            ++hidden_clusters;
            hidden_points += entry.second;
        }
    }
    if (hidden_clusters > 0)
        legend.emplace_back("", "+" + std::to_string(hidden_clusters) + " more clusters (" +
                                    std::to_string(hidden_points) + " points)");
    if (noise_label >= 0) legend.emplace_back(kNoiseColour, "noise (" + std::to_string(counts[noise_label]) + ")");

    const double legend_bottom = top + kLegendRow * static_cast<double>(legend.size() + 1);
    const double height = std::ceil(std::max(bottom + 60, legend_bottom + 20));

    std::string svg;
    svg.reserve(2048 + data.size() * 42);
    svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"";
    AppendNumber(svg, static_cast<long long>(kWidth));
    svg += "\" height=\"";
    AppendNumber(svg, static_cast<long long>(height));
    svg += "\" viewBox=\"0 0 ";
    AppendNumber(svg, static_cast<long long>(kWidth));
    svg += ' ';
    AppendNumber(svg, static_cast<long long>(height));
    svg += "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    const std::string title = XmlEscape(options.title);
    svg += "<title>Tavri clusters: " + title + "</title>\n";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"#FFFFFF\"/>\n";
    svg += "<text x=\"";
    AppendNumber(svg, static_cast<long long>(kLeft));
    svg += "\" y=\"30\" font-size=\"18\" font-weight=\"bold\">Tavri clusters: " + title + "</text>\n";

    std::size_t not_finite = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (!std::isfinite(data.at(i, options.x)) || (!strip && !std::isfinite(data.at(i, options.y)))) ++not_finite;
    }
    std::string subtitle = std::to_string(data.size()) + " points, " + std::to_string(cluster_count) +
                           (cluster_count == 1 ? " cluster" : " clusters");
    if (noise_label >= 0) subtitle += " and noise";
    if (not_finite > 0) subtitle += "; " + std::to_string(not_finite) + " not drawn (coordinate not finite)";
    svg += "<text x=\"";
    AppendNumber(svg, static_cast<long long>(kLeft));
    svg += "\" y=\"50\" fill=\"#444444\">" + subtitle + "</text>\n";

    auto px = [&](double v) { return kLeft + (v - xr.lo) / (xr.hi - xr.lo) * (kRight - kLeft); };
    auto py = [&](double v) { return bottom - (v - yr.lo) / (yr.hi - yr.lo) * (bottom - top); };

    // Grid and ticks.
    svg += "<g stroke=\"#E6E6E6\">\n";
    for (double t : xr.ticks) {
        AppendLine(svg, px(t), top, px(t), bottom);
        svg += "/>\n";
    }
    for (double t : yr.ticks) {
        AppendLine(svg, kLeft, py(t), kRight, py(t));
        svg += "/>\n";
    }
    svg += "</g>\n";
    svg += "<rect x=\"";
    AppendPixel(svg, kLeft);
    svg += "\" y=\"";
    AppendPixel(svg, top);
    svg += "\" width=\"";
    AppendPixel(svg, kRight - kLeft);
    svg += "\" height=\"";
    AppendPixel(svg, bottom - top);
    svg += "\" fill=\"none\" stroke=\"#444444\"/>\n";

    const double x_step = xr.ticks.size() > 1 ? xr.ticks[1] - xr.ticks[0] : 1;
    svg += "<g id=\"x-ticks\" text-anchor=\"middle\">\n";
    for (double t : xr.ticks) {
        AppendLine(svg, px(t), bottom, px(t), bottom + 5);
        svg += " stroke=\"#444444\"/><text x=\"";
        AppendPixel(svg, px(t));
        svg += "\" y=\"";
        AppendPixel(svg, bottom + 18);
        svg += "\">" + TickText(t, x_step) + "</text>\n";
    }
    svg += "</g>\n";
    svg += "<text x=\"";
    AppendPixel(svg, (kLeft + kRight) / 2);
    svg += "\" y=\"";
    AppendPixel(svg, bottom + 42);
    svg += "\" text-anchor=\"middle\">coordinate " + std::to_string(options.x) + "</text>\n";
    if (!strip) {
        const double y_step = yr.ticks.size() > 1 ? yr.ticks[1] - yr.ticks[0] : 1;
        svg += "<g id=\"y-ticks\" text-anchor=\"end\">\n";
        for (double t : yr.ticks) {
            AppendLine(svg, kLeft - 5, py(t), kLeft, py(t));
            svg += " stroke=\"#444444\"/><text x=\"";
            AppendPixel(svg, kLeft - 8);
            svg += "\" y=\"";
            AppendPixel(svg, py(t) + 4);
            svg += "\">" + TickText(t, y_step) + "</text>\n";
        }
        svg += "</g>\n";
        const double mid = (top + bottom) / 2;
        svg += "<text x=\"";
        AppendPixel(svg, kLeft - 55);
        svg += "\" y=\"";
        AppendPixel(svg, mid);
        svg += "\" text-anchor=\"middle\" transform=\"rotate(-90 ";
        AppendPixel(svg, kLeft - 55);
        svg += ' ';
        AppendPixel(svg, mid);
        svg += ")\">coordinate " + std::to_string(options.y) + "</text>\n";
    }

    // Points: one group per list, carrying the colour, so each point stays a
    // short element. Noise goes first so clusters are drawn over it.
    std::map<int, std::vector<std::size_t>> members;
    for (std::size_t i = 0; i < data.size(); ++i) members[data.labels[i]].push_back(i);
    auto emit_group = [&](int label) {
        const bool is_noise = label == noise_label;
        const std::vector<std::size_t>& points = members[label];
        svg += is_noise ? "<g id=\"noise\" fill=\"" : "<g id=\"cluster-" + std::to_string(label) + "\" fill=\"";
        svg += is_noise ? std::string(kNoiseColour) : ClusterColour(label);
        svg += is_noise ? "\" fill-opacity=\"0.7\">\n<title>noise (" : "\">\n<title>cluster " + std::to_string(label) + " (";
        svg += std::to_string(points.size()) + ")</title>\n";
        const char* radius = is_noise ? "1.5" : "2.5";
        for (std::size_t i : points) {
            double xv = data.at(i, options.x);
            double yv = 0;
            if (strip) {
                // Spread points vertically by a fixed low-discrepancy sequence
                // so dense stretches show as dense, not as one overdrawn line.
                double jitter = std::fmod(static_cast<double>(i) * 0.6180339887498949, 1.0);
                yv = top + 20 + jitter * (kStripHeight - 40);
            } else {
                double v = data.at(i, options.y);
                if (!std::isfinite(v)) continue;
                yv = py(v);
            }
            if (!std::isfinite(xv)) continue;
            svg += "<circle cx=\"";
            AppendPixel(svg, px(xv));
            svg += "\" cy=\"";
            AppendPixel(svg, yv);
            svg += "\" r=\"";
            svg += radius;
            svg += "\"/>\n";
        }
        svg += "</g>\n";
    };
    if (noise_label >= 0) emit_group(noise_label);
    for (const auto& entry : counts) {
        if (entry.first != noise_label) emit_group(entry.first);
    }

    svg += "<g id=\"legend\">\n";
    double row = top + kLegendRow;
    for (const auto& entry : legend) {
        if (!entry.first.empty()) {
            svg += "<circle cx=\"";
            AppendPixel(svg, kLegendX + 6);
            svg += "\" cy=\"";
            AppendPixel(svg, row - 4);
            svg += "\" r=\"";
            svg += entry.first == kNoiseColour ? "3" : "5";
            svg += "\" fill=\"" + entry.first + "\"/>";
        }
        svg += "<text x=\"";
        AppendPixel(svg, kLegendX + 18);
        svg += "\" y=\"";
        AppendPixel(svg, row);
        svg += "\">" + entry.second + "</text>\n";
        row += kLegendRow;
    }
    svg += "</g>\n</svg>\n";
    return svg;
}

}  // namespace tavri_plot

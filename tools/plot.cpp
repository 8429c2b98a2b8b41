#include "plot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>

namespace tavri_plot {

const char* const kNoiseColour = "#999999";

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

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

bool ParseCoordinate(const std::string& token, double& value) {
    if (token.empty()) return false;
    const char* begin = token.c_str();
    char* end = nullptr;
    errno = 0;
    value = std::strtod(begin, &end);
    // A NUL inside the token stops strtod early, so this also rejects it.
    return end == begin + token.size();
}

bool ParseLabel(const std::string& token, int& value) {
    if (token.empty()) return false;
    long long v = 0;
    for (char c : token) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
        if (v > INT_MAX) return false;
    }
    value = static_cast<int>(v);
    return true;
}

// Tokens are shown in messages cut short and with control bytes masked, so a
// message stays one readable line.
std::string Shown(const std::string& text, std::size_t limit = 40) {
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        out += (c < 0x20 || c == 0x7f) ? '?' : text[i];
    }
    if (text.size() > limit) out += "...";
    return out;
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

bool ParseResult(const std::string& text, ResultData& out, std::string& error) {
    out = ResultData();
    std::size_t pos = 0;
    long long line_number = 0;
    std::vector<std::string> fields;
    while (pos < text.size()) {
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        ++line_number;
        fields.clear();
        std::size_t i = pos;
        while (i < eol) {
            while (i < eol && IsBlank(text[i])) ++i;
            if (i == eol) break;
            std::size_t start = i;
            while (i < eol && !IsBlank(text[i])) ++i;
            fields.emplace_back(text, start, i - start);
        }
        pos = eol + 1;
        if (fields.empty()) continue;  // blank lines carry no point

        std::string where = "line " + std::to_string(line_number) + ": ";
        if (fields.size() < 2) {
            error = where + "expected coordinates followed by a label, found 1 field";
            return false;
        }
        int dims = static_cast<int>(fields.size()) - 1;
        if (out.dims == 0) {
            out.dims = dims;
        } else if (dims != out.dims) {
            error = where + std::to_string(fields.size()) + " fields, earlier lines have " +
                    std::to_string(out.dims + 1);
            return false;
        }
        for (int d = 0; d < dims; ++d) {
            double value = 0;
            if (!ParseCoordinate(fields[static_cast<std::size_t>(d)], value)) {
                error = where + "field " + std::to_string(d + 1) + " is not a number: '" +
                        Shown(fields[static_cast<std::size_t>(d)]) + "'";
                return false;
            }
            out.coords.push_back(value);
        }
        int label = 0;
        if (!ParseLabel(fields.back(), label)) {
            error = where + "label '" + Shown(fields.back()) + "' is not a non-negative integer";
            return false;
        }
        out.labels.push_back(label);
    }
    if (out.labels.empty()) {
        error = "no points";
        return false;
    }
    return true;
}

bool ReadResultFile(const std::string& path, ResultData& out, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = "cannot open " + Shown(path, 400) + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    bool failed = std::ferror(file) != 0;
    int saved = errno;
    std::fclose(file);
    if (failed) {
        error = "cannot read " + Shown(path, 400) + ": " + std::strerror(saved);
        return false;
    }
    if (!ParseResult(text, out, error)) {
        error = Shown(path, 400) + ": " + error;
        return false;
    }
    return true;
}

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

bool WriteFileAtomically(const std::string& path, const std::string& contents, std::string& error) {
    std::string temp = path + ".tmpXXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) {
        error = "cannot write " + Shown(path, 400) + ": " + std::strerror(errno);
        return false;
    }
    // mkstemp makes the file private; give it the mode a plain create would.
    mode_t mask = umask(0);
    umask(mask);
    int failure = fchmod(fd, 0666 & ~mask) == 0 ? 0 : errno;
    const char* data = contents.data();
    std::size_t left = contents.size();
    while (failure == 0 && left > 0) {
        ssize_t written = write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            failure = errno;
            break;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    if (failure == 0 && fsync(fd) != 0) failure = errno;
    if (close(fd) != 0 && failure == 0) failure = errno;
    if (failure == 0 && std::rename(temp.c_str(), path.c_str()) != 0) failure = errno;
    if (failure != 0) {
        unlink(temp.c_str());
        error = "cannot write " + Shown(path, 400) + ": " + std::strerror(failure);
        return false;
    }
    return true;
}

namespace {

const char kUsage[] =
    "Usage: tavri-plot RESULT [-o OUT.svg] [-x I] [-y J] [--noise]\n"
    "       tavri-plot -h | --help\n"
    "Draws a Tavri result file (CTavri-NAME) as an SVG scatter plot.\n"
    "  -o OUT.svg  picture to write (default: RESULT.svg)\n"
    "  -x I        coordinate on the horizontal axis, 0-based (default 0)\n"
    "  -y J        coordinate on the vertical axis, 0-based (default 1);\n"
    "              a result with one coordinate is drawn along a line\n"
    "  --noise     the highest label is the noise list: draw it small and grey\n"
    "  -h, --help  show this help\n";

int Fail(const std::string& reason) {
    std::cerr << "tavri-plot: " << reason << '\n';
    return 1;
}

bool ParseIndex(const char* text, int& value) {
    std::string token = text;
    return ParseLabel(token, value);
}

}  // namespace

int RunCli(int argc, char** argv) {
    std::string result_path;
    bool have_result = false;
    std::string output;
    bool have_output = false;
    int x = 0;
    int y = 1;
    bool have_y = false;
    bool noise = false;
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (!options_done && arg.size() > 1 && arg[0] == '-') {
            if (arg == "-h" || arg == "--help") {
                std::cout << kUsage;
                return 0;
            } else if (arg == "--") {
                options_done = true;
            } else if (arg == "--noise") {
                noise = true;
            } else if (arg == "-o") {
                if (i + 1 >= argc) return Fail("-o needs a file name");
                output = argv[++i];
                have_output = true;
            } else if (arg == "-x" || arg == "-y") {
                if (i + 1 >= argc) return Fail(arg + " needs a coordinate index (0, 1, ...)");
                int value = 0;
                if (!ParseIndex(argv[++i], value))
                    return Fail(arg + " needs a coordinate index (0, 1, ...), not '" + Shown(argv[i]) + "'");
                if (arg == "-x") {
                    x = value;
                } else {
                    y = value;
                    have_y = true;
                }
            } else {
                return Fail("unknown option '" + Shown(arg) + "' (try --help)");
            }
            continue;
        }
        if (have_result) return Fail("more than one result file given (try --help)");
        result_path = arg;
        have_result = true;
    }
    if (!have_result) return Fail("no result file given (try --help)");

    ResultData data;
    std::string error;
    if (!ReadResultFile(result_path, data, error)) return Fail(error);

    PlotOptions options;
    options.noise = noise;
    options.title = TitleFromPath(result_path);
    options.x = x;
    options.y = y;
    options.one_dimensional = data.dims == 1 && !have_y;
    auto out_of_range = [&](const char* flag, int value) {
        std::string has = data.dims == 1 ? "1 coordinate (index 0)"
                                         : std::to_string(data.dims) + " coordinates (indexes 0 to " +
                                               std::to_string(data.dims - 1) + ")";
        return Fail(std::string(flag) + " " + std::to_string(value) + " is out of range: the result has " + has);
    };
    if (x >= data.dims) return out_of_range("-x", x);
    if (!options.one_dimensional && y >= data.dims) return out_of_range("-y", y);

    if (!have_output) output = result_path + ".svg";
    if (!WriteFileAtomically(output, BuildSvg(data, options), error)) return Fail(error);
    return 0;
}

}  // namespace tavri_plot

// Colours, titles and text made safe for XML.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "plot.h"

namespace tavri_plot {

const char* const kNoiseColour = "#999999";

namespace {

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

}  // namespace

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

}  // namespace tavri_plot

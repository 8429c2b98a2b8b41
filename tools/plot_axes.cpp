// Axes: their ends, their ticks and the text of each tick, for any finite values.
#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "plot.h"

namespace tavri_plot {

namespace {

// The round step (1, 2 or 5 times a power of ten) nearest to `raw` > 0.
double FirstNiceStep(double raw) {
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double norm = raw / magnitude;
    return (norm < 1.5 ? 1 : norm < 3 ? 2 : norm < 7 ? 5 : 10) * magnitude;
}

// The next larger round step; infinite past the largest double.
double NextNiceStep(double step) {
    const double magnitude = std::pow(10.0, std::floor(std::log10(step)));
    const double norm = step / magnitude;
    return (norm < 1.5 ? 2 : norm < 3.5 ? 5 : 10) * magnitude;
}

// Ticks at multiples of `step` from at or below lo to at or above hi; where
// those would pass the largest double, only the multiples inside [lo, hi].
// Empty when that makes more than kMaxTicks or fewer than two distinct ticks.
std::vector<double> TicksAtStep(double lo, double hi, double step) {
    // A small tolerance keeps lo = 2.0000000001 * step from adding a tick.
    double first = std::floor(lo / step + 1e-9);
    double last = std::ceil(hi / step - 1e-9);
    if (last == first) last += 1;
    if (!(last - first < kMaxTicks)) return {};
    if (!std::isfinite(first * step) || !std::isfinite(last * step)) {
        first = std::ceil(lo / step);
        last = std::floor(hi / step);
    }
    std::vector<double> ticks;
    // Counted by an integer: at huge multiples k + 1 can equal k.
    const int count = static_cast<int>(last - first) + 1;
    for (int i = 0; i < count; ++i) {
        const double k = first + i;
        const double tick = k == 0 ? 0.0 : k * step;
        if (!ticks.empty() && !(tick > ticks.back())) return {};
        ticks.push_back(tick);
    }
    if (ticks.size() < 2) return {};
    return ticks;
}

// Spacing of two neighbouring doubles near the larger end; steps finer than
// a few of these would give ticks that repeat or run backwards.
double Resolution(double lo, double hi) {
    const double scale = std::max(std::fabs(lo), std::fabs(hi));
    return std::max(4 * (scale - std::nextafter(scale, 0.0)), 4 * DBL_TRUE_MIN);
}

double Clamp(double value) { return std::clamp(value, -DBL_MAX, DBL_MAX); }

}  // namespace

std::vector<double> NiceTicks(double lo, double hi, int target) {
    if (!std::isfinite(lo) || !std::isfinite(hi)) return {0.0, 1.0};
    if (hi < lo) std::swap(lo, hi);
    target = std::clamp(target, 2, kMaxTicks - 1);
    // Halved before subtracting: hi - lo can overflow.
    const double raw = std::max((hi / 2 - lo / 2) / target * 2, Resolution(lo, hi));
    // Each round multiplies the step by 2 to 2.5: a few dozen rounds at most
    // before the count fits, and the step turns infinite after about 1600.
    for (double step = FirstNiceStep(raw); std::isfinite(step); step = NextNiceStep(step)) {
        std::vector<double> ticks = TicksAtStep(lo, hi, step);
        if (!ticks.empty()) return ticks;
    }
    // No round step fits (ends at the largest doubles): the ends themselves.
    if (lo < hi) return {lo, hi};
    return hi < DBL_MAX ? std::vector<double>{lo, std::nextafter(hi, INFINITY)}
                        : std::vector<double>{std::nextafter(lo, -INFINITY), hi};
}

std::string TickText(double value, double step) {
    if (value == 0) value = 0.0;  // never "-0"
    if (!std::isfinite(step) || step <= 0) step = std::max(std::fabs(value), 1.0);
    const double step_exponent = std::floor(std::log10(step) + 1e-9);
    const double magnitude = std::fabs(value);
    char text[64];
    // Room for the terminating NUL is kept out of the conversion.
    char* const end = text + sizeof text - 1;
    std::to_chars_result result{text, std::errc::value_too_large};
    // Fixed notation while whole numbers are exact and decimals few.
    const bool fixed = step >= 1e-6 && magnitude < 9007199254740992.0;
    if (fixed) {
        const int decimals = static_cast<int>(std::clamp(-step_exponent, 0.0, 6.0));
        result = std::to_chars(text, end, value, std::chars_format::fixed, decimals);
    } else if (value == 0) {
        return "0";  // not "0e+00"
    } else {
        // As many digits as tell ticks one step apart.
        const int digits = static_cast<int>(std::clamp(std::floor(std::log10(magnitude)) - step_exponent, 0.0, 17.0));
        result = std::to_chars(text, end, value, std::chars_format::scientific, digits);
    }
    if (result.ec == std::errc()) {
        *result.ptr = '\0';
        // Rounded near the largest double, the text can read back as infinite.
        if (!std::isfinite(std::strtod(text, nullptr))) result.ec = std::errc::result_out_of_range;
    }
    if (result.ec != std::errc()) {
        // The shortest text that reads back as the value itself: always finite.
        result = std::to_chars(text, end, value);
        if (result.ec != std::errc()) return "0";  // not reached: 24 bytes suffice
    }
    std::string out(text, result.ptr);
    const std::size_t e = out.find('e');
    if (!fixed && e != std::string::npos && e > 0) {
        // "1.50e+308" reads "1.5e+308", "1.0e+308" reads "1e+308".
        std::size_t keep = out.find_last_not_of('0', e - 1);
        if (out[keep] == '.') --keep;
        out.erase(keep + 1, e - keep - 1);
    }
    return out;
}

Axis FitAxis(double lo, double hi, int target) {
    if (!(lo <= hi) || !std::isfinite(lo) || !std::isfinite(hi)) {
        lo = -1;
        hi = 1;
    } else if (lo == hi) {
        const double half = std::max(1.0, std::fabs(lo) * 0.05);
        lo = Clamp(lo - half);
        hi = Clamp(hi + half);
    } else {
        // A little room so extreme points are not cut by the frame; each end
        // scaled first, as the span can overflow.
        const double pad = hi * 0.02 - lo * 0.02;
        lo = Clamp(lo - pad);
        hi = Clamp(hi + pad);
    }
    Axis axis;
    axis.ticks = NiceTicks(lo, hi, target);
    axis.lo = std::min(axis.ticks.front(), lo);
    axis.hi = std::max(axis.ticks.back(), hi);
    return axis;
}

Axis AxisWithin(double lo, double hi, int target) {
    Axis axis;
    axis.lo = lo;
    axis.hi = hi;
    for (double t : NiceTicks(lo, hi, target))
        if (t >= lo && t <= hi) axis.ticks.push_back(t);
    if (axis.ticks.size() < 2) axis.ticks = {lo, hi};
    return axis;
}

void EqualiseScales(Axis& x, double x_pixels, Axis& y, double y_pixels, int target) {
    // Spans in long double: where it is wider than double (x86, quad
    // formats) the span of any two doubles neither overflows nor vanishes.
    using Wide = long double;
    const Wide x_units = (static_cast<Wide>(x.hi) - x.lo) / x_pixels;
    const Wide y_units = (static_cast<Wide>(y.hi) - y.lo) / y_pixels;
    const Wide units = std::max(x_units, y_units);
    const auto narrow = [&](Wide value) {
        // Clamped while wide: converting a value beyond the doubles is undefined.
        return static_cast<double>(std::clamp(value, static_cast<Wide>(-DBL_MAX), static_cast<Wide>(DBL_MAX)));
    };
    // The axis with fewer units per pixel widens about its centre; the other keeps its ends and ticks.
    Axis& axis = x_units < units ? x : y;
    if (!(x_units < units) && !(y_units < units)) return;
    const double pixels = &axis == &x ? x_pixels : y_pixels;
    const Wide centre = (static_cast<Wide>(axis.lo) + axis.hi) / 2;
    const double lo = narrow(centre - units * pixels / 2);
    const double hi = narrow(centre + units * pixels / 2);
    if (lo < hi) axis = AxisWithin(lo, hi, target);
}

double AxisFraction(const Axis& axis, double value) {
    const double span = axis.hi - axis.lo;
    if (std::isfinite(span)) return (value - axis.lo) / span;
    return (value / 2 - axis.lo / 2) / (axis.hi / 2 - axis.lo / 2);
}

double TickStep(const Axis& axis) {
    if (axis.ticks.size() < 2) return 1;
    const double step = axis.ticks[1] - axis.ticks[0];
    // Infinite only between ticks at the largest doubles; TickText copes.
    return std::isfinite(step) ? step : (axis.ticks[1] / 2 - axis.ticks[0] / 2) * 2;
}

}  // namespace tavri_plot

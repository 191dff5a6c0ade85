#include "axis.h"

#include <algorithm>
#include <utility>

namespace {
constexpr std::int64_t max_ticks = 8;
// Beyond this the scaling below would overflow; a pixel never needs more.
constexpr std::int64_t fine_enough = 1000000000000;

std::int64_t floor_div(std::int64_t a, std::int64_t b)
{
    return a / b - (a % b != 0 && a < 0 ? 1 : 0);
}
std::int64_t ceil_div(std::int64_t a, std::int64_t b) { return -floor_div(-a, b); }
std::int64_t magnitude(std::int64_t v) { return v < 0 ? -v : v; }
} // namespace

round_axis::round_axis(std::int64_t data_lo, std::int64_t data_hi)
{
    if (data_hi < data_lo)
        std::swap(data_lo, data_hi);
    if (data_lo == data_hi) {
        // One value: a power of ten either side (two units at least, for
        // four ticks), so it sits in the middle.
        std::int64_t d = 1;
        while (d * 10 <= magnitude(data_lo))
            d *= 10;
        d = std::max<std::int64_t>(d, 2);
        data_lo -= d;
        data_hi += d;
    }
    // The smallest step that needs no more than max_ticks; the step before
    // it needed more, which leaves at least four for this one.
    const std::int64_t mantissas[] = {1, 2, 5};
    for (std::int64_t power = 1;; power *= 10) {
        for (const std::int64_t m : mantissas) {
            step = m * power;
            lo = floor_div(data_lo, step) * step;
            hi = ceil_div(data_hi, step) * step;
            if ((hi - lo) / step + 1 <= max_ticks) {
                for (std::int64_t t = lo; t <= hi; t += step)
                    ticks.push_back(t);
                return;
            }
        }
    }
}

std::int64_t round_axis::map(std::int64_t v, std::int64_t from, std::int64_t to) const
{
    std::int64_t num = v - lo, den = hi - lo;
    while (den > fine_enough) {
        num /= 10;
        den /= 10;
    }
    const std::int64_t len = to - from;
    const std::int64_t r = (2 * num * magnitude(len) + den) / (2 * den);
    return from + (len < 0 ? -r : r);
}

std::string tick_label(std::int64_t v, int exponent)
{
    std::int64_t unit = 1;
    for (int i = 0; i < exponent; ++i)
        unit *= 10;
    std::string text = v < 0 ? "-" : "";
    text += std::to_string(magnitude(v) / unit);
    if (exponent == 0)
        return text;
    std::string frac = std::to_string(magnitude(v) % unit);
    frac.insert(0, static_cast<std::size_t>(exponent) - frac.size(), '0');
    frac.erase(frac.find_last_not_of('0') + 1);
    if (!frac.empty())
        text += "." + frac;
    return text;
}

#include "gauge.h"

#include <cmath>
#include <cstdio>

#include "servo_model.h"

namespace {
constexpr int gauge_cells = 41;
}

std::string describe_width(hrtime_t width)
{
    const double pos = width_to_position(width);
    std::string gauge(gauge_cells, '.');
    if (pos < 0.0) {
        gauge.front() = '<';
    } else if (pos > 255.0) {
        gauge.back() = '>';
    } else {
        const long cell = std::lround(pos / 255.0 * (gauge_cells - 1));
        gauge[static_cast<std::size_t>(cell)] = '#';
    }
    char text[128];
    std::snprintf(text, sizeof text, "pos %7.1f %9.3f ms  [%s]", pos,
                  static_cast<double>(width) / 1e6, gauge.c_str());
    return text;
}

#include "trace_plot.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {
// Far beyond any width servo_width gives an int (about 8.4e12 ns) or any
// run's length, and small enough that the axes' integer sums cannot overflow.
constexpr long long max_width_ns = 100000000000000000;
constexpr double max_t_ms = 1e12;
} // namespace

bool parse_trace(std::istream &in, std::vector<trace_point> &points, std::string &why)
{
    std::string line;
    if (!std::getline(in, line) || line != "t_ms,width_ns") {
        why = "not a servosim trace (expected the header t_ms,width_ns)";
        return false;
    }
    for (int row = 2; std::getline(in, line); ++row) {
        if (line.empty())
            continue;
        const char *s = line.c_str();
        char *end = nullptr;
        const double t = std::strtod(s, &end);
        if (end == s || *end != ',' || !std::isfinite(t) || std::fabs(t) > max_t_ms) {
            why = "bad time in row " + std::to_string(row);
            return false;
        }
        const char *w = end + 1;
        errno = 0;
        const long long width = std::strtoll(w, &end, 10);
        if (end == w || *end != '\0' || errno == ERANGE || std::llabs(width) > max_width_ns) {
            why = "bad width in row " + std::to_string(row);
            return false;
        }
        points.push_back({t, static_cast<std::int64_t>(width)});
    }
    return true;
}

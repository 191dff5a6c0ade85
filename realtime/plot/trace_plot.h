// Pulse width over time, from servosim's or servod's CSV traces, as a small
// SVG picture.
#ifndef SERVOSIM_TRACE_PLOT_H
#define SERVOSIM_TRACE_PLOT_H

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

struct trace_point {
    double t_ms;
    std::int64_t width; // ns; 0 while the pulses are off
};

// Reads "t_ms,width_ns" rows after that header; false with a reason on bad input.
bool parse_trace(std::istream &in, std::vector<trace_point> &points, std::string &why);

struct plot_trace {
    std::string name; // in the legend, when there are several
    std::vector<trace_point> points;
};

struct width_band {
    std::int64_t lo, hi; // ns
};

// One step line per trace on shared axes: a width holds until the next row,
// and a width of 0 leaves a gap. `allowed`, if given, is shaded.
std::string render_svg(const std::vector<plot_trace> &traces,
                       const std::optional<width_band> &allowed = std::nullopt);

#endif

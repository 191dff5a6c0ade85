// Pulse width over time, from servosim's CSV trace, as a small SVG picture.
#ifndef SERVOSIM_TRACE_PLOT_H
#define SERVOSIM_TRACE_PLOT_H

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

struct trace_point {
    double t_ms;
    std::int64_t width; // ns
};

// Reads "t_ms,width_ns" rows after that header; false with a reason on bad input.
bool parse_trace(std::istream &in, std::vector<trace_point> &points, std::string &why);

// The width holds until the next row, so the line is drawn in steps.
std::string render_svg(const std::vector<trace_point> &points);

#endif

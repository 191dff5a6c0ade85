#include "trace_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

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
        if (end == s || *end != ',' || !std::isfinite(t)) {
            why = "bad time in row " + std::to_string(row);
            return false;
        }
        const char *w = end + 1;
        const long long width = std::strtoll(w, &end, 10);
        if (end == w || *end != '\0') {
            why = "bad width in row " + std::to_string(row);
            return false;
        }
        points.push_back({t, static_cast<std::int64_t>(width)});
    }
    return true;
}

namespace {
constexpr double plot_w = 760, plot_h = 320, left = 70, top = 40;

template <typename... Args>
std::string fmt(const char *pattern, Args... args)
{
    char buf[256];
    std::snprintf(buf, sizeof buf, pattern, args...);
    return buf;
}
} // namespace

std::string render_svg(const std::vector<trace_point> &points)
{
    // Axis ranges: at least the servo's 1..2 ms span, widened to what the trace holds.
    double t_end = 1.0, w_lo = 1.0, w_hi = 2.0;
    for (const trace_point &p : points) {
        t_end = std::max(t_end, p.t_ms);
        w_lo = std::min(w_lo, static_cast<double>(p.width) / 1e6);
        w_hi = std::max(w_hi, static_cast<double>(p.width) / 1e6);
    }
    t_end *= 1.05;
    const auto x = [&](double t_ms) { return left + t_ms / t_end * plot_w; };
    const auto y = [&](double w_ms) { return top + (w_hi - w_ms) / (w_hi - w_lo) * plot_h; };

    std::ostringstream svg;
    svg << fmt("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
               "font-family=\"sans-serif\" font-size=\"12\">\n",
               left + plot_w + 30, top + plot_h + 50)
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << fmt("<text x=\"%.0f\" y=\"24\" font-size=\"15\">servo pulse width over time</text>\n",
               left);
    for (int i = 0; i <= 5; ++i) {
        const double w = w_lo + (w_hi - w_lo) * i / 5;
        const double t = t_end * i / 5;
        svg << fmt("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>", left,
                   y(w), left + plot_w, y(w))
            << fmt("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%.3f ms</text>\n", left - 6,
                   y(w) + 4, w)
            << fmt("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>", x(t),
                   top, x(t), top + plot_h)
            << fmt("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%.2f s</text>\n", x(t),
                   top + plot_h + 18, t / 1000);
    }
    svg << fmt("<rect x=\"%.0f\" y=\"%.0f\" width=\"%.0f\" height=\"%.0f\" fill=\"none\" "
               "stroke=\"#444\"/>\n",
               left, top, plot_w, plot_h);
    if (!points.empty()) {
        svg << "<polyline fill=\"none\" stroke=\"#1f6fb4\" stroke-width=\"2\" points=\"";
        double prev = static_cast<double>(points.front().width) / 1e6;
        for (const trace_point &p : points) {
            const double w = static_cast<double>(p.width) / 1e6;
            svg << fmt("%.1f,%.1f %.1f,%.1f ", x(p.t_ms), y(prev), x(p.t_ms), y(w));
            prev = w;
        }
        svg << fmt("%.1f,%.1f\"/>\n", left + plot_w, y(prev));
    }
    svg << fmt("<text x=\"%.0f\" y=\"%.0f\" fill=\"#666\">%.0f width changes</text>\n", left,
               top + plot_h + 40, static_cast<double>(points.size()))
        << "</svg>\n";
    return svg.str();
}

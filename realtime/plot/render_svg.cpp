// The picture: widths on the left, the positions they stand for on the
// right, time along the bottom, one step line per trace.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "axis.h"
#include "servo.h"
#include "trace_plot.h"

namespace {
// Tenths of a pixel.
constexpr std::int64_t left = 700, top = 400, plot_w = 7600, plot_h = 3200, pad = 80;
constexpr std::int64_t legend_x = left + plot_w + 700, legend_row = 180;
constexpr std::int64_t us_per_s = 1000000, ns_per_ms = 1000000;

// Okabe-Ito, less its yellow, which is lost on white.
const char *const colours[] = {"#0072B2", "#D55E00", "#009E73", "#CC79A7",
                               "#E69F00", "#56B4E9", "#000000"};
const char *const dashes[] = {"", " stroke-dasharray=\"8 4\"", " stroke-dasharray=\"2 3\"",
                              " stroke-dasharray=\"8 3 2 3\""};
constexpr std::size_t n_colours = sizeof colours / sizeof *colours;
constexpr std::size_t n_dashes = sizeof dashes / sizeof *dashes;

std::string px(std::int64_t tenths)
{
    const std::int64_t a = tenths < 0 ? -tenths : tenths;
    return (tenths < 0 ? "-" : "") + std::to_string(a / 10) + "." + std::to_string(a % 10);
}

std::int64_t t_us(const trace_point &p) { return std::llround(p.t_ms * 1000); }

// Length of the UTF-8 character at s that XML allows (2 to 4 bytes), or 0:
// no overlong form, surrogate, U+FFFE or U+FFFF, nothing past U+10FFFF.
std::size_t utf8_length(const unsigned char *s, std::size_t size)
{
    const unsigned char c = s[0];
    const std::size_t n = c >= 0xC2 && c <= 0xDF   ? 2
                          : c >= 0xE0 && c <= 0xEF ? 3
                          : c >= 0xF0 && c <= 0xF4 ? 4
                                                   : 0;
    if (n == 0 || n > size)
        return 0;
    for (std::size_t i = 1; i < n; ++i)
        if ((s[i] & 0xC0) != 0x80)
            return 0;
    if ((c == 0xE0 && s[1] < 0xA0) || (c == 0xED && s[1] >= 0xA0) || (c == 0xF0 && s[1] < 0x90) ||
        (c == 0xF4 && s[1] >= 0x90) || (c == 0xEF && s[1] == 0xBF && s[2] >= 0xBE))
        return 0;
    return n;
}

// A name shown safely: UTF-8 as it is; control and stray bytes, which XML
// forbids, as \xHH, as the tools show arguments; cut short.
std::string shown(const std::string &raw)
{
    constexpr std::size_t longest = 120;
    const auto *bytes = reinterpret_cast<const unsigned char *>(raw.data());
    std::string text;
    for (std::size_t i = 0, n = 1; i < raw.size() && text.size() < longest; i += n) {
        n = 1;
        if (bytes[i] >= 0x20 && bytes[i] < 0x7F) {
            text += raw[i];
        } else if ((n = utf8_length(bytes + i, raw.size() - i)) != 0) {
            text.append(raw, i, n);
        } else {
            n = 1;
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned>(bytes[i]));
            text += hex;
        }
    }
    return text;
}

std::string xml_text(const std::string &raw)
{
    std::string text;
    for (const char c : raw) {
        switch (c) {
        case '&': text += "&amp;"; break;
        case '<': text += "&lt;"; break;
        case '>': text += "&gt;"; break;
        case '"': text += "&quot;"; break;
        default: text += c;
        }
    }
    return text;
}

std::string stroke(std::size_t i)
{
    return std::string(" stroke=\"") + colours[i % n_colours] + "\"" +
           dashes[i / n_colours % n_dashes];
}

struct frame {
    round_axis time, width;
    std::int64_t x(std::int64_t us) const { return time.map(us, left + pad, left + plot_w - pad); }
    std::int64_t y(std::int64_t ns) const { return width.map(ns, top + plot_h - pad, top + pad); }
};

frame axes_for(const std::vector<plot_trace> &traces, const std::optional<width_band> &allowed)
{
    // The time from the start, and at least the servo's 1..2 ms; a width
    // of 0 is the pulses off, not a width to scale for.
    std::int64_t t_lo = 0, t_hi = 0, w_lo = ns_per_ms, w_hi = 2 * ns_per_ms;
    for (const plot_trace &tr : traces)
        for (const trace_point &p : tr.points) {
            t_lo = std::min(t_lo, t_us(p));
            t_hi = std::max(t_hi, t_us(p));
            if (p.width != 0) {
                w_lo = std::min(w_lo, p.width);
                w_hi = std::max(w_hi, p.width);
            }
        }
    if (allowed) {
        w_lo = std::min(w_lo, allowed->lo);
        w_hi = std::max(w_hi, allowed->hi);
    }
    if (t_hi == t_lo) // a single instant, shown over a second
        t_hi = t_lo + us_per_s;
    return {round_axis(t_lo, t_hi), round_axis(w_lo, w_hi)};
}

void grid(std::ostringstream &svg, const frame &f)
{
    for (const std::int64_t w : f.width.ticks)
        svg << "<line x1=\"" << px(left) << "\" y1=\"" << px(f.y(w)) << "\" x2=\"" << px(left + plot_w)
            << "\" y2=\"" << px(f.y(w)) << "\" stroke=\"#ddd\"/><text x=\"" << px(left - 60)
            << "\" y=\"" << px(f.y(w) + 40) << "\" text-anchor=\"end\">" << tick_label(w, 6)
            << " ms</text>\n";
    for (const std::int64_t t : f.time.ticks)
        svg << "<line x1=\"" << px(f.x(t)) << "\" y1=\"" << px(top) << "\" x2=\"" << px(f.x(t))
            << "\" y2=\"" << px(top + plot_h) << "\" stroke=\"#ddd\"/><text x=\"" << px(f.x(t))
            << "\" y=\"" << px(top + plot_h + 180) << "\" text-anchor=\"middle\">" << tick_label(t, 6)
            << " s</text>\n";
}

// Positions 0..255 at the heights of their widths, as the library gives them.
void position_axis(std::ostringstream &svg, const frame &f)
{
    int p_lo = -1, p_hi = -1;
    for (int p = 0; p <= 255; ++p)
        if (servo_width(p) >= f.width.lo && servo_width(p) <= f.width.hi) {
            p_lo = p_lo < 0 ? p : p_lo;
            p_hi = p;
        }
    if (p_lo < 0)
        return;
    const std::int64_t x = left + plot_w;
    for (const std::int64_t p : round_axis(p_lo, p_hi).ticks) {
        if (p < p_lo || p > p_hi)
            continue;
        const std::int64_t y = f.y(servo_width(static_cast<int>(p)));
        svg << "<line x1=\"" << px(x) << "\" y1=\"" << px(y) << "\" x2=\"" << px(x + 50)
            << "\" y2=\"" << px(y) << "\" stroke=\"#444\"/><text x=\"" << px(x + 80) << "\" y=\""
            << px(y + 40) << "\">" << p << "</text>\n";
    }
    svg << "<text transform=\"translate(" << px(x + 550) << " " << px(top + plot_h / 2)
        << ") rotate(90)\" text-anchor=\"middle\">position</text>\n";
}

std::string step_line(const plot_trace &tr, const frame &f)
{
    std::string d;
    bool drawing = false;
    for (const trace_point &p : tr.points) {
        const std::int64_t x = f.x(t_us(p));
        if (drawing) // the width before holds until now
            d += " H" + px(x);
        if (p.width == 0) {
            drawing = false;
            continue;
        }
        const std::string y = px(f.y(p.width));
        d += drawing ? " V" + y : (d.empty() ? "M" : " M") + px(x) + " " + y;
        drawing = true;
    }
    if (drawing)
        d += " H" + px(f.x(f.time.hi));
    return d;
}

void legend(std::ostringstream &svg, const std::vector<plot_trace> &traces)
{
    for (std::size_t i = 0; i < traces.size(); ++i) {
        const std::int64_t y = top + 100 + static_cast<std::int64_t>(i) * legend_row;
        svg << "<line x1=\"" << px(legend_x) << "\" y1=\"" << px(y) << "\" x2=\"" << px(legend_x + 240)
            << "\" y2=\"" << px(y) << "\" stroke-width=\"2\"" << stroke(i) << "/><text x=\""
            << px(legend_x + 300) << "\" y=\"" << px(y + 40) << "\">" << xml_text(shown(traces[i].name))
            << "</text>\n";
    }
}
} // namespace

std::string render_svg(const std::vector<plot_trace> &traces, const std::optional<width_band> &allowed)
{
    const frame f = axes_for(traces, allowed);
    const bool keyed = traces.size() > 1;
    std::size_t longest = 0, rows = 0;
    bool off = false;
    for (const plot_trace &tr : traces) {
        longest = std::max(longest, shown(tr.name).size());
        rows += tr.points.size();
        for (const trace_point &p : tr.points)
            off = off || p.width == 0;
    }
    // Text is about 7 px a character; the legend's width follows its longest name.
    const std::int64_t width = keyed ? legend_x + 400 + 70 * static_cast<std::int64_t>(longest)
                                     : left + plot_w + 800;
    const std::int64_t keys = keyed ? static_cast<std::int64_t>(traces.size()) : 0;
    const std::int64_t height = std::max(top + plot_h + 500, top + 200 + keys * legend_row);

    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width / 10 << "\" height=\""
        << height / 10 << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text x=\"" << px(left) << "\" y=\"24\" font-size=\"15\">servo pulse width over time</text>\n";
    if (allowed)
        svg << "<rect x=\"" << px(left) << "\" y=\"" << px(f.y(allowed->hi)) << "\" width=\"" << px(plot_w)
            << "\" height=\"" << px(f.y(allowed->lo) - f.y(allowed->hi)) << "\" fill=\"#e8e8e8\"/>\n";
    grid(svg, f);
    svg << "<rect x=\"" << px(left) << "\" y=\"" << px(top) << "\" width=\"" << px(plot_w)
        << "\" height=\"" << px(plot_h) << "\" fill=\"none\" stroke=\"#444\"/>\n";
    position_axis(svg, f);
    for (std::size_t i = 0; i < traces.size(); ++i) {
        const std::string d = step_line(traces[i], f);
        if (!d.empty())
            svg << "<path fill=\"none\" stroke-width=\"2\"" << stroke(i) << " d=\"" << d << "\"/>\n";
    }
    if (keyed)
        legend(svg, traces);
    svg << "<text x=\"" << px(left) << "\" y=\"" << px(top + plot_h + 400) << "\" fill=\"#666\">" << rows
        << " width changes";
    if (allowed)
        svg << "; shaded: allowed, " << tick_label(allowed->lo, 6) << " to " << tick_label(allowed->hi, 6)
            << " ms";
    if (off)
        svg << "; gaps: pulses off";
    svg << "</text>\n</svg>\n";
    return svg.str();
}

#include "gauge.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace {
constexpr int gauge_cells = 41;
constexpr std::uint64_t progress_lines_per_ramp = 8;
} // namespace

gauge_text describe_width(hrtime_t width)
{
    const double pos = width_to_position(width);
    char gauge[gauge_cells + 1];
    for (char &c : gauge)
        c = '.';
    gauge[gauge_cells] = '\0';
    if (pos < 0.0) {
        gauge[0] = '<';
    } else if (pos > 255.0) {
        gauge[gauge_cells - 1] = '>';
    } else {
        const long cell = std::lround(pos / 255.0 * (gauge_cells - 1));
        gauge[cell] = '#';
    }
    gauge_text t{};
    std::snprintf(t.text, sizeof t.text, "pos %7.1f %9.3f ms  [%s]", pos,
                  static_cast<double>(width) / 1e6, gauge);
    return t;
}

void gauge_output::record(const my_msg_struct &, servo_model::outcome what,
                          const servo_model &model, bool replaced, std::int64_t)
{
    if (replaced)
        out.line("   (ramp replaced by a newer command)");
    ramp_shown = false;
    switch (what) {
    case servo_model::outcome::set:
        out.line("N  set   %s", describe_width(model.width()).text);
        break;
    case servo_model::outcome::ramp_done_at_once:
        out.line("T  jump  %s", describe_width(model.width()).text);
        break;
    case servo_model::outcome::ramp_started: {
        const std::uint64_t n = model.frames_left();
        out.line("T  ramp  %s\n         -> pos %.1f (%.3f ms), %" PRId64 " ns per frame, %" PRIu64
                 " frames",
                 describe_width(model.width()).text, width_to_position(model.target()),
                 static_cast<double>(model.target()) / 1e6,
                 static_cast<std::int64_t>(model.increment()), n);
        ramp_shown = true;
        start_driven = false;
        frames = 0;
        every = n / progress_lines_per_ramp > 1 ? n / progress_lines_per_ramp : 1;
        break;
    }
    case servo_model::outcome::unknown:
        break;
    }
}

drive_result gauge_output::drive(hrtime_t width, const servo_model &model, hrtime_t &produced,
                                 std::int64_t)
{
    produced = width; // a simulated servo takes any width
    if (!ramp_shown)
        return drive_result::ok;
    if (!start_driven) {
        start_driven = true; // the ramp's first width, shown with the command
        return drive_result::ok;
    }
    ++frames;
    if (model.ramping() && frames % every == 0)
        out.line("   ramp  %s", describe_width(width).text);
    return drive_result::ok;
}

void gauge_output::done(const servo_model &model)
{
    ramp_shown = false;
    out.line("D  done  %s", describe_width(model.width()).text);
}

#include "servo_model.h"

namespace {
// Distance between widths without signed overflow: any two int64 differ by < 2^64.
std::uint64_t distance(hrtime_t from, hrtime_t to)
{
    return from < to ? static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from)
                     : static_cast<std::uint64_t>(from) - static_cast<std::uint64_t>(to);
}
} // namespace

servo_model::outcome servo_model::apply(const my_msg_struct &rec)
{
    switch (rec.option) {
    case servo_option_set:
        done_pending = false;
        current = rec.data1;
        ramp_on = false;
        return outcome::set;
    case servo_option_timed:
        done_pending = false;
        current = rec.data1;
        goal = rec.data2;
        inc = rec.time;
        if (inc <= 0 || current == goal) {
            current = goal;
            ramp_on = false;
            done_pending = true;
            return outcome::ramp_done_at_once;
        }
        ramp_on = true;
        return outcome::ramp_started;
    default:
        return outcome::unknown;
    }
}

bool servo_model::tick()
{
    if (!ramp_on)
        return false;
    const std::uint64_t step = static_cast<std::uint64_t>(inc);
    if (step >= distance(current, goal))
        current = goal;
    else if (current < goal)
        current += inc;
    else
        current -= inc;
    if (current == goal) {
        ramp_on = false;
        done_pending = true;
    }
    return true;
}

bool servo_model::take_done()
{
    const bool was = done_pending;
    done_pending = false;
    return was;
}

std::uint64_t servo_model::frames_left() const
{
    if (!ramp_on)
        return 0;
    const std::uint64_t step = static_cast<std::uint64_t>(inc);
    const std::uint64_t d = distance(current, goal);
    return d / step + (d % step != 0 ? 1 : 0);
}

double width_to_position(hrtime_t width)
{
    return (static_cast<double>(width) - 1e6) * 256.0 / 1e6;
}

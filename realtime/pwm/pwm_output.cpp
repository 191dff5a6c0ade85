#include "pwm_output.h"

#include <cinttypes>
#include <cstring>

void pwm_output::record(const my_msg_struct &rec, servo_model::outcome what, const servo_model &,
                        bool)
{
    const hrtime_t first = rec.data1;
    if (what == servo_model::outcome::set) {
        if (allowed.clamp(first) != first)
            err.line("servod: 'N' asks for %" PRId64 " ns; %" PRId64
                     " ns used (allowed %" PRId64 "..%" PRId64 " ns)",
                     static_cast<std::int64_t>(first), static_cast<std::int64_t>(allowed.clamp(first)),
                     static_cast<std::int64_t>(allowed.min_ns), static_cast<std::int64_t>(allowed.max_ns));
        return;
    }
    const hrtime_t last = rec.data2;
    if (allowed.clamp(first) != first || allowed.clamp(last) != last)
        err.line("servod: 'T' asks for %" PRId64 " -> %" PRId64 " ns; %" PRId64 " -> %" PRId64
                 " ns used (allowed %" PRId64 "..%" PRId64 " ns)",
                 static_cast<std::int64_t>(first), static_cast<std::int64_t>(last),
                 static_cast<std::int64_t>(allowed.clamp(first)),
                 static_cast<std::int64_t>(allowed.clamp(last)),
                 static_cast<std::int64_t>(allowed.min_ns), static_cast<std::int64_t>(allowed.max_ns));
}

void pwm_output::report(pwm_channel::status s)
{
    if (s == pwm_channel::status::ok)
        return;
    err.line("servod: %s: %s%s", ch.failed_path(), std::strerror(ch.failed_errno()),
             s == pwm_channel::status::gone ? ": the PWM channel is gone" : "");
}

bool pwm_output::drive(hrtime_t width, const servo_model &, hrtime_t &produced)
{
    produced = allowed.clamp(width);
    const pwm_channel::status s = ch.set_width(produced);
    report(s);
    return s != pwm_channel::status::gone;
}

void pwm_output::stop()
{
    if (release)
        report(ch.release());
}

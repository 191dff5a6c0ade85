#include "pwm_output.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

void pwm_output::record(const my_msg_struct &rec, servo_model::outcome what, const servo_model &,
                        bool, std::int64_t now)
{
    const hrtime_t first = rec.data1;
    const hrtime_t last = what == servo_model::outcome::set ? first : rec.data2;
    if (allowed.clamp(first) == first && allowed.clamp(last) == last)
        return;
    if (!clamped.count(now))
        return;
    const std::uint64_t n = clamped.take(now);
    char what_asked[160];
    if (what == servo_model::outcome::set)
        std::snprintf(what_asked, sizeof what_asked, "'N' asks for %" PRId64 " ns; %" PRId64 " ns used",
                      static_cast<std::int64_t>(first), static_cast<std::int64_t>(allowed.clamp(first)));
    else
        std::snprintf(what_asked, sizeof what_asked,
                      "'T' asks for %" PRId64 " -> %" PRId64 " ns; %" PRId64 " -> %" PRId64 " ns used",
                      static_cast<std::int64_t>(first), static_cast<std::int64_t>(last),
                      static_cast<std::int64_t>(allowed.clamp(first)),
                      static_cast<std::int64_t>(allowed.clamp(last)));
    if (n == 1)
        err.say(severity::warning, "%s (allowed %" PRId64 "..%" PRId64 " ns)", what_asked,
                static_cast<std::int64_t>(allowed.min_ns), static_cast<std::int64_t>(allowed.max_ns));
    else
        err.say(severity::warning, "%" PRIu64 " records clamped into %" PRId64 "..%" PRId64
                " ns since the last report; the last: %s", n, static_cast<std::int64_t>(allowed.min_ns),
                static_cast<std::int64_t>(allowed.max_ns), what_asked);
}

void pwm_output::say_failure(pwm_channel::status s, std::uint64_t count)
{
    if (s == pwm_channel::status::gone)
        err.say(severity::error, "%s: %s: the PWM channel is gone", ch.failed_path(),
                std::strerror(ch.failed_errno()));
    else if (count <= 1)
        err.say(severity::error, "%s: %s; trying again every frame", ch.failed_path(),
                std::strerror(ch.failed_errno()));
    else
        err.say(severity::error, "%s: %s; %" PRIu64 " failed writes since the last report",
                ch.failed_path(), std::strerror(ch.failed_errno()), count);
}

drive_result pwm_output::drive(hrtime_t width, const servo_model &, hrtime_t &produced, std::int64_t now)
{
    const hrtime_t clamped_width = allowed.clamp(width);
    const pwm_channel::status s = ch.set_width(clamped_width);
    switch (s) {
    case pwm_channel::status::ok:
        if (failed_in_a_row > 0) {
            if (const std::uint64_t unsaid = failures.take(now); unsaid > 0)
                say_failure(pwm_channel::status::failed, unsaid);
            err.say(severity::info, "%s: written again after %" PRIu64 " failed tries", ch.channel_path(),
                    failed_in_a_row);
            failures.reset();
            failed_in_a_row = 0;
        }
        produced = clamped_width;
        return drive_result::ok;
    case pwm_channel::status::gone:
        say_failure(s, 1);
        return drive_result::gone;
    case pwm_channel::status::failed:
        break;
    }
    ++failed_in_a_row;
    // A new reason is news at once; the same one is counted.
    if (ch.failed_errno() != last_errno)
        failures.reset();
    last_errno = ch.failed_errno();
    if (failures.count(now))
        say_failure(s, failures.take(now));
    return drive_result::failed;
}

void pwm_output::stop()
{
    if (!release)
        return;
    const pwm_channel::status s = ch.release();
    if (s != pwm_channel::status::ok)
        say_failure(s, 1);
}

std::int64_t pwm_output::reports_due() const
{
    return earlier(clamped.due(), failures.due());
}

void pwm_output::say_reports(std::int64_t now)
{
    if (clamped.owed(now))
        err.say(severity::warning, "%" PRIu64 " more records clamped into %" PRId64 "..%" PRId64 " ns",
                clamped.take(now), static_cast<std::int64_t>(allowed.min_ns),
                static_cast<std::int64_t>(allowed.max_ns));
    if (failures.owed(now))
        say_failure(pwm_channel::status::failed, failures.take(now));
}

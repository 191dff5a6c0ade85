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
        err.say(severity::warning, "%s%s (allowed %" PRId64 "..%" PRId64 " ns)", who, what_asked,
                static_cast<std::int64_t>(allowed.min_ns), static_cast<std::int64_t>(allowed.max_ns));
    else
        err.say(severity::warning, "%s%" PRIu64 " records clamped into %" PRId64 "..%" PRId64
                " ns since the last report; the last: %s", who, n, static_cast<std::int64_t>(allowed.min_ns),
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
    const drive_result r = outcome(ch.set_width(clamped_width), now);
    if (r == drive_result::ok) {
        produced = clamped_width;
        if (const char *news = ch.rounding_news())
            err.say(severity::info, "%s", news);
    }
    return r;
}

drive_result pwm_output::idle_release(bool finish, std::int64_t now)
{
    return outcome(finish ? ch.disable() : ch.end_pulses(), now);
}

// A failed write is said at once, then counted; a channel gone is said and ends it.
drive_result pwm_output::outcome(pwm_channel::status s, std::int64_t now)
{
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
        err.say(severity::warning, "%s%" PRIu64 " more records clamped into %" PRId64 "..%" PRId64 " ns", who,
                clamped.take(now), static_cast<std::int64_t>(allowed.min_ns),
                static_cast<std::int64_t>(allowed.max_ns));
    if (failures.owed(now))
        say_failure(pwm_channel::status::failed, failures.take(now));
}

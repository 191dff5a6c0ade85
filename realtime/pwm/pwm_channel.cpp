#include "pwm_channel.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "engine.h"
#include "printable_arg.h"

namespace {
std::int64_t now_ms()
{
    return monotonic_ns() / 1000000;
}

void sleep_ns(std::int64_t ns)
{
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

constexpr std::int64_t settle_poll_ns = 10000000;
constexpr std::int64_t find_poll_ns = 50000000;
} // namespace

std::string printable(const std::string &path)
{
    std::vector<char> out(4 * path.size() + 4); // every byte may become \xHH
    return printable_arg(path.c_str(), out.data(), out.size());
}

pwm_channel::pwm_channel(sysfs_files &files, const pwm_settings &settings, start_wait &pauses)
    : fs(files), cfg(settings), pause(pauses)
{
    use_chip(cfg.chip);
}

void pwm_channel::use_chip(const std::string &name)
{
    chip_name = name;
    chip_dir = cfg.sysfs + "/" + name;
    dir = chip_dir + "/pwm" + std::to_string(cfg.channel);
    export_path = chip_dir + "/export";
    unexport_path = chip_dir + "/unexport";
    period_path = dir + "/period";
    duty_path = dir + "/duty_cycle";
    enable_path = dir + "/enable";
    polarity_path = dir + "/polarity";
    shown_dir = printable(dir);
    shown_duty = printable(duty_path);
    shown_enable = printable(enable_path);
    shown_unexport = printable(unexport_path);
}

bool pwm_channel::read_number(const std::string &path, std::int64_t &value)
{
    char text[32];
    if (const int err = fs.read(path.c_str(), text, sizeof text); err != 0) {
        failed_err = err;
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0) {
        failed_err = EINVAL;
        return false;
    }
    value = v;
    return true;
}

// The chip whose device has that name: its number is not stable.
bool pwm_channel::find_by_device(std::string &why)
{
    std::string there, matches;
    int found = 0;
    std::vector<std::string> entries;
    const int listed = fs.list(cfg.sysfs.c_str(), entries);
    for (const std::string &entry : entries) {
        if (entry.rfind("pwmchip", 0) != 0)
            continue;
        const std::string device = fs.link_name((cfg.sysfs + "/" + entry + "/device").c_str());
        there += (there.empty() ? "" : ", ") + entry + (device.empty() ? "" : " (" + printable(device) + ")");
        if (!device.empty() && device == cfg.chip) {
            matches += (matches.empty() ? "" : ", ") + entry;
            if (++found == 1)
                use_chip(entry);
        }
    }
    if (found == 1)
        return true;
    const std::string name = printable(cfg.sysfs + "/" + cfg.chip);
    if (found == 0 && listed != 0)
        why = name + ": no such PWM chip, and " + printable(cfg.sysfs) + " cannot be listed: " + std::strerror(listed);
    else if (found == 0)
        why = name + ": no such PWM chip, nor a chip of a device of that name; " +
              (there.empty() ? "there is no chip" : "the chips: " + there);
    else
        why = name + ": the device of more than one chip (" + matches + "): name the chip";
    use_chip(cfg.chip);
    return false;
}

bool pwm_channel::check(std::string &why)
{
    if (!fs.is_dir(cfg.sysfs.c_str())) {
        why = printable(cfg.sysfs) + ": no such directory (is this kernel's PWM class at another path?)";
        return false;
    }
    if (!fs.is_dir((cfg.sysfs + "/" + cfg.chip).c_str())) {
        if (!find_by_device(why))
            return false;
    } else if (chip_name != cfg.chip) {
        use_chip(cfg.chip);
    }
    const std::string chip = printable(chip_dir);
    std::int64_t npwm = 0;
    if (!read_number(chip_dir + "/npwm", npwm)) {
        why = chip + "/npwm: " + std::strerror(failed_err) + " (not a PWM chip?)";
        return false;
    }
    if (cfg.channel >= npwm) {
        why = chip + ": no channel " + std::to_string(cfg.channel) + ", it has " + std::to_string(npwm) +
              " (npwm)";
        return false;
    }
    return true;
}

bool pwm_channel::find(std::int64_t until_ms, std::string &why)
{
    // A driver that udev loads may come after us: wait for it a while.
    const std::int64_t since = now_ms();
    while (!check(why)) {
        if (now_ms() >= until_ms) {
            if (now_ms() > since)
                why += "; waited " + std::to_string(now_ms() - since) + " ms for it";
            return false;
        }
        if (!pause.pause(find_poll_ns)) {
            interrupted = true;
            return false;
        }
    }
    return true;
}

int pwm_channel::put_text(const std::string &path, const char *text, std::int64_t retry_until)
{
    for (;;) {
        const int err = fs.write(path.c_str(), text);
        // Just after export, udev may not have given us the attribute yet.
        if (err != EACCES || now_ms() >= retry_until)
            return err;
        if (!pause.pause(settle_poll_ns)) {
            interrupted = true;
            return EINTR;
        }
    }
}

int pwm_channel::put(const std::string &path, std::int64_t value, std::int64_t retry_until)
{
    // As `echo VALUE > attribute` writes it. By hand: this is the frame
    // loop's one formatting, and snprintf would cost it most of its time.
    char text[24];
    char *p = text + sizeof text - 1;
    *p = '\0';
    *--p = '\n';
    std::uint64_t v = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    do {
        *--p = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (value < 0)
        *--p = '-';
    return put_text(path, p, retry_until);
}

// Enabled with our period, polarity normal and a width within range: what
// servod itself would have left running.
bool pwm_channel::runs_as_ours(const width_range &range, std::string &note)
{
    std::int64_t on = 0, period = 0, width = 0;
    char polarity[16] = "";
    if (!read_number(enable_path, on) || on != 1)
        return false; // not running: nothing to keep, nothing to say
    const bool read = read_number(period_path, period) && read_number(duty_path, width) &&
                      fs.read(polarity_path.c_str(), polarity, sizeof polarity) == 0;
    // What a chip reports is what it could make of what was asked: within
    // half a step of its divider for the period, a step of 12 bits for a width.
    const std::int64_t period_slack = cfg.period_ns / 256, width_slack = cfg.period_ns / 4096;
    const width_range near{range.min_ns - width_slack, range.max_ns + width_slack};
    char reason[160];
    if (!read)
        std::snprintf(reason, sizeof reason, "cannot read its settings (%s)", std::strerror(failed_err));
    else if (period < cfg.period_ns - period_slack || period > cfg.period_ns + period_slack)
        std::snprintf(reason, sizeof reason, "its period is %" PRId64 " ns, not %" PRId64 " ns", period,
                      cfg.period_ns);
    else if (std::strcmp(polarity, "normal") != 0)
        std::snprintf(reason, sizeof reason, "its polarity is %s, not normal", printable(polarity).c_str());
    else if (near.clamp(width) != width)
        std::snprintf(reason, sizeof reason, "its width %" PRId64 " ns is outside %" PRId64 "..%" PRId64 " ns",
                      width, range.min_ns, range.max_ns);
    else {
        duty = width;
        return true;
    }
    note = shown_dir + " was running, but " + reason + ": set up afresh";
    return false;
}

bool pwm_channel::start(std::int64_t initial_ns, const width_range &range, std::string &why,
                        std::string &note)
{
    const std::int64_t until = now_ms() + cfg.settle_ms;
    auto failed = [&](int err, const std::string &path) {
        if (interrupted) // a stop signal, said by the caller
            return false;
        failed_err = err;
        why = printable(path) + ": " + std::strerror(err);
        return false;
    };
    if (!fs.is_dir(dir.c_str())) {
        const int err = fs.write(export_path.c_str(), (std::to_string(cfg.channel) + "\n").c_str());
        if (err != 0 && err != EBUSY) // EBUSY: exported already, by someone else
            return failed(err, export_path);
        exported_here = err == 0;
        while (!fs.is_dir(dir.c_str())) {
            if (now_ms() >= until) {
                why = shown_dir + ": did not appear within " + std::to_string(cfg.settle_ms) +
                      " ms of the export";
                return false;
            }
            if (!pause.pause(settle_poll_ns)) {
                interrupted = true;
                return false;
            }
        }
    }

    if (initial_ns < 0 && runs_as_ours(range, note)) {
        enabled = kept_running = true;
        return true;
    }

    // A duty cycle above the period is refused, a fresh channel has period
    // 0, and a large duty cycle left behind refuses a smaller period: hence
    // this order. Polarity can change only while disabled.
    if (int err = put(enable_path, 0, until); err != 0)
        return failed(err, enable_path);
    enabled = false;
    char polarity[16];
    if (fs.read(polarity_path.c_str(), polarity, sizeof polarity) == 0 &&
        std::strcmp(polarity, "normal") != 0) {
        if (int err = put_text(polarity_path, "normal\n", until); err != 0)
            return failed(err, polarity_path);
    }
    if (int err = put(duty_path, 0, until); err != 0)
        return failed(err, duty_path);
    duty = 0;
    if (int err = put(period_path, cfg.period_ns, until); err != 0)
        return failed(err, period_path);
    std::int64_t made = 0;
    if (read_number(period_path, made) && made != cfg.period_ns)
        note = shown_dir + ": the chip made the period " + std::to_string(made) + " ns of " +
               std::to_string(cfg.period_ns) + " ns asked";
    if (initial_ns >= 0 && set_width(initial_ns) != status::ok) {
        why = std::string(failed_at) + ": " + std::strerror(failed_err);
        return false;
    }
    return true;
}

pwm_channel::status pwm_channel::outcome(int err, const std::string &shown_path)
{
    if (err == 0)
        return status::ok;
    failed_at = shown_path.c_str();
    failed_err = err;
    // The channel was unexported or its chip removed under us.
    return err == ENODEV || err == ENOENT ? status::gone : status::failed;
}

pwm_channel::status pwm_channel::set_width(std::int64_t ns)
{
    if (ns != duty) {
        const status s = outcome(put(duty_path, ns, 0), shown_duty);
        if (s != status::ok)
            return s;
        duty = ns;
        // The first widths are read back: a chip that rounds says so.
        std::int64_t made = 0;
        if (readbacks_left > 0 && ns != 0 && read_number(duty_path, made)) {
            --readbacks_left;
            if (made != ns) {
                std::snprintf(rounded, sizeof rounded,
                              "%s: the chip rounds widths to what it can make: %" PRId64 " ns became %" PRId64
                              " ns",
                              shown_dir.c_str(), ns, made);
                rounded_unsaid = true;
                readbacks_left = 0;
            }
        }
    }
    if (!enabled) {
        const status s = outcome(put(enable_path, 1, 0), shown_enable);
        if (s != status::ok)
            return s;
        enabled = true;
    }
    return status::ok;
}

pwm_channel::status pwm_channel::release()
{
    status s = end_pulses();
    if (s == status::ok) {
        sleep_ns(cfg.period_ns); // let the last pulse end whole
        s = disable();
    }
    if (s != status::gone && exported_here) {
        const status u = outcome(put(unexport_path, cfg.channel, 0), shown_unexport);
        if (s == status::ok)
            s = u;
    }
    return s;
}

pwm_channel::status pwm_channel::end_pulses()
{
    const status s = outcome(put(duty_path, 0, 0), shown_duty);
    if (s == status::ok)
        duty = 0;
    return s;
}

pwm_channel::status pwm_channel::disable()
{
    const status s = outcome(put(enable_path, 0, 0), shown_enable);
    if (s == status::ok)
        enabled = false;
    return s;
}

const char *pwm_channel::rounding_news()
{
    if (!rounded_unsaid)
        return nullptr;
    rounded_unsaid = false;
    return rounded;
}

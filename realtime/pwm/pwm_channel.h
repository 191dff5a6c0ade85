// One channel of the kernel's PWM class in sysfs, driven as its ABI
// document describes: pwmchipN/{npwm,export,unexport} and
// pwmchipN/pwmM/{period,duty_cycle,polarity,enable}, all times in ns.
#ifndef SERVO_PWM_CHANNEL_H
#define SERVO_PWM_CHANNEL_H

#include <cstdint>
#include <string>

#include "stop_signals.h"
#include "sysfs_files.h"

struct pwm_settings {
    std::string sysfs = "/sys/class/pwm";
    std::string chip; // "pwmchip0", or the name of its device ("1-0040")
    unsigned channel = 0;
    std::int64_t period_ns = 20000000;
    // How long a freshly exported channel may take to appear and to let
    // us write (udev applies its permissions after it appears).
    int settle_ms = 5000;
};

// The widths a servo may be given.
struct width_range {
    std::int64_t min_ns;
    std::int64_t max_ns;
    std::int64_t clamp(std::int64_t w) const { return w < min_ns ? min_ns : w > max_ns ? max_ns : w; }
};

class pwm_channel {
public:
    enum class status { ok, failed, gone };

    // Start-up waits go through pauses, so a stop signal ends them at once.
    pwm_channel(sysfs_files &files, const pwm_settings &settings, start_wait &pauses);

    // Read-only: is there such a chip, and such a channel on it? A chip
    // may be named by its device (the last part of pwmchipN/device), as
    // chip numbers change from kernel to kernel.
    bool check(std::string &why);
    // check() until it passes or until_ms (on the engine's clock) has come:
    // a board's PWM driver is often loaded late in boot.
    bool find(std::int64_t until_ms, std::string &why);
    // Exports the channel unless it is there. Without an initial width, a
    // channel that runs as we would run it (enabled, our period, polarity
    // normal, a width within range) keeps its width, so a restart does not
    // move the servo; any other is set up afresh, and note says why if it
    // was running. Afresh: disable, polarity normal, duty cycle 0, period,
    // and with initial_ns >= 0 that duty cycle and enable. Chips round the
    // period and widths to what they can make (a 12-bit one to 1/4096 of
    // the period): what it reports is compared within that, and note says
    // when the period was rounded.
    bool start(std::int64_t initial_ns, const width_range &range, std::string &why, std::string &note);
    // A stop signal cut find() or start() short: nothing more to say.
    bool stopped() const { return interrupted; }
    // Writes the duty cycle if it changed, enabling the output the first
    // time. Allocates nothing; on failure see failed_path()/failed_errno().
    status set_width(std::int64_t ns);
    // Duty cycle 0, one period for the last pulse to end, disable, and
    // unexport if we exported.
    status release();
    // The same in two steps a period apart, for a servo left idle: the
    // pulses end (duty cycle 0), then the output is disabled. The next
    // set_width() enables it again.
    status end_pulses();
    status disable();
    // Once, after set_width(): the chip rounded a width ("... became ...").
    const char *rounding_news();
    // The chip in use: as named, or the one whose device it names.
    const std::string &chip() const { return chip_name; }

    // The width on the hardware, -1 while the output is disabled.
    std::int64_t width() const { return enabled ? duty : -1; }
    bool adopted() const { return kept_running; }
    std::int64_t period() const { return cfg.period_ns; }
    // Paths as they may be shown: non-printable bytes as \xHH.
    const char *channel_path() const { return shown_dir.c_str(); }
    const char *failed_path() const { return failed_at; }
    int failed_errno() const { return failed_err; }

private:
    sysfs_files &fs;
    pwm_settings cfg;
    start_wait &pause;
    std::string chip_name;
    std::string chip_dir, dir, export_path, unexport_path;
    std::string period_path, duty_path, enable_path, polarity_path;
    std::string shown_dir, shown_duty, shown_enable, shown_unexport;
    bool exported_here = false;
    bool enabled = false;
    bool kept_running = false;
    bool interrupted = false;
    std::int64_t duty = 0;
    const char *failed_at = "";
    int failed_err = 0;
    int readbacks_left = 3; // widths read back to learn whether the chip rounds
    char rounded[160] = "";
    bool rounded_unsaid = false;

    void use_chip(const std::string &name);
    bool find_by_device(std::string &why);
    int put(const std::string &path, std::int64_t value, std::int64_t retry_until);
    int put_text(const std::string &path, const char *text, std::int64_t retry_until);
    bool read_number(const std::string &path, std::int64_t &value);
    bool runs_as_ours(const width_range &range, std::string &note);
    status outcome(int err, const std::string &shown_path);
};

// path with every non-printable byte as \xHH, for a message.
std::string printable(const std::string &path);

#endif

// One channel of the kernel's PWM class in sysfs, driven as its ABI
// document describes: pwmchipN/{npwm,export,unexport} and
// pwmchipN/pwmM/{period,duty_cycle,polarity,enable}, all times in ns.
#ifndef SERVO_PWM_CHANNEL_H
#define SERVO_PWM_CHANNEL_H

#include <cstdint>
#include <string>

#include "sysfs_files.h"

struct pwm_settings {
    std::string sysfs = "/sys/class/pwm";
    std::string chip; // "pwmchip0"
    unsigned channel = 0;
    std::int64_t period_ns = 20000000;
    // How long a freshly exported channel may take to appear and to let
    // us write (udev applies its permissions after it appears).
    int settle_ms = 5000;
};

class pwm_channel {
public:
    enum class status { ok, failed, gone };

    pwm_channel(sysfs_files &files, const pwm_settings &settings);

    // Read-only: is there such a chip, and such a channel on it?
    bool check(std::string &why);
    // Exports the channel unless it is there. A channel that is already
    // enabled with our period keeps its width when initial_ns < 0, so a
    // restart does not move the servo; otherwise: disable, duty cycle 0,
    // period, and with initial_ns >= 0 that duty cycle and enable.
    bool start(std::int64_t initial_ns, std::string &why);
    // Writes the duty cycle if it changed, enabling the output the first
    // time. Allocates nothing; on failure see failed_path()/failed_errno().
    status set_width(std::int64_t ns);
    // Duty cycle 0, one period for the last pulse to end, disable, and
    // unexport if we exported.
    status release();

    // The width on the hardware, -1 while the output is disabled.
    std::int64_t width() const { return enabled ? duty : -1; }
    bool adopted() const { return kept_running; }
    const char *channel_path() const { return dir.c_str(); }
    const char *failed_path() const { return failed_at; }
    int failed_errno() const { return failed_err; }

private:
    sysfs_files &fs;
    pwm_settings cfg;
    std::string chip_dir, dir, export_path, unexport_path;
    std::string period_path, duty_path, enable_path, polarity_path;
    bool exported_here = false;
    bool enabled = false;
    bool kept_running = false;
    std::int64_t duty = 0;
    const char *failed_at = "";
    int failed_err = 0;

    int put(const std::string &path, std::int64_t value, std::int64_t retry_until);
    int put_text(const std::string &path, const char *text, std::int64_t retry_until);
    bool read_number(const std::string &path, std::int64_t &value);
    status outcome(int err, const std::string &path);
    std::string reason(const std::string &path) const;
};

#endif

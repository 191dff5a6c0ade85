// The PWM channel driver alone, against a stand-in that keeps the kernel's
// rules: EINVAL for a duty cycle above the period, a channel directory that
// appears late, EACCES for a while after export, EBUSY on a second export,
// ENODEV once the chip is gone.
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <unistd.h>
#include <string>
#include <vector>

#include "engine.h"
#include "pwm_channel.h"

namespace {

const std::string chip = "/sys/class/pwm/pwmchip0";

class fake_pwm_class : public sysfs_files {
public:
    struct channel {
        bool exported = false;
        std::int64_t period = 0, duty = 0;
        bool enabled = false;
        std::string polarity = "normal";
        int hidden_checks = 0; // is_dir calls before it appears
    };
    int npwm = 2;
    bool chip_present = true;
    int appear_after = 0;
    int denied_writes = 0;   // EACCES for this many writes after an export
    bool rounds = false;     // as a 12-bit chip with a prescaler (PCA9685) does
    // The chips there and their devices; pwmchip0 is the one modelled.
    std::map<std::string, std::string> devices{{"pwmchip0", "1-0040"}, {"pwmchip1", "3f20c000.pwm"}};
    int unlistable = 0; // the errno of listing the class directory
    std::map<unsigned, channel> ch;
    std::vector<std::string> writes; // accepted, in order: "attr=value"

    int write(const char *path, const char *text) override
    {
        if (!chip_present)
            return ENODEV;
        const std::string p = path;
        const std::int64_t v = std::strtoll(text, nullptr, 10);
        if (p == chip + "/export") {
            channel &c = ch[static_cast<unsigned>(v)];
            if (c.exported)
                return EBUSY;
            c.exported = true;
            c.hidden_checks = appear_after;
            denied = denied_writes;
            return log("export", text);
        }
        if (p == chip + "/unexport") {
            if (!ch[static_cast<unsigned>(v)].exported)
                return EINVAL;
            ch[static_cast<unsigned>(v)] = channel{};
            return log("unexport", text);
        }
        unsigned n = 0;
        std::string attr;
        channel *c = find(p, n, attr);
        if (c == nullptr || c->hidden_checks > 0)
            return ENOENT;
        if (denied > 0) {
            --denied;
            return EACCES;
        }
        if (attr == "period") {
            if (v < c->duty)
                return EINVAL;
            // 25 MHz, 4096 counts a period, a divider of a whole number.
            c->period = rounds ? (v * 25 / 4096 / 1000 + (v * 25 / 4096 % 1000 >= 500 ? 1 : 0)) * 4096000 / 25 : v;
        } else if (attr == "duty_cycle") {
            if (v > c->period)
                return EINVAL;
            c->duty = rounds && c->period > 0 ? v * 4096 / c->period * c->period / 4096 : v;
        } else if (attr == "enable") {
            if (v == 1 && c->period == 0)
                return EINVAL;
            c->enabled = v == 1;
        } else if (attr == "polarity") {
            if (c->enabled)
                return EBUSY;
            c->polarity = std::string(text).substr(0, std::strcspn(text, "\n"));
        }
        return log(attr, text);
    }

    int read(const char *path, char *buf, std::size_t size) override
    {
        if (!chip_present)
            return ENODEV;
        std::string p = path, value;
        unsigned n = 0;
        std::string attr;
        if (p == chip + "/npwm") {
            value = std::to_string(npwm);
        } else if (channel *c = find(p, n, attr); c != nullptr && c->hidden_checks <= 0) {
            value = attr == "period"       ? std::to_string(c->period)
                    : attr == "duty_cycle" ? std::to_string(c->duty)
                    : attr == "enable"     ? std::to_string(c->enabled ? 1 : 0)
                                           : c->polarity;
        } else {
            return ENOENT;
        }
        std::snprintf(buf, size, "%s", value.c_str());
        return 0;
    }

    int list(const char *dir, std::vector<std::string> &names) override
    {
        if (std::string(dir) != "/sys/class/pwm" || unlistable)
            return unlistable ? unlistable : ENOENT;
        for (const auto &[name, device] : devices)
            names.push_back(name);
        return 0;
    }

    std::string link_name(const char *path) override
    {
        for (const auto &[name, device] : devices)
            if (std::string(path) == "/sys/class/pwm/" + name + "/device")
                return device;
        return "";
    }

    bool is_dir(const char *path) override
    {
        const std::string p = path;
        if (p == "/sys/class/pwm")
            return true;
        if (p == chip)
            return chip_present;
        for (auto &[n, c] : ch) {
            if (p == chip + "/pwm" + std::to_string(n) && c.exported && chip_present)
                return c.hidden_checks-- <= 0;
        }
        return false;
    }

private:
    int denied = 0;

    int log(const std::string &attr, std::string text)
    {
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        writes.push_back(attr + "=" + text);
        return 0;
    }

    channel *find(const std::string &p, unsigned &n, std::string &attr)
    {
        const std::string prefix = chip + "/pwm";
        if (p.compare(0, prefix.size(), prefix) != 0)
            return nullptr;
        const std::size_t slash = p.find('/', prefix.size());
        if (slash == std::string::npos)
            return nullptr;
        n = static_cast<unsigned>(std::stoul(p.substr(prefix.size(), slash - prefix.size())));
        attr = p.substr(slash + 1);
        auto it = ch.find(n);
        return it != ch.end() && it->second.exported ? &it->second : nullptr;
    }
};

// Start-up waits that sleep as asked, or report a stop after so many.
struct pauses : start_wait {
    int stop_after = -1;
    int paused = 0;
    bool pause(std::int64_t ns) override
    {
        if (stop_after >= 0 && paused >= stop_after)
            return false;
        ++paused;
        usleep(static_cast<useconds_t>(ns / 1000));
        return true;
    }
};

const width_range servo_range{1000000, 2000000};

pwm_settings settings(unsigned channel = 0)
{
    pwm_settings s;
    s.chip = "pwmchip0";
    s.channel = channel;
    s.settle_ms = 2000;
    return s;
}

using writes = std::vector<std::string>;

TEST(PwmChannel, StartsInTheOrderTheKernelAcceptsAndAdoptsOnlyWhatItWouldRun)
{
    const writes afresh{"enable=0", "duty_cycle=0", "period=20000000"};
    const struct {
        const char *what;
        bool exported, enabled;
        std::int64_t period, duty;
        const char *polarity;
        std::int64_t initial;
        writes expect;
        std::int64_t width;
        const char *note; // why a running channel was not kept
    } cases[] = {
        {"fresh, no initial width", false, false, 0, 0, "normal", -1,
         {"export=0", "enable=0", "duty_cycle=0", "period=20000000"}, -1, ""},
        {"fresh, initial width", false, false, 0, 0, "normal", 1500000,
         {"export=0", "enable=0", "duty_cycle=0", "period=20000000", "duty_cycle=1500000", "enable=1"},
         1500000, ""},
        {"left running as we run it: kept as it is", true, true, 20000000, 1300000, "normal", -1, {}, 1300000, ""},
        {"left running, but an initial width is asked for", true, true, 20000000, 1300000, "normal", 1100000,
         {"enable=0", "duty_cycle=0", "period=20000000", "duty_cycle=1100000", "enable=1"}, 1100000, ""},
        {"left disabled with our period", true, false, 20000000, 1300000, "normal", -1, afresh, -1, ""},
        {"left with a longer period and a large duty cycle", true, true, 40000000, 30000000, "normal", -1,
         afresh, -1, "its period is 40000000 ns, not 20000000 ns"},
        {"left running inversed: 19 ms pulses once enabled", true, true, 20000000, 1000000, "inversed", -1,
         {"enable=0", "polarity=normal", "duty_cycle=0", "period=20000000"}, -1,
         "its polarity is inversed, not normal"},
        {"left running beyond the range", true, true, 20000000, 2500000, "normal", -1, afresh, -1,
         "its width 2500000 ns is outside 1000000..2000000 ns"},
    };
    for (const auto &c : cases) {
        pauses waits;
        fake_pwm_class k;
        k.appear_after = 3;  // late, as after a real export
        k.denied_writes = 2; // udev still at work
        if (c.exported)
            k.ch[0] = {true, c.period, c.duty, c.enabled, c.polarity, 0};
        pwm_channel channel(k, settings(), waits);
        std::string why, note;
        ASSERT_TRUE(channel.check(why)) << why;
        ASSERT_TRUE(channel.start(c.initial, servo_range, why, note)) << c.what << ": " << why;
        EXPECT_EQ(k.writes, c.expect) << c.what;
        EXPECT_EQ(channel.width(), c.width) << c.what;
        EXPECT_EQ(channel.adopted(), c.expect.empty()) << c.what;
        EXPECT_EQ(k.ch[0].period, 20000000) << c.what;
        EXPECT_EQ(k.ch[0].polarity, "normal") << c.what;
        if (*c.note == '\0')
            EXPECT_EQ(note, "") << c.what;
        else
            EXPECT_NE(note.find(c.note), std::string::npos) << c.what << ": " << note;
    }
}

TEST(PwmChannel, AStopEndsEveryStartUpWaitAtOnce)
{
    fake_pwm_class absent, never_appears, never_writable;
    absent.chip_present = false;
    never_appears.appear_after = 1 << 30;
    never_writable.denied_writes = 1 << 30;
    for (fake_pwm_class *k : {&absent, &never_appears, &never_writable}) {
        pauses waits;
        waits.stop_after = 2;
        pwm_settings s = settings();
        s.settle_ms = 60000;
        pwm_channel channel(*k, s, waits);
        std::string why, note;
        EXPECT_FALSE(channel.find(monotonic_ns() / 1000000 + 60000, why) &&
                     channel.start(1500000, servo_range, why, note));
        EXPECT_TRUE(channel.stopped()) << why;
        EXPECT_EQ(waits.paused, 2);
        EXPECT_FALSE(k->ch[0].enabled) << "nothing enabled after the stop";
    }
}

TEST(PwmChannel, InversedPolarityIsPutRightWhileDisabled)
{
    pauses waits;
    fake_pwm_class k;
    k.ch[0] = {true, 20000000, 1000000, true, "inversed", 0};
    pwm_channel channel(k, settings(), waits);
    std::string why, note;
    ASSERT_TRUE(channel.start(1500000, servo_range, why, note)) << why;
    EXPECT_EQ(k.ch[0].polarity, "normal");
    EXPECT_TRUE(k.ch[0].enabled);
}

TEST(PwmChannel, RefusesWhatIsNotThereAndGivesUpInTime)
{
    pauses waits;
    fake_pwm_class missing_chip, small_chip, no_npwm;
    missing_chip.chip_present = false;
    small_chip.npwm = 1;
    pwm_settings gone = settings();
    gone.chip = "pwmchip3";
    const struct {
        fake_pwm_class *k;
        pwm_settings s;
        const char *why;
    } checks[] = {{&missing_chip, settings(), "/sys/class/pwm/pwmchip0: no such PWM chip"},
                  {&small_chip, settings(1), "/sys/class/pwm/pwmchip0: no channel 1, it has 1"},
                  {&no_npwm, gone, "/sys/class/pwm/pwmchip3: no such PWM chip"}};
    for (const auto &c : checks) {
        pwm_channel channel(*c.k, c.s, waits);
        std::string why;
        EXPECT_FALSE(channel.check(why));
        EXPECT_EQ(why.rfind(c.why, 0), 0u) << why;
    }

    fake_pwm_class never_appears, never_writable;
    never_appears.appear_after = 1 << 30;
    never_writable.denied_writes = 1 << 30;
    const std::pair<fake_pwm_class *, const char *> stuck[] = {
        {&never_appears, "/sys/class/pwm/pwmchip0/pwm0: did not appear within 50 ms of the export"},
        {&never_writable, "/sys/class/pwm/pwmchip0/pwm0/enable: Permission denied"}};
    for (const auto &[k, expect] : stuck) {
        pwm_settings s = settings();
        s.settle_ms = 50;
        pwm_channel channel(*k, s, waits);
        std::string why, note;
        EXPECT_FALSE(channel.start(1500000, servo_range, why, note));
        EXPECT_EQ(why, expect);
    }
}

TEST(PwmChannel, WritesOnlyChangesAndTellsAFailedWriteFromALostChannel)
{
    pauses waits;
    fake_pwm_class k;
    pwm_channel channel(k, settings(), waits);
    std::string why, note;
    ASSERT_TRUE(channel.start(-1, servo_range, why, note)) << why;
    k.writes.clear();
    using st = pwm_channel::status;
    EXPECT_EQ(channel.set_width(1500000), st::ok);
    EXPECT_EQ(channel.set_width(1500000), st::ok);
    EXPECT_EQ(channel.set_width(1600000), st::ok);
    EXPECT_EQ(k.writes, (writes{"duty_cycle=1500000", "enable=1", "duty_cycle=1600000"}));

    EXPECT_EQ(channel.set_width(30000000), st::failed) << "above the period: EINVAL";
    EXPECT_EQ(channel.failed_errno(), EINVAL);
    EXPECT_STREQ(channel.failed_path(), "/sys/class/pwm/pwmchip0/pwm0/duty_cycle");
    EXPECT_EQ(channel.width(), 1600000) << "the hardware still has the last width";
    k.chip_present = false;
    EXPECT_EQ(channel.set_width(1700000), st::gone);
}

TEST(PwmChannel, ReleaseEndsThePulsesAndUnexportsOnlyWhatItExported)
{
    for (bool raced : {false, true}) {
        pauses waits;
        fake_pwm_class k;
        if (raced) // someone else exported it just before us: EBUSY, and theirs to keep
            k.ch[0] = {true, 0, 0, false, "normal", 1};
        pwm_channel channel(k, settings(), waits);
        std::string why, note;
        ASSERT_TRUE(channel.start(1500000, servo_range, why, note)) << why;
        k.writes.clear();
        EXPECT_EQ(channel.release(), pwm_channel::status::ok);
        writes expect{"duty_cycle=0", "enable=0"};
        if (!raced)
            expect.push_back("unexport=0");
        EXPECT_EQ(k.writes, expect);
    }
}

TEST(PwmChannel, FindsAChipByItsDeviceAndSaysWhichChipsThereAre)
{
    const struct {
        const char *name;
        std::map<std::string, std::string> devices;
        const char *why; // empty: found, and it is pwmchip0
        int unlistable = 0;
    } cases[] = {
        {"1-0040", {{"pwmchip0", "1-0040"}, {"pwmchip1", "3f20c000.pwm"}}, ""},
        {"pwmchip0", {{"pwmchip0", "1-0040"}}, ""},
        {"2-0041", {{"pwmchip0", "1-0040"}, {"pwmchip1", "3f20c000.pwm"}},
         "/sys/class/pwm/2-0041: no such PWM chip, nor a chip of a device of that name; the chips: "
         "pwmchip0 (1-0040), pwmchip1 (3f20c000.pwm)"},
        {"1-0040", {{"pwmchip0", "1-0040"}, {"pwmchip1", "1-0040"}},
         "/sys/class/pwm/1-0040: the device of more than one chip (pwmchip0, pwmchip1): name the chip"},
        // A listing that failed is said, not taken for "no chip".
        {"1-0040", {{"pwmchip0", "1-0040"}},
         "/sys/class/pwm/1-0040: no such PWM chip, and /sys/class/pwm cannot be listed: Value too large for defined data type",
         EOVERFLOW},
    };
    for (const auto &c : cases) {
        pauses waits;
        fake_pwm_class k;
        k.devices = c.devices;
        k.unlistable = c.unlistable;
        pwm_settings s = settings();
        s.chip = c.name;
        pwm_channel channel(k, s, waits);
        std::string why;
        EXPECT_EQ(channel.check(why), *c.why == '\0') << c.name << ": " << why;
        EXPECT_EQ(why, c.why);
        if (*c.why == '\0') {
            EXPECT_EQ(channel.chip(), "pwmchip0");
        }
    }
}

// A 12-bit chip rounds: servod says so once, and a restart takes what the
// chip reports for what servod asked as its own.
TEST(PwmChannel, AChipThatRoundsIsToldAndAdoptedAsItReports)
{
    pauses waits;
    fake_pwm_class k;
    k.rounds = true;
    std::string why, note;
    {
        pwm_channel channel(k, settings(), waits);
        ASSERT_TRUE(channel.start(-1, servo_range, why, note)) << why;
        EXPECT_EQ(note, "/sys/class/pwm/pwmchip0/pwm0: the chip made the period 19988480 ns of 20000000 ns asked");
        EXPECT_EQ(channel.set_width(1500000), pwm_channel::status::ok);
        const char *news = channel.rounding_news();
        ASSERT_NE(news, nullptr);
        EXPECT_STREQ(news, "/sys/class/pwm/pwmchip0/pwm0: the chip rounds widths to what it can make: "
                           "1500000 ns became 1498160 ns");
        EXPECT_EQ(channel.rounding_news(), nullptr) << "said once";
        EXPECT_EQ(channel.set_width(1000000), pwm_channel::status::ok);
        EXPECT_EQ(channel.rounding_news(), nullptr);
    }
    k.writes.clear();
    note.clear();
    pwm_channel again(k, settings(), waits);
    ASSERT_TRUE(again.start(-1, servo_range, why, note)) << why;
    EXPECT_TRUE(again.adopted()) << note;
    EXPECT_EQ(k.writes, writes{}) << "a restart must not move the servo";
}

} // namespace

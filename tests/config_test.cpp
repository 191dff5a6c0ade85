// servod's configuration file: every mistake is named with its line, before
// anything is made or touched.
#include <fstream>
#include <gtest/gtest.h>

#include "servod_config.h"
#include "support.h"

namespace {

const char *const good = "frame-ms = 20   # the whole daemon\n"
                         "group = nogroup\n"
                         "[shoulder]\n"
                         "pwm = pwmchip0:0\n"
                         "command = rtf1 # its pipes\n"
                         "status = rtf2\n"
                         "min-us = 900\n"
                         "[elbow]\n"
                         "pwm = 1-0040:1\n"
                         "command = rtf3\n"
                         "status = rtf4\n"
                         "on-exit = release\n"
                         "idle-release-s = 30\n";

std::string read_back(const std::string &text, servod_settings &d)
{
    std::ofstream("servod.conf") << text;
    std::string why;
    return read_config("servod.conf", d, why) ? "" : why;
}

using Config = in_private_dir;

TEST_F(Config, ReadsOneServoASection)
{
    servod_settings d;
    ASSERT_EQ(read_back(good, d), "");
    ASSERT_EQ(d.servos.size(), 2u);
    EXPECT_EQ(d.frame_ms, 20);
    EXPECT_NE(d.group, static_cast<gid_t>(-1));
    EXPECT_EQ(d.servos[0].min_us, 900);
    EXPECT_EQ(d.servos[1].chip, "1-0040");
    EXPECT_EQ(d.servos[1].channel, 1u);
    EXPECT_TRUE(d.servos[1].release);
    EXPECT_EQ(d.servos[1].idle_release_s, 30);
    EXPECT_EQ(d.servos[1].status, "rtf4");
}

TEST_F(Config, NamesEveryMistakeWithItsLine)
{
    const std::string servo = "[s]\npwm = pwmchip0:0\ncommand = rtf1\nstatus = rtf2\n";
    const struct {
        std::string text;
        const char *why;
    } cases[] = {
        {servo + "speed = 3\n", "servod.conf:5: unknown key 'speed'"},
        {servo + "min-us = x\n", "servod.conf:5: invalid minimum width 'x' (0..1000000 us)"},
        {servo + "on-exit = drop\n", "servod.conf:5: invalid exit action 'drop' (hold or release)"},
        {servo + "pwm = pwmchip0\n", "servod.conf:5: 'pwm' given twice (line 2)"},
        {"[s]\npwm = pwmchip0:0\ncommand = rtf1\n", "servod.conf:1: [s] has no status"},
        {servo + "[s]\n", "servod.conf:5: s is a servo already (line 1)"},
        {servo + "[t]\npwm = pwmchip0:0\ncommand = rtf3\nstatus = rtf4\n",
         "servod.conf:6: pwmchip0:0 is [s]'s channel already (line 2)"},
        {servo + "[t]\npwm = pwmchip0:1\ncommand = rtf3\nstatus = rtf1\n",
         "servod.conf:8: rtf1 is [s]'s command pipe already (line 3)"},
        {"min-us = 900\n" + servo, "servod.conf:1: 'min-us' is for one servo: give it in a [NAME] section"},
        {servo + "group = nogroup\n", "servod.conf:5: 'group' is for the whole daemon: give it before the first section"},
        {servo + "max-us = 500\n", "servod.conf:1: [s]: min-us must be less than max-us"},
        {"frame-ms = 2\n" + servo, "servod.conf:2: [s]: max-us must be less than the period (frame-ms)"},
        {"group = no-such-group\n" + servo, "servod.conf:1: invalid group 'no-such-group' (no such group)"},
        {servo + "just words\n", "servod.conf:5: expected KEY = VALUE or [NAME]"},
        {"[s t]\n", "servod.conf:1: invalid section '[s t]' (a name of letters, digits, '_', '.' and '-' in brackets)"},
        {"# nothing\n", "servod.conf: no servo: add a [NAME] section with pwm, command and status"},
    };
    for (const auto &c : cases) {
        servod_settings d;
        EXPECT_EQ(read_back(c.text, d), c.why) << c.text;
    }
    // Not a file to read: refused at once, never read without end.
    for (const char *path : {"/dev/zero", "/"}) {
        servod_settings d;
        std::string why;
        EXPECT_FALSE(read_config(path, d, why));
        EXPECT_EQ(why, std::string(path) + ": not a regular file");
    }
}

} // namespace

// What the real-time side receives: exact bytes on the command pipe.
#include <climits>
#include <gtest/gtest.h>

#include "printable_arg.h"
#include "servo.h"
#include "support.h"

namespace {

struct width_case {
    int position;
    std::int64_t width;
};

const width_case width_table[] = {
    {0, 1000000},        {1, 1003906},          {128, 1500000},
    {255, 1996093},      {256, 2000000},        {300, 2171875},
    {-1, 996094},        {-5, 980469},          {-256, 0},
    {-257, -3906},       {INT_MAX, 8388608996093}, {INT_MIN, -8388607000000},
};

TEST(WidthRule, MatchesTableTruncatingTowardZero)
{
    for (const width_case &c : width_table)
        EXPECT_EQ(servo_width(c.position), c.width) << "position " << c.position;
}

TEST(PrintableArg, EscapesAllButPrintableAsciiAndCutsBetweenWholeCharacters)
{
    const struct {
        const char *text;
        std::size_t size;
        const char *shown;
    } cases[] = {{"a\x1b[2J~\x7f\xff", 64, "a\\x1b[2J~\\x7f\\xff"}, {"abcde", 6, "abcde"},
                 {"abcdef", 6, "ab..."}, {"\x01\x02", 9, "\\x01\\x02"}, {"\x01\x02", 8, "\\x01..."},
                 {"xyz", 3, ".."}, {"xyz", 1, ""}};
    for (const auto &c : cases) {
        char out[64];
        EXPECT_STREQ(printable_arg(c.text, out, c.size), c.shown) << c.size;
    }
}

TEST(Wire, SetRecordBytesAsTheRealTimeSideReadsThem)
{
    private_dir dir;
    pipe_end pipe(servo_command_device);
    for (const width_case &c : width_table) {
        { t_BaseServo servo(c.position); }
        const std::string raw = pipe.read_all();
        ASSERT_EQ(raw.size(), 28u) << "position " << c.position;
        const auto *p = reinterpret_cast<const unsigned char *>(raw.data());
        EXPECT_EQ(p[0], 'N');
        EXPECT_EQ(p[1] | p[2] | p[3], 0) << "gap bytes are zero, not stack leftovers";
        EXPECT_EQ(le64(p + 4), c.width) << "position " << c.position;
        EXPECT_EQ(le64(p + 12), 0);
        EXPECT_EQ(le64(p + 20), 0);
    }
}


TEST(Wire, TimedRecordsCarryZeroGapBytes)
{
    private_dir dir;
    pipe_end command(servo_command_device);
    pipe_end status(servo_status_device);
    t_Servo servo(0);
    servo.move(0, 255, 10);
    const std::string raw = command.read_all();
    ASSERT_EQ(raw.size(), 3 * 28u);
    for (std::size_t at = 0; at < raw.size(); at += 28)
        EXPECT_EQ(raw.substr(at + 1, 3), std::string(3, '\0')) << "record " << at / 28;
    EXPECT_EQ(raw[56], 'T');
}

} // namespace

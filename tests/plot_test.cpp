// servoplot: the round ticks.
#include <gtest/gtest.h>

#include "axis.h"

namespace {

TEST(Ticks, RoundStepsThatHoldTheData)
{
    const struct {
        std::int64_t lo, hi;             // the data
        std::int64_t axis_lo, axis_hi, step;
    } cases[] = {
        {1000000, 2000000, 1000000, 2000000, 200000},   // the servo's span, in ns
        {500000, 2500000, 500000, 2500000, 500000},     // 0.5 to 2.5 ms
        {1000000, 2171875, 1000000, 2200000, 200000},   // position 300 beyond 2 ms
        {1500000, 1500000, 500000, 2500000, 500000},    // zero-length: one width
        {0, 0, -2, 2, 1},                               // zero-length at zero
        {0, 6335, 0, 7000, 1000},                       // a single row's time, in µs
        {0, 255, 0, 300, 50},                           // positions
        {-2500000, -500000, -2500000, -500000, 500000}, // below zero, rounded outward
        {130, 1870, 0, 2000, 500},
        {0, 8388608996093, 0, 10000000000000, 2000000000000}, // servo_width(INT_MAX)
    };
    for (const auto &c : cases) {
        const round_axis a(c.lo, c.hi);
        EXPECT_EQ(a.lo, c.axis_lo) << c.lo << ".." << c.hi;
        EXPECT_EQ(a.hi, c.axis_hi) << c.lo << ".." << c.hi;
        EXPECT_EQ(a.step, c.step) << c.lo << ".." << c.hi;
        EXPECT_EQ(a.ticks.front(), a.lo);
        EXPECT_EQ(a.ticks.back(), a.hi);
        // The ends land on their pixels, both ways round, whatever the span.
        EXPECT_EQ(a.map(a.lo, 3280, 480), 3280);
        EXPECT_EQ(a.map(a.hi, 3280, 480), 480);
        EXPECT_EQ(a.map(a.hi, 780, 8220), 8220);
    }
}

TEST(Ticks, FourToEightOfOneTwoOrFiveTimesAPowerOfTen)
{
    for (const std::int64_t lo : {std::int64_t{0}, std::int64_t{-7}, std::int64_t{999999}})
        for (std::int64_t span = 3; span < 100000000000000000; span += span / 3 + 1) {
            const std::int64_t hi = lo + span;
            const round_axis a(lo, hi);
            const std::string at = std::to_string(lo) + ".." + std::to_string(hi);
            EXPECT_GE(a.ticks.size(), 4u) << at;
            EXPECT_LE(a.ticks.size(), 8u) << at;
            EXPECT_LE(a.lo, lo) << at;
            EXPECT_GE(a.hi, hi) << at;
            std::int64_t m = a.step;
            while (m % 10 == 0)
                m /= 10;
            EXPECT_TRUE(m == 1 || m == 2 || m == 5) << at << " step " << a.step;
            EXPECT_EQ(a.map(a.hi, 3280, 480), 480) << at;
        }
}

TEST(Ticks, LabelsHaveNoMoreDigitsThanTheStepNeeds)
{
    const struct {
        std::int64_t v;
        int exponent;
        const char *label;
    } cases[] = {
        {1200000, 6, "1.2"}, {1000000, 6, "1"}, {500000, 6, "0.5"},  {0, 6, "0"},
        {1000, 6, "0.001"},  {-1500000, 6, "-1.5"}, {255, 0, "255"}, {-50, 0, "-50"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(tick_label(c.v, c.exponent), c.label) << c.v;
}

} // namespace

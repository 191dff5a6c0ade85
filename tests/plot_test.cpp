// servoplot: the round ticks, the picture and the tool.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <gtest/gtest.h>

#include "axis.h"
#include "servo.h"
#include "support.h"
#include "trace_plot.h"

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
            // The ends land on their pixels, whatever the span.
            EXPECT_EQ(a.map(a.lo, 3280, 480), 3280) << at;
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

std::size_t count(const std::string &s, const std::string &what)
{
    std::size_t n = 0;
    for (auto at = s.find(what); at != std::string::npos; at = s.find(what, at + 1))
        ++n;
    return n;
}

// The height of the mark drawn just before a label: its grid line or tick.
std::string height_of(const std::string &svg, const std::string &label)
{
    const auto text = svg.find(">" + label + "</text>");
    if (text == std::string::npos)
        return "no label " + label;
    const auto y1 = svg.rfind("y1=\"", text) + 4;
    return svg.substr(y1, svg.find('"', y1) - y1);
}

const std::vector<trace_point> moves = {{0, 1000000}, {400, 1500000}, {800, 1996093}};

TEST(TracePlot, OneLineAndOneLegendEntryATrace)
{
    for (const std::size_t n : {1u, 2u, 9u}) {
        std::vector<plot_trace> traces;
        for (std::size_t i = 0; i < n; ++i)
            traces.push_back({"pan&tilt<" + std::to_string(i), moves});
        const std::string svg = render_svg(traces);
        EXPECT_EQ(count(svg, "<path"), n);
        // A legend only tells lines apart, so one line has none.
        EXPECT_EQ(count(svg, "pan&amp;tilt&lt;"), n > 1 ? n : 0) << n;
        std::set<std::string> styles;
        for (auto at = svg.find("<path"); at != std::string::npos; at = svg.find("<path", at + 1)) {
            const auto stroke = svg.find(" stroke=", at);
            styles.insert(svg.substr(stroke, svg.find(" d=", at) - stroke));
        }
        EXPECT_EQ(styles.size(), n) << "lines " << n << " look alike";
        EXPECT_EQ(count(svg, "stroke-dasharray") / 2, n > 7 ? n - 7 : 0) << n;
    }
}

TEST(TracePlot, LegendKeepsUtf8AndEscapesWhatXmlForbids)
{
    const std::pair<std::string, std::string> names[] = {
        {"h\xc3\xb6he", "h\xc3\xb6he"},           // ö
        {"\xe2\x86\x92 \xf0\x9f\xa4\x96", "\xe2\x86\x92 \xf0\x9f\xa4\x96"}, // arrow, robot
        {"a\x01\x1b[2J", "a\\x01\\x1b[2J"},         // control bytes
        {"\xff\xc3", "\\xff\\xc3"},                  // stray byte, cut sequence
        {"\xc0\xaf\xed\xa0\x80", "\\xc0\\xaf\\xed\\xa0\\x80"}, // overlong '/', surrogate
        {"\xef\xbf\xbf", "\\xef\\xbf\\xbf"},           // U+FFFF
    };
    for (const auto &[name, legend] : names) {
        const std::string svg = render_svg({{name, moves}, {"b", moves}});
        EXPECT_NE(svg.find(">" + legend + "</text>"), std::string::npos) << legend;
    }
}

TEST(TracePlot, PulsesOffLeaveAGapAndKeepTheWidthAxis)
{
    const std::string svg = render_svg({{"", {{0, 1500000}, {500, 0}, {900, 1200000}}}});
    const auto path = svg.find("<path");
    const std::string d = svg.substr(path, svg.find("/>", path) - path);
    EXPECT_EQ(std::count(d.begin(), d.end(), 'M'), 2);
    EXPECT_EQ(std::count(d.begin(), d.end(), 'V'), 0);
    EXPECT_NE(svg.find(">1 ms</text>"), std::string::npos);
    EXPECT_EQ(svg.find(">0 ms</text>"), std::string::npos);
    EXPECT_NE(svg.find("gaps: pulses off"), std::string::npos);
}

TEST(TracePlot, PositionsStandAtTheirWidthsWithin0To255)
{
    // 3.5 ms is position 640: the width axis goes there, the positions do not.
    const std::string svg = render_svg({{"", {{0, 1000000}, {10, 3500000}}}});
    ASSERT_EQ(servo_width(0), 1000000);
    EXPECT_EQ(height_of(svg, "0"), height_of(svg, "1 ms"));
    EXPECT_NE(svg.find(">3.5 ms</text>"), std::string::npos);
    EXPECT_NE(svg.find(">250</text>"), std::string::npos);
    EXPECT_EQ(svg.find(">300</text>"), std::string::npos);
}

TEST(TracePlot, AllowedBandIsShadedAndInView)
{
    const std::string plain = render_svg({{"", moves}});
    const std::string svg = render_svg({{"", moves}}, width_band{500000, 2500000});
    EXPECT_EQ(plain.find("#e8e8e8"), std::string::npos);
    const auto band = svg.find("fill=\"#e8e8e8\"");
    ASSERT_NE(band, std::string::npos);
    const auto y = svg.rfind(" y=\"", band) + 4;
    EXPECT_EQ(svg.substr(y, svg.find('"', y) - y), height_of(svg, "2.5 ms"));
    EXPECT_NE(svg.find(">0.5 ms</text>"), std::string::npos);
}

struct Servoplot : in_private_dir {};

TEST_F(Servoplot, UsageAndExitStatus)
{
    std::ofstream("a.csv") << "t_ms,width_ns\n0.000,1000000\n";
    std::ofstream("b.csv") << "t_ms,width_ns\n5.000,2000000\n";
    const struct {
        std::vector<std::string> args;
        int status;
        const char *err; // a part of stderr; "" for none at all
    } cases[] = {
        {{"--range", "3:x", "-o", "o.svg", "a.csv"}, 2, "servoplot: invalid range '3:x'"},
        {{"--range", "2000:1000", "a.csv", "o.svg"}, 2, "invalid range '2000:1000'"},
        {{"a.csv", "b.csv"}, 2, "invalid picture name 'b.csv'"},
        {{"a.csv"}, 2, "no picture named"},
        {{"-o", "o.svg"}, 2, "no trace given"},
        {{"-o", "o.svg", "a.csv", "missing.csv"}, 1, "missing.csv"},
        {{"-o", "no/such/dir.svg", "a.csv"}, 1, "servoplot: no/such/dir.svg: No such file or directory"},
        {{"-o", "a.csv", "b.csv", "a.csv"}, 2, "invalid picture name 'a.csv' (it is one of the traces)"},
        {{"-o", "o.svg", "\x1b[2J.csv"}, 1, "servoplot: \\x1b[2J.csv: No such file"},
        {{"a.csv", "o.svg"}, 0, ""},
        {{"--range", "1000:2000", "-o", "o.svg", "a.csv", "b.csv"}, 0, ""},
    };
    for (const auto &c : cases) {
        std::remove("o.svg");
        const run_result r = run(SERVOPLOT_EXE, c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.args[1];
        EXPECT_EQ(r.out, "");
        if (*c.err == '\0')
            EXPECT_EQ(r.err, "");
        else
            EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(slurp("o.svg").empty(), c.status != 0) << c.args[0] << " " << c.args[1];
    }
    // Two servos' trace.csv are told apart by their directories.
    for (const char *servo : {"pan", "tilt"}) {
        mkdir(servo, 0700);
        std::ofstream(std::string(servo) + "/trace.csv") << "t_ms,width_ns\n0.000,1000000\n";
    }
    ASSERT_EQ(run(SERVOPLOT_EXE, {"-o", "o.svg", "pan/trace.csv", "tilt/trace.csv", "a.csv"}).status, 0);
    for (const char *name : {">pan/trace.csv<", ">tilt/trace.csv<", ">a<"})
        EXPECT_NE(slurp("o.svg").find(name), std::string::npos) << name;
    const run_result help = run(SERVOPLOT_EXE, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: servoplot", 0), 0u);
}

// The README's picture is what servoplot draws of the committed trace today:
// scripts/demo.sh --doc makes both again.
TEST_F(Servoplot, CommittedDemoPictureIsDrawnAgainToTheByte)
{
    const std::string doc = SERVO_SOURCE_DIR "/doc/";
    const run_result r = run(SERVOPLOT_EXE, {doc + "demo-trace.csv", "fresh.svg"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string committed = slurp(doc + "demo.svg");
    ASSERT_FALSE(committed.empty());
    EXPECT_TRUE(slurp("fresh.svg") == committed) << "doc/demo.svg is stale: run scripts/demo.sh --doc";
}

} // namespace

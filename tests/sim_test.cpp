// The simulated real-time side: its model directly, then the process.
#include <algorithm>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <cstring>
#include <sstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "servo.h"
#include "servo_model.h"
#include "support.h"
#include "trace_plot.h"

namespace {

my_msg_struct record(char option, hrtime_t d1, hrtime_t d2 = 0, hrtime_t t = 0)
{
    my_msg_struct m{};
    m.option = option;
    m.data1 = d1;
    m.data2 = d2;
    m.time = t;
    return m;
}

int frames_to_end(servo_model &m)
{
    int n = 0;
    while (m.ramping() && n < 1000000) {
        m.tick();
        ++n;
    }
    return n;
}

TEST(ServoModel, RampsInWholeStepsAndReportsDoneOnce)
{
    const struct {
        hrtime_t from, to, inc;
        int frames;
    } cases[] = {
        {1000000, 1996093, 19921, 51}, // 50 full steps and a short last one
        {1996093, 1000000, 19921, 51},
        {1000000, 1100000, 50000, 2},  // lands exactly
        {1000000, 1000001, INT64_MAX, 1},
        {INT64_MIN, INT64_MAX, INT64_MAX, 3},
        {INT64_MAX, INT64_MIN, INT64_MAX, 3},
    };
    for (const auto &c : cases) {
        servo_model m;
        EXPECT_EQ(m.apply(record('T', c.from, c.to, c.inc)), servo_model::outcome::ramp_started);
        EXPECT_EQ(m.width(), c.from);
        EXPECT_EQ(m.frames_left(), static_cast<std::uint64_t>(c.frames));
        EXPECT_FALSE(m.take_done());
        EXPECT_EQ(frames_to_end(m), c.frames) << c.from << " -> " << c.to;
        EXPECT_EQ(m.width(), c.to);
        EXPECT_TRUE(m.take_done());
        EXPECT_FALSE(m.take_done());
    }
}

TEST(ServoModel, NonPositiveIncrementOrNoDistanceJumpsAndIsDone)
{
    for (hrtime_t inc : {hrtime_t{0}, hrtime_t{-19921}, hrtime_t{INT64_MIN}}) {
        servo_model m;
        EXPECT_EQ(m.apply(record('T', 1000000, 1996093, inc)),
                  servo_model::outcome::ramp_done_at_once);
        EXPECT_EQ(m.width(), 1996093);
        EXPECT_FALSE(m.ramping());
        EXPECT_TRUE(m.take_done());
    }
    servo_model m;
    EXPECT_EQ(m.apply(record('T', 1500000, 1500000, 7)), servo_model::outcome::ramp_done_at_once);
    EXPECT_TRUE(m.take_done());
}

TEST(ServoModel, NewerRecordReplacesRampAndUnknownChangesNothing)
{
    servo_model m;
    m.apply(record('T', 1000000, 2000000, 1000));
    m.tick();
    EXPECT_EQ(m.apply(record('Q', 5, 6, 7)), servo_model::outcome::unknown);
    EXPECT_TRUE(m.ramping());
    EXPECT_EQ(m.width(), 1001000);
    EXPECT_EQ(m.apply(record('N', 1500000, 99, 99)), servo_model::outcome::set);
    EXPECT_FALSE(m.ramping());
    EXPECT_EQ(m.width(), 1500000);
    EXPECT_FALSE(m.take_done()) << "a replaced ramp never reports done";
}

TEST(RecordSplitter, ReassemblesRecordsCutAtEveryPoint)
{
    my_msg_struct in[3] = {record('N', 1), record('T', -2, 3, 4), record('X', INT64_MIN)};
    unsigned char bytes[sizeof in];
    std::memcpy(bytes, in, sizeof in);
    for (std::size_t cut = 0; cut <= sizeof bytes; ++cut) {
        record_splitter s;
        std::vector<my_msg_struct> out;
        for (auto [from, len] : {std::pair<std::size_t, std::size_t>{0, cut}, {cut, sizeof bytes - cut}}) {
            const unsigned char *p = bytes + from;
            my_msg_struct r{};
            while (s.next(p, len, r))
                out.push_back(r);
        }
        ASSERT_EQ(out.size(), 3u) << "cut at " << cut;
        for (std::size_t i = 0; i < 3; ++i) {
            // Compared as values: the packed fields cannot bind to references.
            const bool same = out[i].option == in[i].option && out[i].data1 == in[i].data1 &&
                              out[i].data2 == in[i].data2 && out[i].time == in[i].time;
            EXPECT_TRUE(same) << "record " << i << " cut at " << cut;
        }
        EXPECT_EQ(s.pending(), 0u);
    }
}

using Servosim = in_private_dir;

TEST_F(Servosim, SetChangesWidthAndUnknownLetterIsIgnored)
{
    sim_process sim({"--frame-ms", "2", "--trace", "trace.csv"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    pipe_end status(servo_status_device);
    {
        t_BaseServo servo(128);
        // Widths closer than a frame are merged: let this one out first.
        ASSERT_TRUE(eventually([] { return read_trace("trace.csv").size() == 1; }));
        my_msg_struct bad = record('Z', 1, 2, 3);
        pipe_end cmd(servo_command_device);
        cmd.put(std::string(reinterpret_cast<const char *>(&bad), sizeof bad));
        servo.set(255);
    }
    ASSERT_TRUE(eventually([] { return read_trace("trace.csv").size() >= 2; }));
    EXPECT_EQ(sim.stop(), 0);
    const auto rows = read_trace("trace.csv");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].width, 1500000);
    EXPECT_EQ(rows[1].width, 1996093);
    EXPECT_NE(sim.err().find("unknown option 0x5a"), std::string::npos) << sim.err();
    EXPECT_EQ(status.read_all(), "") << "'N' never answers";
}

TEST_F(Servosim, TimedRecordRampsAndEndsWithDone)
{
    sim_process sim({"--frame-ms", "1", "--trace", "trace.csv"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    pipe_end status(servo_status_device);
    pipe_end cmd(servo_command_device);
    const my_msg_struct t = record('T', 1000000, 1100000, 25000);
    cmd.put(std::string(reinterpret_cast<const char *>(&t), sizeof t));
    std::string got;
    ASSERT_TRUE(eventually([&] { return (got += status.read_all()) == "D"; })) << got;
    EXPECT_EQ(sim.stop(), 0);
    const auto rows = read_trace("trace.csv");
    std::vector<std::int64_t> widths;
    widths.reserve(rows.size());
    for (const trace_row &r : rows)
        widths.push_back(r.width);
    EXPECT_EQ(widths, (std::vector<std::int64_t>{1000000, 1025000, 1050000, 1075000, 1100000}));
    for (std::size_t i = 1; i < rows.size(); ++i)
        EXPECT_GE(rows[i].t_ms, rows[i - 1].t_ms);
}

TEST_F(Servosim, RemovesWhatItMadeOnEveryCatchableStop)
{
    const std::string lock = std::string(servo_command_device) + ".lock";
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sim_process sim;
        ASSERT_TRUE(sim.ready()) << sim.err();
        EXPECT_EQ(sim.stop(sig), 0) << "signal " << sig;
        EXPECT_FALSE(is_fifo(servo_command_device)) << "signal " << sig;
        EXPECT_FALSE(is_fifo(servo_status_device));
        EXPECT_NE(access(lock.c_str(), F_OK), 0) << "the lock file goes too";
    }
}

TEST_F(Servosim, OnlyOneOfSeveralStartedAtOnceServes)
{
    std::unique_ptr<sim_process> sims[4];
    for (auto &sim : sims)
        sim = std::make_unique<sim_process>();
    bool serving[4];
    for (std::size_t i = 0; i < 4; ++i)
        serving[i] = sims[i]->ready(); // the losers have exited by now
    EXPECT_EQ(std::count(serving, serving + 4, true), 1);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(sims[i]->stop(), serving[i] ? 0 : 1);
        if (!serving[i]) {
            EXPECT_NE(sims[i]->err().find("already serving"), std::string::npos) << sims[i]->err();
        }
    }
}

// A pipe as stdout whose reader never reads (its buffer filled up front) or
// has gone away: the server must go on serving and stop when told.
TEST_F(Servosim, KeepsServingWhenItsOutputBlocksOrHasNoReader)
{
    for (bool reader_gone : {false, true}) {
        int out[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        if (!reader_gone) {
            const std::string own = "/proc/self/fd/" + std::to_string(out[1]);
            const int filler = open(own.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(filler, 0);
            while (write(filler, "x", 1) == 1) {
            }
            close(filler);
        }
        sim_process sim({"--frame-ms", "1"}, SERVOSIM_EXE, out[1]);
        close(out[1]);
        std::string shown;
        if (reader_gone) {
            char buf[256];
            ASSERT_TRUE(eventually([&] {
                const ssize_t n = read(out[0], buf, sizeof buf);
                shown.append(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
                return shown.find("servosim: commands on") != std::string::npos;
            }));
            close(out[0]);
        } else {
            // No banner gets through; the command pipe appears last.
            ASSERT_TRUE(eventually([] { return is_fifo(servo_command_device); }));
        }
        {
            t_Servo servo(0);
            // Two lines each, more than a pipe holds.
            for (int i = 0; i < 600; ++i) {
                servo.move(0, i % 256, 0);
                ASSERT_TRUE(eventually([&] { return servo.isdone_moving() == 1; })) << i;
            }
        }
        if (!reader_gone) {
            const int flags = fcntl(out[0], F_GETFL);
            fcntl(out[0], F_SETFL, flags | O_NONBLOCK);
            char buf[4096];
            while (read(out[0], buf, sizeof buf) > 0) {
            }
        }
        EXPECT_EQ(sim.stop(), 0) << sim.err();
        EXPECT_FALSE(is_fifo(servo_command_device));
        if (!reader_gone) {
            char buf[4096];
            const ssize_t n = read(out[0], buf, sizeof buf);
            const std::string rest(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
            // Once output flows again: the count first, then the lines.
            EXPECT_NE(rest.find(" lines of output dropped: nobody was reading\nservosim: SIGTERM from pid "),
                      std::string::npos)
                << rest;
            EXPECT_NE(rest.find("servosim: stopped\n"), std::string::npos) << rest;
            close(out[0]);
        }
    }
}

TEST_F(Servosim, RefusesBadUsageShowingArgumentsSafely)
{
    const struct {
        std::vector<std::string> args;
        const char *err;
    } cases[] = {
        {{"--frame-ms", "\x1b[2J"}, "servosim: invalid frame length '\\x1b[2J' (1..10000 ms)\n"},
        {{"--frame-ms", "0"}, "servosim: invalid frame length '0' (1..10000 ms)\n"},
        {{"--bogus\x07"}, "servosim: unknown option '--bogus\\x07'\n"},
        {{"--trace"}, "servosim: option '--trace' needs a value\n"},
        {{"extra"}, "servosim: unexpected argument 'extra'\n"},
    };
    for (const auto &c : cases) {
        const run_result r = run(SERVOSIM_EXE, c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), c.err);
        EXPECT_FALSE(is_fifo(servo_command_device));
    }
}

TEST_F(Servosim, KeepsPipesItDidNotMake)
{
    pipe_end cmd(servo_command_device);
    pipe_end status(servo_status_device);
    {
        sim_process sim;
        ASSERT_TRUE(sim.ready());
        EXPECT_EQ(sim.stop(), 0);
    }
    EXPECT_TRUE(is_fifo(servo_command_device));
    EXPECT_TRUE(is_fifo(servo_status_device));
}


TEST(TracePlot, ReadsTracesAndRefusesAnythingElse)
{
    const struct {
        const char *text;
        bool ok;
        std::size_t points;
    } cases[] = {
        {"t_ms,width_ns\n0.5,1000000\n20.25,1019921\n", true, 2},
        {"t_ms,width_ns\n", true, 0},
        {"time,width\n1,2\n", false, 0},
        {"t_ms,width_ns\n1.0;1000000\n", false, 0},
        {"t_ms,width_ns\n1.0,10x\n", false, 0},
        {"t_ms,width_ns\nnan,1000000\n", false, 0},
        {"", false, 0},
    };
    for (const auto &c : cases) {
        std::istringstream in(c.text);
        std::vector<trace_point> points;
        std::string why;
        EXPECT_EQ(parse_trace(in, points, why), c.ok) << c.text;
        if (c.ok)
            EXPECT_EQ(points.size(), c.points);
        else
            EXPECT_FALSE(why.empty());
    }
}

TEST(TracePlot, DrawsEveryChangeAsAStep)
{
    const std::string svg = render_svg({{0, 1000000}, {10, 1500000}, {30, 1996093}});
    EXPECT_EQ(svg.rfind("<svg ", 0), 0u);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
    const auto line = svg.find("<polyline");
    ASSERT_NE(line, std::string::npos);
    const std::string pts = svg.substr(line, svg.find("/>", line) - line);
    // Two vertices a change, one to close the last step.
    EXPECT_EQ(std::count(pts.begin(), pts.end(), ','), 7);
    EXPECT_NE(svg.find("3 width changes"), std::string::npos);
    EXPECT_EQ(render_svg({}).find("<polyline"), std::string::npos);
}

} // namespace

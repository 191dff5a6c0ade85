// The simulated real-time side: its model directly, then the process.
#include <algorithm>
#include <atomic>
#include <thread>
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
#include "record_framer.h"
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

std::string bytes_of(const my_msg_struct &m)
{
    unsigned char b[sizeof m] = {}; // the gap as the library sends it: zeros
    b[0] = static_cast<unsigned char>(m.option);
    std::memcpy(b + 4, &m.data1, 8);
    std::memcpy(b + 12, &m.data2, 8);
    std::memcpy(b + 20, &m.time, 8);
    return std::string(reinterpret_cast<const char *>(b), sizeof b);
}

// What the framer makes of reads: records as "option:data1", and the bytes dropped.
std::pair<std::vector<std::string>, std::uint64_t> frame(record_framer &f,
                                                         const std::vector<std::pair<std::string, bool>> &reads)
{
    std::vector<std::string> got;
    for (const auto &[bytes, drained] : reads) {
        f.load(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), drained);
        my_msg_struct r{};
        while (f.next(r))
            got.push_back(std::string(1, r.option) + ":" + std::to_string(r.data1));
    }
    return {got, f.take_dropped()};
}

TEST(RecordFramer, ReassemblesRecordsCutAtEveryPoint)
{
    const std::string all = bytes_of(record('N', 1000000)) + bytes_of(record('T', -2, 3, 4)) +
                            bytes_of(record('X', INT64_MIN));
    for (std::size_t cut = 0; cut <= all.size(); ++cut) {
        record_framer f;
        // The first read filled the buffer: the rest of a write is still to come.
        const auto [got, dropped] = frame(f, {{all.substr(0, cut), false}, {all.substr(cut), true}});
        EXPECT_EQ(got, (std::vector<std::string>{"N:1000000", "T:-2", "X:" + std::to_string(INT64_MIN)}))
            << "cut at " << cut;
        EXPECT_EQ(dropped, 0u);
        EXPECT_EQ(f.held(), 0u);
    }
}

TEST(RecordFramer, StrayBytesNeverMakeAWidthNorShiftTheRecordsAfter)
{
    const std::string n128 = bytes_of(record('N', 1500000)), n0 = bytes_of(record('N', 1000000));
    const std::string torn = bytes_of(record('T', 1200000, 1300000, 100)).substr(0, 8);
    const struct {
        const char *what;
        std::vector<std::pair<std::string, bool>> reads;
        std::vector<std::string> records;
        std::uint64_t dropped;
    } cases[] = {
        {"echo N, read alone", {{n128, true}, {"N\n", true}, {n0, true}}, {"N:1500000", "N:1000000"}, 2},
        {"echo N and a record in one read", {{"N\n" + n0, true}}, {"N:1000000"}, 2},
        {"echo 128, then records", {{"128\n", true}, {n0 + n128, true}}, {"N:1000000", "N:1500000"}, 4},
        {"a record, then echo N, in one read", {{n128 + "N\n", true}, {n0, true}}, {"N:1500000", "N:1000000"}, 2},
        {"text as long as a record", {{std::string(27, 'N') + "\n", true}, {n0, true}}, {"N:1000000"}, 28},
        {"a torn record, then a whole one", {{torn + n0, true}}, {"N:1000000"}, 8},
        {"a torn record left in the pipe", {{n128 + torn, false}, {n0, true}}, {"N:1500000", "N:1000000"}, 8},
        {"zeros: no record of letter 0 unless a whole write", {{std::string(56, '\0'), true}, {n0, true}},
         {"N:1000000"}, 56},
        {"zeros left of a torn write, then a record", {{std::string(4, '\0') + n0, true}}, {"N:1000000"}, 4},
        {"records of unknown letters, each a write", {{std::string(1, 'Z') + std::string(27, '\0'), true},
                                                      {std::string(1, 'Q') + std::string(27, '\0') + n0, true}},
         {"Z:0", "Q:0", "N:1000000"}, 0},
    };
    for (const auto &c : cases) {
        record_framer f;
        const auto [got, dropped] = frame(f, c.reads);
        EXPECT_EQ(got, c.records) << c.what;
        EXPECT_EQ(dropped, c.dropped) << c.what;
    }
    // A write larger than a pipe keeps whole can be torn anywhere, and a
    // record written meanwhile lands in the gap.
    const std::string ramps[] = {bytes_of(record('T', 1000000, 1996093, 19921)), n128,
                                 bytes_of(record('T', 1996093, 1000000, 0))};
    for (const std::string &first : ramps) {
        for (const std::string &second : ramps) {
            for (std::size_t k = 1; k < first.size(); ++k) {
                record_framer f;
                const auto [got, dropped] = frame(f, {{first.substr(0, k) + second, true}});
                EXPECT_EQ(got, (std::vector<std::string>{std::string(1, second[0]) + ":" +
                                                         std::to_string(le64(reinterpret_cast<const unsigned char *>(second.data()) + 4))}))
                    << "torn after " << k << " bytes of " << first[0] << ", then " << second[0];
                EXPECT_EQ(dropped, k);
            }
        }
    }
    // Huge positions still make records: their widths are the rule's own.
    record_framer f;
    EXPECT_EQ(frame(f, {{bytes_of(record('N', servo_width(INT_MAX))) +
                             bytes_of(record('T', servo_width(INT_MIN), servo_width(INT_MAX), 0)), true}}).first,
              (std::vector<std::string>{"N:" + std::to_string(servo_width(INT_MAX)),
                                        "T:" + std::to_string(servo_width(INT_MIN))}));
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
        cmd.put(bytes_of(bad));
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
    cmd.put(bytes_of(record('T', 1000000, 1100000, 25000)));
    std::string got;
    ASSERT_TRUE(eventually([&] { return (got += status.read_all()) == "D"; })) << got;
    EXPECT_EQ(sim.stop(), 0);
    const auto rows = read_trace("trace.csv");
    EXPECT_EQ(trace_widths("trace.csv"), (std::vector<std::int64_t>{1000000, 1025000, 1050000, 1075000, 1100000}));
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
            EXPECT_EQ(sims[i]->out(), "") << "it never started, so it never stopped";
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
        {{"-xy"}, "servosim: unknown option '-x'\n"},
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

// What a killed server leaves: its pipes, half-made ones, its lock file.
// The next one replaces them all and leaves nothing, so that a client with
// no server running is told so instead of writing into a pipe nobody reads.
TEST_F(Servosim, ReplacesWhatAKilledServerLeftAndLeavesNothing)
{
    const std::string cmd = servo_command_device, status = servo_status_device;
    const std::string left[] = {cmd, status, cmd + ".new-123", status + ".new-4567"};
    for (const std::string &p : left)
        ASSERT_EQ(mkfifo(p.c_str(), 0600), 0) << p;
    close(open((cmd + ".lock").c_str(), O_CREAT | O_WRONLY, 0600));
    struct stat old_cmd {};
    ASSERT_EQ(stat(servo_command_device, &old_cmd), 0);
    {
        sim_process sim({"--trace", "trace.csv"});
        ASSERT_TRUE(sim.ready()) << sim.err();
        struct stat now_cmd {};
        ASSERT_EQ(stat(servo_command_device, &now_cmd), 0);
        EXPECT_NE(now_cmd.st_ino, old_cmd.st_ino) << "the leftover pipe was trusted";
        for (const std::string &p : {left[2], left[3]})
            EXPECT_NE(access(p.c_str(), F_OK), 0) << p;
        t_BaseServo servo(128);
        ASSERT_TRUE(eventually([] { return read_trace("trace.csv").size() == 1; }));
        EXPECT_EQ(sim.stop(), 0);
    }
    for (const std::string &p : {cmd, status, cmd + ".lock"})
        EXPECT_NE(access(p.c_str(), F_OK), 0) << p;
    t_BaseServo late(0);
    EXPECT_EQ(late.get_error(), ENOENT) << "no server, no pipe";
}

// A stall (the server stopped, a starved CPU) never turns a ramp into a
// jump: one width a frame after it as before, one increment at a time.
TEST_F(Servosim, AStallNeverTurnsARampIntoAJump)
{
    constexpr int frame_ms = 10;
    sim_process sim({"--frame-ms", std::to_string(frame_ms), "--trace", "trace.csv"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    pipe_end status(servo_status_device);
    pipe_end cmd(servo_command_device);
    cmd.put(bytes_of(record('T', 1000000, 1500000, 10000))); // 50 frames
    ASSERT_TRUE(eventually([] { return read_trace("trace.csv").size() >= 5; }));
    ASSERT_TRUE(sim.pause());
    usleep(300000); // the stall: 30 frames missed
    kill(sim.pid(), SIGCONT);
    std::string got;
    ASSERT_TRUE(eventually([&] { return (got += status.read_all()) == "D"; })) << got;
    const auto rows = read_trace("trace.csv");
    ASSERT_EQ(rows.size(), 51u);
    for (std::size_t i = 1; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].width - rows[i - 1].width, 10000) << "row " << i;
        EXPECT_GE(rows[i].t_ms - rows[i - 1].t_ms, frame_ms / 2.0) << "row " << i << " came in a burst";
    }
}

// A client flooding the command pipe holds up neither the frames of a ramp,
// nor a well-behaved client, nor a stop; and its junk is reported in a few
// lines, not one a record.
TEST_F(Servosim, AFloodHoldsUpNeitherTheFramesNorAStop)
{
    sim_process sim({"--frame-ms", "10", "--trace", "trace.csv"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    std::string junk;
    for (int i = 0; i < 146; ++i) // 4088 bytes: each write arrives whole
        junk += bytes_of(record('Q', i));
    std::atomic<bool> flooding{true};
    std::atomic<long> writes{0};
    // Once the server is gone its writes fail with EPIPE, which must not kill us.
    const auto old_pipe = std::signal(SIGPIPE, SIG_IGN);
    std::thread flood([&] {
        const int fd = open(servo_command_device, O_WRONLY | O_CLOEXEC);
        while (flooding)
            if (write(fd, junk.data(), junk.size()) > 0)
                ++writes;
        close(fd);
    });
    ASSERT_TRUE(eventually([&] { return writes > 100; }));
    {
        t_Servo servo(0);
        servo.move(0, 64, 1); // 1000000 -> 1250000 by 50000: 5 frames
        EXPECT_EQ(servo.wait_done(5000), 1) << "a record of a well-behaved client was held up";
    }
    EXPECT_EQ(sim.stop_within(SIGTERM, 5000), 0) << "the stop waited for the flood";
    flooding = false;
    flood.join();
    std::signal(SIGPIPE, old_pipe);
    const auto rows = read_trace("trace.csv");
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.back().width, 1250000);
    const std::string err = sim.err();
    EXPECT_LT(std::count(err.begin(), err.end(), '\n'), 20) << err.substr(0, 2000);
    EXPECT_NE(err.find("bytes dropped: not whole records"), std::string::npos) << err.substr(0, 2000);
}

// A write larger than a pipe keeps whole is torn where the pipe was full,
// and a record of another client lands in the gap: the pipe then holds the
// first part of a record, a whole one, and the rest. Only the whole one may
// move the servo.
TEST_F(Servosim, ARecordTornByAnotherNeverMakesAWidth)
{
    sim_process sim({"--frame-ms", "1", "--trace", "trace.csv"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    pipe_end cmd(servo_command_device);
    const std::string torn = bytes_of(record('T', 1996093, 1000000, 19921));
    const std::int64_t widths[] = {1500000, 1250000};
    std::size_t rows = 0;
    for (std::size_t k : {4, 8, 12, 16, 20, 24}) {
        const std::int64_t w = widths[k / 4 % 2];
        cmd.put(torn.substr(0, k));
        cmd.put(bytes_of(record('N', w)));
        cmd.put(torn.substr(k));
        ASSERT_TRUE(eventually([&] { return read_trace("trace.csv").size() == rows + 1; })) << "torn at " << k;
        ++rows;
        EXPECT_EQ(read_trace("trace.csv").back().width, w) << "torn at " << k;
    }
    t_BaseServo(0).get_error(); // a last record shows that nothing else was pending
    ASSERT_TRUE(eventually([&] { return read_trace("trace.csv").size() == rows + 1; }));
    EXPECT_EQ(read_trace("trace.csv").back().width, 1000000);
    EXPECT_EQ(sim.stop(), 0);
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
        {"t_ms,width_ns\n1.0,99999999999999999999\n", false, 0}, // beyond long long
        {"t_ms,width_ns\n1.0,-200000000000000000\n", false, 0},
        {"t_ms,width_ns\n1e13,1000000\n", false, 0},
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
    const std::string svg = render_svg({{"", {{0, 1000000}, {10, 1500000}, {30, 1996093}}}});
    EXPECT_EQ(svg.rfind("<svg ", 0), 0u);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
    const auto line = svg.find("<path");
    ASSERT_NE(line, std::string::npos);
    const std::string d = svg.substr(line, svg.find("/>", line) - line);
    // One start, a run and a rise a change, one run to close the last step.
    EXPECT_EQ(std::count(d.begin(), d.end(), 'M'), 1);
    EXPECT_EQ(std::count(d.begin(), d.end(), 'V'), 2);
    EXPECT_EQ(std::count(d.begin(), d.end(), 'H'), 3);
    EXPECT_NE(svg.find("3 width changes"), std::string::npos);
    EXPECT_EQ(render_svg({{"", {}}}).find("<path"), std::string::npos);
}

} // namespace

// setServo and servo-sweep run as a user runs them, faults included.
#include <atomic>
#include <csignal>
#include <map>
#include <thread>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include "servo.h"
#include "support.h"

namespace {

class SetServo : public ::testing::Test {
protected:
    private_dir dir;
    run_result tool(const std::vector<std::string> &args) { return run(SETSERVO_EXE, args); }
};

TEST_F(SetServo, ValidPositionSendsOneRecordSilently)
{
    pipe_end pipe(servo_command_device);
    const struct {
        const char *arg;
        std::int64_t width;
    } cases[] = {{"128", 1500000},          {"0", 1000000},        {"255", 1996093},
                 {"300", 2171875},          {"-5", 980469},        {"-1", 996094},
                 {"  42", 1164062},         {"+7", 1027343},       {"007", 1027343},
                 {"2147483647", 8388608996093}, {"-2147483648", -8388607000000}};
    for (const auto &c : cases) {
        const run_result r = tool({c.arg});
        EXPECT_EQ(r.status, 0) << c.arg;
        EXPECT_EQ(r.out, "") << c.arg;
        EXPECT_EQ(r.err, "") << c.arg;
        const auto recs = pipe.records();
        ASSERT_EQ(recs.size(), 1u) << c.arg;
        EXPECT_EQ(recs[0].option, 'N');
        EXPECT_EQ(recs[0].data1, c.width) << c.arg;
        EXPECT_EQ(recs[0].data2, 0);
        EXPECT_EQ(recs[0].time, 0);
    }
}

TEST_F(SetServo, InvalidPositionIsRefusedBeforeTheDeviceIsTouched)
{
    const char *bad[] = {"abc", "12x", "", " ", "1e3", "0x10", "+", "-", "--5", "+-5", "12 ",
                         "1 2", "2147483648", "-2147483649", "99999999999999999999", "\t",
                         "\x1b[2J", "-x", "--\2332J", "\xc3\xa9\x7f"};
    // Bytes that could drive the terminal are echoed escaped.
    const std::map<std::string, std::string> shown = {
        {"\t", "\\x09"}, {"\x1b[2J", "\\x1b[2J"}, {"--\2332J", "--\\x9b2J"},
        {"\xc3\xa9\x7f", "\\xc3\\xa9\\x7f"}};
    for (const char *arg : bad) {
        // No device at all: a usage error must come first, not a device error.
        const run_result r = tool({arg});
        EXPECT_EQ(r.status, 2) << arg;
        const auto escaped = shown.find(arg);
        EXPECT_EQ(r.err, std::string("setServo: invalid position '") +
                             (escaped == shown.end() ? arg : escaped->second) + "'\n");
        EXPECT_EQ(r.out, "");
    }
    pipe_end pipe(servo_command_device);
    for (const char *arg : bad) {
        EXPECT_EQ(tool({arg}).status, 2) << arg;
        EXPECT_EQ(pipe.read_all(), "") << arg << " must send nothing";
    }
}

TEST_F(SetServo, WrongArgumentCountPrintsUsage)
{
    pipe_end pipe(servo_command_device);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{}, {"1", "2"}, {"1", "2", "3"}, {"--help", "1"}}) {
        const run_result r = tool(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "usage: setServo [-d PATH] POSITION\n");
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(pipe.read_all(), "");
}

TEST_F(SetServo, HelpGoesToStdoutAndSucceeds)
{
    for (const char *flag : {"-h", "--help"}) {
        const run_result r = tool({flag});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("usage: setServo [-d PATH] POSITION\n", 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(SetServo, MissingDeviceFailsWithReasonAndHint)
{
    const run_result r = tool({"128"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("setServo: ") + servo_command_device +
                         ": No such file or directory (is the real-time servo module or servosim "
                         "running?)\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(SetServo, DeviceOptionSendsToThatPipeOnly)
{
    pipe_end usual(servo_command_device);
    pipe_end other("other");
    const struct {
        std::vector<std::string> args;
        std::int64_t width;
    } cases[] = {{{"-d", "other", "-5"}, 980469}, {{"--device=other", "128"}, 1500000}};
    for (const auto &c : cases) {
        const run_result r = tool(c.args);
        EXPECT_EQ(r.status, 0) << c.args[0] << " " << r.err;
        const auto recs = other.records();
        ASSERT_EQ(recs.size(), 1u) << c.args[0];
        EXPECT_EQ(recs[0].data1, c.width) << c.args[0];
    }
    EXPECT_EQ(usual.read_all(), "");
}

TEST_F(SetServo, DeviceOptionFailuresNameTheGivenPathEscaped)
{
    pipe_end usual(servo_command_device);
    const std::string needs = "setServo: -d, --device needs a PATH\nusage: setServo [-d PATH] POSITION\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"-d"}, 2, needs},
        {{"--device=", "128"}, 2, needs}, // an unset shell variable
        {{"-d", "gone\x1b[2J", "128"}, 1,
         "setServo: gone\\x1b[2J: No such file or directory (is the real-time servo module or "
         "servosim running?)\n"},
    };
    for (const auto &c : cases) {
        const run_result r = tool(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(usual.read_all(), "") << "no fallback to the build-time device";
}

TEST_F(SetServo, MovesTheSimulatedServo)
{
    sim_process sim({"--frame-ms", "2", "--trace", "trace.csv"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    std::size_t seen = 0;
    for (const char *arg : {"128", "255", "-5"}) {
        ASSERT_EQ(tool({arg}).status, 0);
        // Widths closer than a frame are merged: wait for each to go out.
        ASSERT_TRUE(eventually([&] { return read_trace("trace.csv").size() == seen + 1; }));
        ++seen;
    }
    EXPECT_EQ(sim.stop(), 0);
    const auto rows = read_trace("trace.csv");
    EXPECT_EQ(rows[0].width, 1500000);
    EXPECT_EQ(rows[1].width, 1996093);
    EXPECT_EQ(rows[2].width, 980469);
    EXPECT_NE(sim.out().find("N  set   pos   128.0"), std::string::npos) << sim.out();
}


using Sweep = in_private_dir;

TEST_F(Sweep, RampsThereAndBackWaitingForEachDone)
{
    sim_process sim({"--frame-ms", "1", "--trace", "trace.csv"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    const run_result r = run(SWEEP_EXE, {"10", "200", "3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sim.stop(), 0);
    const auto rows = read_trace("trace.csv");
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows.back().width, servo_width(10));
    std::size_t dones = 0;
    for (std::size_t at = 0; (at = sim.out().find("D  done", at)) != std::string::npos; ++at)
        ++dones;
    EXPECT_EQ(dones, 2u);
}

TEST_F(Sweep, UsesTheDevicesItIsGiven)
{
    pipe_end usual(servo_command_device);
    pipe_end command("cmd2");
    pipe_end status("st2");
    // servosim serves only the build-time pipes: the test answers each ramp itself.
    std::vector<wire_record> seen;
    std::atomic<bool> over{false};
    std::thread real_time([&] {
        while (!over) {
            for (const wire_record &r : command.records()) {
                seen.push_back(r);
                if (r.option == 'T')
                    status.put("D");
            }
            usleep(1000);
        }
    });
    const run_result r = run(SWEEP_EXE, {"--device", "cmd2", "--status-device", "st2",
                                         "--timeout-ms", "5000", "10", "200", "3"});
    over = true;
    real_time.join();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(seen.size(), 4u) << "two position-0 records, then the ramp there and back";
    EXPECT_EQ(seen[2].option, 'T');
    EXPECT_EQ(seen[2].data2, servo_width(200));
    EXPECT_EQ(seen[3].data2, servo_width(10));
    EXPECT_EQ(status.read_all(), "") << "both notices taken from st2";
    EXPECT_EQ(usual.read_all(), "");
}

TEST_F(Sweep, ReportsAServoItCannotReach)
{
    const run_result r = run(SWEEP_EXE, {"0", "255", "10"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("servo-sweep: cannot reach the servo: No such file or directory"),
              std::string::npos)
        << r.err;
}

TEST_F(Sweep, BoundedWaitReportsASimulatorKilledMidRamp)
{
    sim_process sim({"--frame-ms", "5", "--trace", "trace.csv"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    // 1992 ns a frame: about 500 frames, so the kill lands mid-ramp.
    sim_process sweep({"--timeout-ms", "1000", "0", "255", "1000"}, SWEEP_EXE);
    ASSERT_TRUE(eventually([] { return read_trace("trace.csv").size() >= 3; }));
    EXPECT_EQ(sim.stop(9), 128 + 9);
    EXPECT_EQ(sweep.wait_exit(), 1);
    EXPECT_NE(sweep.err().find("servo-sweep: no done notice for the move 0 -> 255 within 1000 ms"),
              std::string::npos)
        << sweep.err();
}

TEST_F(Sweep, RefusesBadUsageEchoingArgumentsEscaped)
{
    const std::string usage =
        "usage: servo-sweep [--device PATH] [--status-device PATH] [--timeout-ms MS] FROM TO DURATION\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out, err; // err: the start of it
    } cases[] = {
        {{"0", "\x1b[2J", "3"}, 2, "", "servo-sweep: invalid end position '\\x1b[2J'\n"},
        {{"--timeout-ms", "\x1b]0;x\x07", "0", "1", "3"}, 2, "", "servo-sweep: invalid timeout '\\x1b]0;x\\x07'\n"},
        {{"5\r", "1", "3"}, 2, "", "servo-sweep: invalid start position '5\\x0d'\n"},
        {{"--timeout-ms"}, 2, "", usage},
        {{"--help", "0", "1", "3"}, 2, "", usage},
        {{"--bogus", "0", "1", "3"}, 2, "", usage},
        {{"--status-device", "", "0", "1", "3"}, 2, "", "servo-sweep: invalid status device ''\n"},
        {{"--device", "gone\x1b", "--status-device", "st", "0", "1", "3"}, 1, "",
         "servo-sweep: cannot reach the servo: No such file or directory (devices gone\\x1b, st)\n"},
        {{"-h"}, 0, usage, ""},
        // Past the options: a negative position is an operand, not an option.
        {{"--timeout-ms", "50", "-5", "10", "3"}, 1, "", "servo-sweep: cannot reach the servo"},
    };
    for (const auto &c : cases) {
        const run_result r = run(SWEEP_EXE, c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0] << " " << r.err;
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    }
}

TEST_F(Sweep, DrainsEveryStaleNoticeThenWaitsForItsOwn)
{
    sim_process sim({"--frame-ms", "1"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    pipe_end status(servo_status_device);
    // 20000000 jumps at once (increment 0), and its default timeout is beyond
    // INT_MAX ms: on a 32-bit long, 200L * duration overflowed.
    for (const char *duration : {"3", "20000000"}) {
        status.put(std::string(1000, 'D'));
        const run_result r = run(SWEEP_EXE, {"10", "200", duration});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(status.read_all(), "") << "every stale notice drained, and both of its own taken";
    }
    // servosim shows every 'D' it sends, once it has sent it: the last line
    // may come after servo-sweep is done.
    const auto notices = [&] {
        std::size_t n = 0;
        const std::string out = sim.out();
        for (std::size_t at = 0; (at = out.find("D  done", at)) != std::string::npos; ++at)
            ++n;
        return n;
    };
    eventually([&] { return notices() >= 4; });
    EXPECT_EQ(notices(), 4u) << sim.out();
}


using ToolFaults = in_private_dir;

TEST_F(ToolFaults, RegularFileAtTheDevicePathIsRefused)
{
    const int fd = open(servo_command_device, O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
    const run_result r = run(SETSERVO_EXE, {"128"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("setServo: ") + servo_command_device +
                         ": No such device (not a FIFO or character device)\n");
    EXPECT_EQ(slurp(servo_command_device), "") << "no record vanishes into a file";
}

TEST_F(ToolFaults, DeviceWithoutWritePermissionFails)
{
    pipe_end pipe(servo_command_device);
    ASSERT_EQ(chmod(servo_command_device, 0444), 0);
    run_result r;
    if (geteuid() == 0) {
        // Root ignores modes: run as nobody, who may enter the directory only.
        ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        if (access("/usr/bin/setpriv", X_OK) != 0)
            GTEST_SKIP() << "setpriv is not installed";
        r = run(copy_for_anyone(SETSERVO_EXE), {"128"},
                {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        if (r.err.find("setpriv:") != std::string::npos || r.status == 126 || r.status == 127)
            GTEST_SKIP() << "cannot run as nobody here: " << r.err;
    } else {
        r = run(SETSERVO_EXE, {"128"});
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("setServo: ") + servo_command_device + ": Permission denied\n");
    EXPECT_EQ(pipe.read_all(), "");
}

TEST_F(ToolFaults, KilledWhileBlockedInWriteLeavesNoTornRecord)
{
    pipe_end pipe(servo_command_device);
    const std::size_t filled = pipe.fill();
    for (int sig : {SIGINT, SIGTERM}) {
        sim_process tool({"128"}, SETSERVO_EXE);
        usleep(50000); // let it reach the blocked write; the check holds either way
        EXPECT_EQ(tool.stop(sig), 128 + sig);
    }
    const std::string got = pipe.read_all();
    EXPECT_EQ(got.size(), filled) << "nothing reported as sent, nothing torn";
}

TEST_F(ToolFaults, SweepWithoutStatusDeviceFails)
{
    pipe_end command(servo_command_device);
    const run_result r = run(SWEEP_EXE, {"0", "255", "10"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot reach the servo: No such file or directory"), std::string::npos)
        << r.err;
    EXPECT_EQ(command.records().size(), 2u) << "only the two start-up records went out";
}

} // namespace

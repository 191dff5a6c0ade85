#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <gtest/gtest.h>
#include <iterator>
#include <pthread.h>
#include <thread>
#include <type_traits>
#include <unistd.h>

#include "close_counter.h"
#include "servo.h"
#include "support.h"

namespace {

static_assert(std::is_base_of_v<t_BaseServo, t_Servo>, "t_Servo is a t_BaseServo");
static_assert(sizeof(t_Servo) == sizeof(t_BaseServo), "t_Servo adds no fields");
static_assert(!std::is_copy_constructible_v<t_Servo>, "one owner per handle");

struct peek_timed : t_Servo {
    using t_Servo::t_Servo;
    int command_fd() const { return rtf1; }
    int status_fd() const { return rtf2; }
    hrtime_t increment() const { return my_time; }
};

class TimedServo : public ::testing::Test {
protected:
    private_dir dir;
    pipe_end command{servo_command_device};
    pipe_end status{servo_status_device};
};

TEST_F(TimedServo, ConstructionSendsTwoPositionZeroRecordsWhateverInitvalue)
{
    for (int init : {0, 200, -7}) {
        peek_timed servo(init);
        const auto recs = command.records();
        ASSERT_EQ(recs.size(), 2u);
        for (const wire_record &r : recs) {
            EXPECT_EQ(r.option, 'N');
            EXPECT_EQ(r.data1, 1000000);
            EXPECT_EQ(r.data2, 0);
            EXPECT_EQ(r.time, 0);
        }
        EXPECT_EQ(servo.get_pos(), 0);
        EXPECT_EQ(servo.get_stepwidth(), 3);
        EXPECT_EQ(servo.get_error(), 0);
        EXPECT_GE(servo.status_fd(), 0);
    }
}

struct move_case {
    int start, end, time;
    std::int64_t data1, data2, increment;
};

TEST_F(TimedServo, MoveSendsOneTimedRecordWithSeparatelyTruncatedIncrement)
{
    const move_case cases[] = {
        {0, 255, 10, 1000000, 1996093, 19921},
        {255, 0, 10, 1996093, 1000000, 19921},
        {0, 255, 1, 1000000, 1996093, 199218},
        {100, 100, 7, 1390625, 1390625, 0},
        {10, 200, 3, 1039062, 1781250, 49480}, // not (1781250 - 1039062) / 15 = 49479
        {200, 10, 3, 1781250, 1039062, 49480},
        {0, 255, -10, 1000000, 1996093, -19921},
        {50, 60, 1000000, 1195312, 1234375, 0},
        {0, 1, 200200, 1000000, 1003906, 1},
        {-1, 300, 429496729, 996094, 2171875, 0}, // the largest time a 32-bit product allows
        // A duration of 0 ends in one step instead of dividing by zero.
        {0, 255, 0, 1000000, 1996093, 996093},
        {255, 0, 0, 1996093, 1000000, 996093},
        {7, 7, 0, 1027343, 1027343, 0},
        // Beyond the 32-bit product: formed in 64 bits, no overflow.
        {INT_MIN, INT_MAX, INT_MAX, -8388607000000, 8388608996093, 781 - (-781)},
        {INT_MAX, INT_MIN, INT_MIN, 8388608996093, -8388607000000, -781 - 781},
    };
    peek_timed servo(0);
    command.read_all();
    for (const move_case &c : cases) {
        EXPECT_EQ(servo.move(c.start, c.end, c.time), 0);
        const auto recs = command.records();
        ASSERT_EQ(recs.size(), 1u);
        EXPECT_EQ(recs[0].option, 'T');
        EXPECT_EQ(recs[0].data1, c.data1) << c.start;
        EXPECT_EQ(recs[0].data2, c.data2) << c.end;
        EXPECT_EQ(recs[0].time, c.increment) << c.start << " -> " << c.end << " in " << c.time;
        EXPECT_EQ(servo.increment(), c.increment) << "the increment stays in my_time";
    }
    EXPECT_EQ(servo.get_error(), 0);
}

TEST_F(TimedServo, MoveLeavesSteppingAloneAndSetAfterItSendsZeros)
{
    t_Servo servo(0);
    servo.set_stepwidth(7);
    servo.move_right();
    servo.move(0, 255, 10);
    EXPECT_EQ(servo.get_pos(), 7);
    EXPECT_EQ(servo.get_stepwidth(), 7);
    command.read_all();
    servo.set(128);
    const auto recs = command.records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].option, 'N');
    EXPECT_EQ(recs[0].data2, 0);
    EXPECT_EQ(recs[0].time, 0);
}

TEST_F(TimedServo, PollingReadsOneByteAndOnlyDMeansDone)
{
    t_Servo servo(0);
    EXPECT_EQ(servo.isdone_moving(), 0) << "empty: returns at once";
    status.put("D");
    EXPECT_EQ(servo.isdone_moving(), 1);
    EXPECT_EQ(servo.isdone_moving(), 0) << "the D was consumed";
    status.put("QD");
    EXPECT_EQ(servo.isdone_moving(), 0) << "Q is consumed and lost";
    EXPECT_EQ(servo.isdone_moving(), 1);
    status.put("D");
    servo.move(0, 10, 1);
    EXPECT_EQ(servo.isdone_moving(), 1) << "a stale D still counts";
    EXPECT_EQ(status.read_all(), "");
    EXPECT_EQ(servo.get_error(), 0);
}

double clock_ms(clockid_t clock = CLOCK_MONOTONIC)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

TEST_F(TimedServo, WaitDoneReturnsOnDOrTimeoutWithoutSpinning)
{
    t_Servo servo(0);
    const struct {
        const char *waiting;
        int timeout_ms, result;
        const char *left;
    } at_once[] = {{"D", 10000, 1, ""}, {"", 0, 0, ""},   {"QRD", 10000, 1, ""},
                   {"DD", -1, 1, "D"},  {"Q", 0, 0, ""},  {"QD", 0, 1, ""}};
    for (const auto &c : at_once) {
        status.put(c.waiting);
        const double start = clock_ms();
        EXPECT_EQ(servo.wait_done(c.timeout_ms), c.result) << c.waiting;
        EXPECT_LT(clock_ms() - start, 5000) << c.waiting;
        EXPECT_EQ(status.read_all(), c.left) << c.waiting;
    }

    const double start = clock_ms(), cpu = clock_ms(CLOCK_THREAD_CPUTIME_ID);
    EXPECT_EQ(servo.wait_done(200), 0);
    EXPECT_GE(clock_ms() - start, 200) << "poll rounds up; the wait never ends early";
    EXPECT_LT(clock_ms(CLOCK_THREAD_CPUTIME_ID) - cpu, 20) << "asleep, not spinning";

    std::thread writer([&] { usleep(50000); status.put("D"); });
    EXPECT_EQ(servo.wait_done(-1), 1) << "only the D written later can end this";
    writer.join();
    EXPECT_EQ(servo.get_error(), 0);
}

void on_signal(int) {}

TEST_F(TimedServo, WaitDoneInterruptedBySignalsKeepsItsDeadline)
{
    if (!emulator().empty())
        GTEST_SKIP() << "qemu-user does not deliver a signal to a thread blocked in poll(2) "
                        "as the kernel does";
    struct sigaction sa {}, old {};
    sa.sa_handler = on_signal; // no SA_RESTART, though poll is never restarted anyway
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    t_Servo servo(0);
    const pthread_t waiter = pthread_self();
    std::atomic<int> phase{0}; // 0 timed wait, 1 unlimited wait, 2 over
    std::thread pester([&] {
        // Signals for at most 3 s: a wait restarted in full each time would outlast them.
        int after = 0;
        for (int i = 0; phase != 2 && i < 600; ++i) {
            pthread_kill(waiter, SIGUSR1);
            usleep(5000);
            if (phase == 1 && ++after == 20)
                status.put("D");
        }
        if (after < 20)
            status.put("D"); // ends the unlimited wait of a faulty run too
    });
    const double start = clock_ms();
    EXPECT_EQ(servo.wait_done(200), 0);
    const double waited = clock_ms() - start;
    phase = 1;
    EXPECT_GE(waited, 200) << "EINTR did not end the wait";
    EXPECT_LT(waited, 2000) << "the remaining time, not the whole timeout, after EINTR";
    EXPECT_EQ(servo.wait_done(-1), 1);
    phase = 2;
    pester.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(servo.get_error(), 0);
}

TEST_F(TimedServo, DestructionClosesBothHandlesOnceAndLeaksNothing)
{
    const int before = open_fd_count();
    int cmd = -1, st = -1;
    {
        peek_timed servo(0);
        cmd = servo.command_fd();
        st = servo.status_fd();
        EXPECT_EQ(open_fd_count(), before + 2) << "the second command handle is gone";
        reset_close_counts();
    }
    EXPECT_NE(cmd, st);
    EXPECT_EQ(close_count(cmd), 1);
    EXPECT_EQ(close_count(st), 1);
    EXPECT_EQ(open_fd_count(), before);
}

TEST(TimedServoWithoutStatus, ReportsTheMissingStatusDeviceAndNeverSaysDone)
{
    private_dir dir;
    pipe_end command(servo_command_device);
    reset_close_counts();
    {
        peek_timed servo(0);
        EXPECT_EQ(servo.status_fd(), -1);
        EXPECT_EQ(servo.get_error(), ENOENT);
        EXPECT_EQ(servo.isdone_moving(), 0);
        const double start = clock_ms();
        EXPECT_EQ(servo.wait_done(10000), 0);
        EXPECT_LT(clock_ms() - start, 5000) << "nothing to wait on";
        EXPECT_EQ(servo.get_error(), ENOENT);
        servo.move(0, 255, 10);
        EXPECT_EQ(command.records().size(), 3u) << "commands still go out";
    }
    EXPECT_EQ(close_count(-1), 0);
}

TEST_F(TimedServo, DevicesGivenToTheConstructorAreTheOnlyOnesUsed)
{
    pipe_end other_command("cmd2");
    pipe_end other_status("st2");
    const struct {
        const char *command, *status;
        std::size_t sent; // position-0 records on cmd2
        int error;
        bool hears; // a 'D' on st2 is read
    } cases[] = {
        {"cmd2", "st2", 2, 0, true},
        {"cmd2", nullptr, 2, EFAULT, false},
        {"cmd2", "missing", 2, ENOENT, false},
        {nullptr, "st2", 0, EFAULT, true},
        {"missing", "st2", 0, ENOENT, true},
    };
    status.put("D"); // for a servo that wrongly reads the build-time status device
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto &c = cases[i];
        t_Servo servo(200, c.command, c.status);
        EXPECT_EQ(servo.get_error(), c.error) << i;
        EXPECT_EQ(other_command.records().size(), c.sent) << i;
        other_status.put("D");
        EXPECT_EQ(servo.isdone_moving(), c.hears ? 1 : 0) << i;
        other_status.read_all();
    }
    EXPECT_EQ(status.read_all(), "D");
    EXPECT_EQ(command.read_all(), "");
}

using TimedServoAgainstSim = in_private_dir;

bool wait_done(t_Servo &servo)
{
    return eventually([&] { return servo.isdone_moving() == 1; });
}

TEST_F(TimedServoAgainstSim, RampEndsAtTargetInTheExpectedStepsAndSaysDone)
{
    sim_process sim({"--frame-ms", "1", "--trace", "trace.csv"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    t_Servo servo(0);
    servo.move(0, 255, 10); // 19921 ns a frame over 996093 ns: 51 frames
    ASSERT_TRUE(wait_done(servo));
    EXPECT_EQ(sim.stop(), 0);
    const auto rows = read_trace("trace.csv");
    // Position 0 once (the second identical record changes nothing), then the steps.
    ASSERT_EQ(rows.size(), 52u);
    EXPECT_EQ(rows.front().width, 1000000);
    EXPECT_EQ(rows[1].width, 1000000 + 19921);
    EXPECT_EQ(rows.back().width, 1996093);
    EXPECT_EQ(servo.isdone_moving(), 0) << "exactly one D";
}

TEST_F(TimedServoAgainstSim, ZeroDurationEndsInOneStep)
{
    sim_process sim({"--frame-ms", "1", "--trace", "trace.csv"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    t_Servo servo(0);
    servo.move(0, 128, 0);
    ASSERT_TRUE(wait_done(servo));
    EXPECT_EQ(sim.stop(), 0);
    const auto rows = read_trace("trace.csv");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows.back().width, 1500000);
}

TEST_F(TimedServoAgainstSim, SecondMoveReplacesARunningRamp)
{
    sim_process sim({"--frame-ms", "2", "--trace", "trace.csv"});
    ASSERT_TRUE(sim.ready()) << sim.err();
    t_Servo servo(0);
    servo.move(0, 255, 1000); // 1992 ns a frame: 501 frames, far from done
    ASSERT_TRUE(eventually([] { return read_trace("trace.csv").size() >= 3; }));
    servo.move(200, 100, 1);
    ASSERT_TRUE(wait_done(servo));
    EXPECT_EQ(sim.stop(), 0);
    const auto rows = read_trace("trace.csv");
    EXPECT_EQ(rows.back().width, servo_width(100));
    int at_start_of_second = 0;
    for (const trace_row &r : rows)
        at_start_of_second += r.width == servo_width(200);
    EXPECT_EQ(at_start_of_second, 1);
    EXPECT_EQ(servo.isdone_moving(), 0) << "the replaced ramp never said done";
    EXPECT_NE(sim.out().find("ramp replaced"), std::string::npos);
}

} // namespace

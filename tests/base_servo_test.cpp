#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>
#include <type_traits>
#include <unistd.h>

#include "close_counter.h"
#include "servo.h"
#include "support.h"

namespace {

static_assert(!std::is_copy_constructible_v<t_BaseServo>, "one owner per handle");
static_assert(!std::is_copy_assignable_v<t_BaseServo>, "one owner per handle");

struct peek_servo : t_BaseServo {
    using t_BaseServo::t_BaseServo;
    int command_fd() const { return rtf1; }
};

class BaseServo : public ::testing::Test {
protected:
    private_dir dir;
    pipe_end pipe{servo_command_device};

    wire_record last_record()
    {
        const auto recs = pipe.records();
        EXPECT_FALSE(recs.empty());
        return recs.empty() ? wire_record{} : recs.back();
    }
};

TEST_F(BaseServo, NewObjectSendsOneRecordAndStartsAtZeroWithStepThree)
{
    t_BaseServo servo(200);
    const auto recs = pipe.records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].data1, 1781250);
    EXPECT_EQ(servo.get_stepwidth(), 3);
    EXPECT_EQ(servo.get_pos(), 0);
    EXPECT_EQ(servo.get_error(), 0);
}

TEST_F(BaseServo, StepWidthAcceptsOneToNineteenOnly)
{
    t_BaseServo servo(0);
    const struct {
        int value;
        int result;
        int width_after;
    } cases[] = {{0, -1, 3},  {20, -1, 3}, {-1, -1, 3}, {INT_MIN, -1, 3}, {INT_MAX, -1, 3},
                 {256, -1, 3}, {1, 0, 1},  {19, 0, 19}, {20, -1, 19},    {7, 0, 7}};
    for (const auto &c : cases) {
        EXPECT_EQ(servo.set_stepwidth(c.value), c.result) << c.value;
        EXPECT_EQ(servo.get_stepwidth(), c.width_after) << c.value;
    }
    EXPECT_EQ(pipe.records().size(), 1u) << "step width changes send nothing";
}

// Walks right from 0 in steps of `step`, then takes one more step each way.
struct stepping_case {
    int step;
    int walks;
    int reached;
    int final_step;
    bool right;
    int expect;
    std::int64_t width;
};

TEST_F(BaseServo, SteppingStopsShortOfEitherEndAndAlwaysSends)
{
    const stepping_case cases[] = {
        {2, 1, 2, 3, false, 2, 1007812},      // 2 - 3 < 0: stays at 2
        {3, 1, 3, 3, false, 0, 1000000},      // exactly down to 0
        {11, 23, 253, 3, true, 253, 1988281}, // 253 + 3 > 255: stays
        {12, 21, 252, 3, true, 255, 1996093}, // exactly up to 255
        {19, 0, 0, 19, false, 0, 1000000},    // at 0, left stays
    };
    for (const stepping_case &c : cases) {
        t_BaseServo servo(0);
        ASSERT_EQ(servo.set_stepwidth(c.step), 0);
        for (int i = 0; i < c.walks; ++i)
            servo.move_right();
        ASSERT_EQ(servo.get_pos(), c.reached);
        ASSERT_EQ(servo.set_stepwidth(c.final_step), 0);
        pipe.read_all();
        const int got = c.right ? servo.move_right() : servo.move_left();
        EXPECT_EQ(got, c.expect) << "from " << c.reached;
        EXPECT_EQ(servo.get_pos(), c.expect);
        const auto recs = pipe.records();
        ASSERT_EQ(recs.size(), 1u) << "a step that cannot be taken still sends";
        EXPECT_EQ(recs[0].option, 'N');
        EXPECT_EQ(recs[0].data1, c.width);
    }
}

TEST_F(BaseServo, SetSendsAnyPositionAndLeavesSteppingPositionAlone)
{
    t_BaseServo servo(0);
    servo.set_stepwidth(5);
    servo.move_right();
    for (int position : {300, -1, 128, INT_MIN}) {
        servo.set(position);
        const wire_record r = last_record();
        EXPECT_EQ(r.option, 'N');
        EXPECT_EQ(r.data1, servo_width(position));
        EXPECT_EQ(r.data2, 0);
        EXPECT_EQ(r.time, 0);
        EXPECT_EQ(servo.get_pos(), 5);
    }
    servo.set(300);
    EXPECT_EQ(last_record().data1, 2171875);
}

TEST_F(BaseServo, DeviceGivenToTheConstructorIsTheOnlyOneUsed)
{
    pipe_end other("other");
    const struct {
        const char *path;
        int error;
        std::size_t sent; // records on other
    } cases[] = {{"other", 0, 1}, {"missing", ENOENT, 0}, {nullptr, EFAULT, 0}};
    for (const auto &c : cases) {
        t_BaseServo servo(200, c.path);
        EXPECT_EQ(servo.get_error(), c.error);
        EXPECT_EQ(other.records().size(), c.sent);
        EXPECT_EQ(pipe.read_all(), "") << "never the build-time device";
    }
}

TEST_F(BaseServo, ClosesItsHandleExactlyOnceAndLeaksNothing)
{
    const int before = open_fd_count();
    reset_close_counts();
    int fd = -1;
    {
        peek_servo servo(1);
        fd = servo.command_fd();
        ASSERT_GE(fd, 0);
        EXPECT_EQ(open_fd_count(), before + 1);
    }
    EXPECT_EQ(close_count(fd), 1);
    EXPECT_EQ(open_fd_count(), before);
}

TEST(BaseServoWithoutDevice, ReportsTheOpenErrorAndClosesNothing)
{
    const struct {
        const char *what;
        int (*make)(const char *);
        int error;
    } cases[] = {
        {"missing", [](const char *) { return 0; }, ENOENT},
        {"regular file", [](const char *p) { return close(open(p, O_WRONLY | O_CREAT, 0644)); }, ENODEV},
        {"directory", [](const char *p) { return mkdir(p, 0755); }, EISDIR},
    };
    for (const auto &c : cases) {
        private_dir dir;
        ASSERT_EQ(c.make(servo_command_device), 0) << c.what;
        const int before = open_fd_count();
        {
            peek_servo servo(128);
            reset_close_counts();
            EXPECT_EQ(servo.command_fd(), -1) << c.what;
            EXPECT_EQ(servo.get_error(), c.error) << c.what;
            servo.set(3);
            EXPECT_EQ(servo.move_right(), 3) << "stepping still works without a device";
            EXPECT_EQ(servo.get_error(), c.error) << "the first cause is kept";
        }
        EXPECT_EQ(close_count(-1), 0);
        EXPECT_EQ(open_fd_count(), before) << c.what;
        struct stat st {};
        if (stat(servo_command_device, &st) == 0 && S_ISREG(st.st_mode)) {
            EXPECT_EQ(st.st_size, 0) << "nothing was written to the file";
        }
    }
}

void on_signal(int) {}

TEST_F(BaseServo, WriteInterruptedBySignalsIsRetriedAndSentWhole)
{
    if (!emulator().empty())
        GTEST_SKIP() << "qemu-user does not deliver a signal to a thread blocked in write(2) "
                        "as the kernel does";
    struct sigaction sa {};
    sa.sa_handler = on_signal; // no SA_RESTART: the write sees EINTR
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);

    t_BaseServo servo(0);
    pipe.read_all();
    std::size_t filled = pipe.fill(); // the next record blocks

    const pthread_t writer = pthread_self();
    std::atomic<bool> sent{false};
    std::thread helper([&] {
        for (int i = 0; i < 20 && !sent; ++i) {
            pthread_kill(writer, SIGUSR1);
            usleep(5000);
        }
        while (!sent) {
            // Make room once the signals have landed.
            char buf[4096];
            const ssize_t n = read(pipe.fd(), buf, std::min(filled, sizeof buf));
            if (n <= 0)
                usleep(1000);
            else
                filled -= static_cast<std::size_t>(n);
            if (filled == 0)
                break;
        }
    });
    servo.set(128);
    sent = true;
    helper.join();
    sigaction(SIGUSR1, &old, nullptr);

    EXPECT_EQ(servo.get_error(), 0);
    std::string rest = pipe.read_all();
    ASSERT_GE(rest.size(), 28u);
    rest = rest.substr(rest.size() - 28);
    const auto *p = reinterpret_cast<const unsigned char *>(rest.data());
    EXPECT_EQ(p[0], 'N');
    EXPECT_EQ(le64(p + 4), 1500000);
}

} // namespace

// servo-sweep: ramp a servo from one position to another and back again,
// waiting for the real-time side's done notice after each ramp.
//
//   servo-sweep [--timeout-ms MS] FROM TO DURATION
//
// DURATION is in the unit of t_Servo::move: with 50 Hz frames, 10 is about
// one second. Exit status: 0 done, 1 the servo failed or never said done,
// 2 bad usage.
#include <cstdio>
#include <cstring>
#include <ctime>

#include <parse_position.h>
#include <servo.h>

namespace {

constexpr long poll_interval_ms = 5;

void usage(std::FILE *to)
{
    std::fputs("usage: servo-sweep [--timeout-ms MS] FROM TO DURATION\n", to);
}

long now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void sleep_ms(long ms)
{
    timespec ts{ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

// Polls without blocking until 'D' or the deadline.
bool wait_done(t_Servo &servo, long timeout_ms)
{
    const long give_up = now_ms() + timeout_ms;
    while (servo.isdone_moving() == 0) {
        if (now_ms() >= give_up)
            return false;
        sleep_ms(poll_interval_ms);
    }
    return true;
}

bool ramp(t_Servo &servo, int from, int to, int duration, long timeout_ms)
{
    servo.move(from, to, duration);
    if (servo.get_error() != 0) {
        std::fprintf(stderr, "servo-sweep: %s: %s\n", servo_command_device,
                     std::strerror(servo.get_error()));
        return false;
    }
    if (!wait_done(servo, timeout_ms)) {
        std::fprintf(stderr,
                     "servo-sweep: no done notice for the move %d -> %d within %ld ms "
                     "(is the real-time servo module or servosim running?)\n",
                     from, to, timeout_ms);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int arg = 1;
    long timeout_ms = -1;
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        usage(stdout);
        return 0;
    }
    if (argc > 2 && std::strcmp(argv[1], "--timeout-ms") == 0) {
        int ms = 0;
        if (!parse_position(argv[2], &ms) || ms < 1) {
            std::fprintf(stderr, "servo-sweep: invalid timeout '%s'\n", argv[2]);
            return 2;
        }
        timeout_ms = ms;
        arg = 3;
    }
    if (argc - arg != 3) {
        usage(stderr);
        return 2;
    }
    int from = 0, to = 0, duration = 0;
    const char *what[] = {"start position", "end position", "duration"};
    int *into[] = {&from, &to, &duration};
    for (int i = 0; i < 3; ++i) {
        if (!parse_position(argv[arg + i], into[i])) {
            std::fprintf(stderr, "servo-sweep: invalid %s '%s'\n", what[i], argv[arg + i]);
            return 2;
        }
    }
    if (duration < 0) {
        std::fprintf(stderr, "servo-sweep: invalid duration '%s'\n", argv[arg + 2]);
        return 2;
    }
    // About duration/10 s per ramp at 50 Hz; allow for slow frames and start-up.
    if (timeout_ms < 0)
        timeout_ms = 5000 + 200L * duration;

    t_Servo servo(from);
    if (servo.get_error() != 0) {
        std::fprintf(stderr, "servo-sweep: cannot reach the servo: %s (devices %s, %s)\n",
                     std::strerror(servo.get_error()), servo_command_device, servo_status_device);
        return 1;
    }
    // A notice left from an earlier run would end our first wait at once.
    for (int i = 0; i < 64 && servo.isdone_moving() == 1; ++i) {
    }
    if (!ramp(servo, from, to, duration, timeout_ms) || !ramp(servo, to, from, duration, timeout_ms))
        return 1;
    return 0;
}

// servo-sweep: ramp a servo from one position to another and back again,
// waiting for the real-time side's done notice after each ramp.
//
//   servo-sweep [--device PATH] [--status-device PATH] [--timeout-ms MS] FROM TO DURATION
//
// DURATION is in the unit of t_Servo::move: with 50 Hz frames, 10 is about
// one second. Exit status: 0 done, 1 the servo failed or never said done,
// 2 bad usage. The devices default to those the library was built for.
#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <getopt.h>

#include <parse_position.h>
#include <printable_arg.h>
#include <servo.h>

namespace {

// A pipe holds at most fs.pipe-max-size bytes (1 MiB by default), so no more
// stale notices than that can be waiting.
constexpr long max_stale_notices = 1L << 20;

void usage(std::FILE *to)
{
    std::fputs("usage: servo-sweep [--device PATH] [--status-device PATH] [--timeout-ms MS] "
               "FROM TO DURATION\n",
               to);
}

// Milliseconds in 64 bits: a 32-bit long overflows after 24.8 days of uptime.
std::int64_t now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// wait_done takes an int, so longer waits go in chunks against one deadline.
bool wait_for_done(t_Servo &servo, std::int64_t timeout_ms)
{
    const std::int64_t give_up = now_ms() + timeout_ms;
    for (;;) {
        const std::int64_t left = std::max<std::int64_t>(give_up - now_ms(), 0);
        const int chunk = static_cast<int>(std::min<std::int64_t>(left, INT_MAX));
        if (servo.wait_done(chunk) == 1)
            return true;
        if (chunk == left || servo.get_error() != 0)
            return false;
    }
}

// A device path as a message shows it: escaped, as arguments are.
struct shown_path {
    char text[256];
    explicit shown_path(const char *path) { printable_arg(path, text, sizeof text); }
};

bool ramp(t_Servo &servo, const char *command, int from, int to, int duration,
          std::int64_t timeout_ms)
{
    servo.move(from, to, duration);
    if (servo.get_error() != 0) {
        std::fprintf(stderr, "servo-sweep: %s: %s\n", shown_path(command).text,
                     std::strerror(servo.get_error()));
        return false;
    }
    if (!wait_for_done(servo, timeout_ms)) {
        std::fprintf(stderr,
                     "servo-sweep: no done notice for the move %d -> %d within %" PRId64 " ms "
                     "(is the real-time servo module or servosim running?)\n",
                     from, to, timeout_ms);
        return false;
    }
    return true;
}

bool is_number(const char *arg)
{
    int ignored = 0;
    return parse_position(arg, &ignored);
}

int refuse(const char *what, const char *arg)
{
    char shown[256];
    std::fprintf(stderr, "servo-sweep: invalid %s '%s'\n", what, printable_arg(arg, shown, sizeof shown));
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    static const option longopts[] = {{"device", required_argument, nullptr, 'c'},
                                       {"status-device", required_argument, nullptr, 's'},
                                       {"timeout-ms", required_argument, nullptr, 't'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {nullptr, 0, nullptr, 0}};
    opterr = 0; // our own messages, with the argument escaped
    bool help = false;
    const char *command = servo_command_device;
    const char *status = servo_status_device;
    std::int64_t timeout_ms = -1;
    int operands = 1;
    for (;;) {
        operands = optind;
        // A number is an operand even where it looks like an option: a position of -5.
        if (optind >= argc || is_number(argv[optind]))
            break;
        const int c = getopt_long(argc, argv, "+h", longopts, nullptr);
        if (c == -1) {
            operands = optind;
            break;
        }
        if (c == 'h') {
            help = true;
        } else if (c == 't') {
            int ms = 0;
            if (!parse_position(optarg, &ms) || ms < 1)
                return refuse("timeout", optarg);
            timeout_ms = ms;
        } else if (c == 'c' || c == 's') {
            // An empty path is most likely an unset shell variable.
            if (optarg[0] == '\0')
                return refuse(c == 'c' ? "device" : "status device", optarg);
            if (c == 'c')
                command = optarg;
            else
                status = optarg;
        } else {
            break; // an unknown option or a missing value: usage, or refused as an operand
        }
    }
    const int count = argc - operands;
    if (help && count == 0) {
        usage(stdout);
        return 0;
    }
    if (help || count != 3) {
        usage(stderr);
        return 2;
    }
    int from = 0, to = 0, duration = 0;
    const char *what[] = {"start position", "end position", "duration"};
    int *into[] = {&from, &to, &duration};
    for (int i = 0; i < 3; ++i) {
        if (!parse_position(argv[operands + i], into[i]))
            return refuse(what[i], argv[operands + i]);
    }
    if (duration < 0)
        return refuse("duration", argv[operands + 2]);
    // About duration/10 s per ramp at 50 Hz; allow for slow frames and start-up.
    if (timeout_ms < 0)
        timeout_ms = 5000 + 200 * static_cast<std::int64_t>(duration);

    t_Servo servo(from, command, status);
    if (servo.get_error() != 0) {
        std::fprintf(stderr, "servo-sweep: cannot reach the servo: %s (devices %s, %s)\n",
                     std::strerror(servo.get_error()), shown_path(command).text,
                     shown_path(status).text);
        return 1;
    }
    // Notices left from earlier runs would end our first waits at once.
    for (long i = 0; i < max_stale_notices && servo.wait_done(0) == 1; ++i) {
    }
    if (!ramp(servo, command, from, to, duration, timeout_ms) ||
        !ramp(servo, command, to, from, duration, timeout_ms))
        return 1;
    return 0;
}

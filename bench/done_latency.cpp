// done_latency [ROUNDS]: time from a 'D' written into the status pipe to the
// waiter's return, side by side in one run for
//   floor       a bare loop of poll(2) and read(2) on the servo's own handle,
//   wait_done   t_Servo::wait_done with the same finite timeout,
//   floor again the floor once more: the spread between the two is the noise,
//   sleep-poll  the loop servo-sweep had: isdone_moving(), else sleep 5 ms.
// A writer thread reads CLOCK_MONOTONIC just before its write; the waiter
// reads it on return. Each round gives the three poll loops one delay before
// the write (0.2..1.2 ms, time to fall asleep), in rotating order; one round
// in ten starts with sleep-poll, with a delay spread over one 5 ms sleep.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "servo.h"

namespace {

std::int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleep_ns(std::int64_t ns)
{
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

struct bench_servo : t_Servo {
    using t_Servo::t_Servo;
    int status_fd() const { return rtf2; }
};

constexpr int timeout_ms = 10000;

// The same timeout as wait_done's: a finite one arms a kernel timer, whose
// cancelling on wake-up is part of every bounded wait.
bool floor_wait(bench_servo &servo)
{
    for (;;) {
        pollfd p{servo.status_fd(), POLLIN, 0};
        char c = 0;
        if (poll(&p, 1, timeout_ms) == 1 && read(servo.status_fd(), &c, 1) == 1 && c == 'D')
            return true;
    }
}

bool wait_done(bench_servo &servo)
{
    return servo.wait_done(timeout_ms) == 1;
}

// As servo-sweep waited before wait_done.
bool sleep_poll(bench_servo &servo)
{
    const std::int64_t give_up = now_ns() + 10000000000;
    while (servo.isdone_moving() == 0) {
        if (now_ns() >= give_up)
            return false;
        sleep_ns(5000000);
    }
    return true;
}

struct method {
    const char *name;
    bool (*wait)(bench_servo &);
    std::vector<double> us;
};

double quantile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    const auto at = static_cast<std::size_t>(q * static_cast<double>(v.size()) + 0.999999) - 1;
    return v[std::min(at, v.size() - 1)];
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 4000;
    if (rounds < 1)
        return 2;
    bench_servo servo(0);
    const int status = open(servo_status_device, O_RDWR | O_CLOEXEC);
    int control[2];
    if (servo.get_error() != 0 || status < 0 || pipe(control) != 0) {
        std::fprintf(stderr, "done_latency: needs the pipes %s and %s\n", servo_command_device,
                     servo_status_device);
        return 1;
    }

    std::atomic<std::int64_t> written{0};
    std::thread writer([&] {
        std::int64_t delay = 0;
        while (read(control[0], &delay, sizeof delay) == sizeof delay && delay >= 0) {
            sleep_ns(delay);
            written.store(now_ns(), std::memory_order_release);
            if (write(status, "D", 1) != 1)
                std::abort();
        }
    });

    method methods[] = {{"floor: poll + read", floor_wait, {}},
                        {"wait_done", wait_done, {}},
                        {"floor again", floor_wait, {}},
                        {"sleep-poll: isdone_moving + 5 ms sleep", sleep_poll, {}}};
    std::mt19937 rng(1);
    std::uniform_int_distribution<std::int64_t> short_ns(200000, 1200000), long_ns(200000, 5200000);
    const auto measure = [&](method &m, std::int64_t delay) {
        if (write(control[1], &delay, sizeof delay) != sizeof delay || !m.wait(servo))
            std::exit(1);
        const std::int64_t back = now_ns();
        m.us.push_back(static_cast<double>(back - written.load(std::memory_order_acquire)) / 1e3);
    };
    for (int r = 0; r < rounds; ++r) {
        // As 10 % 3 == 1, the round after a sleep-poll starts with each loop in turn.
        if (r % 10 == 0)
            measure(methods[3], long_ns(rng));
        const std::int64_t delay = short_ns(rng);
        for (int k = 0; k < 3; ++k)
            measure(methods[(r + k) % 3], delay);
    }
    const std::int64_t stop = -1;
    if (write(control[1], &stop, sizeof stop) != sizeof stop)
        return 1;
    writer.join();

    std::printf("D written to waiter back (us), interleaved in one run:\n");
    double median[4], p99[4];
    for (int k = 0; k < 4; ++k) {
        median[k] = quantile(methods[k].us, 0.5);
        p99[k] = quantile(methods[k].us, 0.99);
        std::printf("  %-40s %5zu notices   median %8.1f   p99 %8.1f\n", methods[k].name,
                    methods[k].us.size(), median[k], p99[k]);
    }
    std::printf("wait_done / floor: median %.3f, p99 %.3f (goal <= 1.2 each)\n", median[1] / median[0],
                p99[1] / p99[0]);
    std::printf("floor again / floor, the noise of this run: median %.3f, p99 %.3f\n",
                median[2] / median[0], p99[2] / p99[0]);
    std::printf("sleep-poll / floor: median %.1f, p99 %.1f\n", median[3] / median[0], p99[3] / p99[0]);
    return 0;
}

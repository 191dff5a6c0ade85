// call_counts N [wait]: N each of set(), move() and isdone_moving() on one
// t_Servo; with "wait", N notices instead, each written by a second thread
// while the first is in (or about to enter) wait_done. Traced twice with
// different N, the difference shows what each call costs in system calls and
// heap allocations, free of start-up noise.
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

#include "parse_position.h"
#include "servo.h"

namespace {
int notices(t_Servo &servo, int n)
{
    const int status = open(servo_status_device, O_RDWR | O_CLOEXEC);
    if (status < 0)
        return 1;
    std::atomic<int> armed{0};
    // Handshake through memory and sleeps only: no read or poll of its own.
    std::thread writer([&] {
        for (int i = 1; i <= n; ++i) {
            while (armed.load() < i)
                usleep(100);
            usleep(200);
            if (write(status, "D", 1) != 1)
                return;
        }
    });
    int done = 0;
    for (int i = 1; i <= n; ++i) {
        armed.store(i);
        done += servo.wait_done(10000);
    }
    writer.join();
    close(status);
    return servo.get_error() == 0 && done == n ? 0 : 1;
}
} // namespace

int main(int argc, char **argv)
{
    int n = 0;
    if (argc < 2 || argc > 3 || !parse_position(argv[1], &n) || n < 0)
        return 2;
    t_Servo servo(0);
    if (argc == 3)
        return std::strcmp(argv[2], "wait") == 0 ? notices(servo, n) : 2;
    int done = 0;
    for (int i = 0; i < n; ++i) {
        servo.set(i & 255);
        servo.move(0, i & 255, 10);
        done += servo.isdone_moving();
    }
    return servo.get_error() == 0 && done == 0 ? 0 : 1;
}

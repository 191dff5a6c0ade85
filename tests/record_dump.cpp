// Prints, in hex, every record a fixed series of library calls sends. Run on
// two ABIs (x86-64 and a target's), the outputs must be identical.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "servo.h"

namespace {
int open_pipe(const char *name)
{
    if (mkfifo(name, 0600) != 0 && errno != EEXIST)
        return -1;
    return open(name, O_RDWR | O_NONBLOCK);
}

void dump(int fd, const char *label)
{
    unsigned char buf[sizeof(my_msg_struct)];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        std::printf("%-12s", label);
        for (ssize_t i = 0; i < n; ++i)
            std::printf("%s%02x", i == 4 || i == 12 || i == 20 ? " " : "", buf[i]);
        std::printf("\n");
    }
}
} // namespace

int main()
{
    const int cmd = open_pipe(servo_command_device);
    const int status = open_pipe(servo_status_device);
    if (cmd < 0 || status < 0) {
        std::perror("record_dump: pipes");
        return 1;
    }
    const int positions[] = {0, 1, 128, 255, 256, 300, -1, -256, -257, INT_MAX, INT_MIN};
    for (int p : positions) {
        t_BaseServo servo(p);
        dump(cmd, "new");
    }
    {
        t_BaseServo servo(0);
        servo.set_stepwidth(19);
        for (int i = 0; i < 15; ++i)
            servo.move_right();
        servo.move_left();
        dump(cmd, "step");
    }
    const int moves[][3] = {{0, 255, 10},  {255, 0, 10},      {0, 255, 1},     {100, 100, 7},
                            {10, 200, 3},  {200, 10, 3},      {0, 255, -10},   {50, 60, 1000000},
                            {0, 1, 200200}, {0, 255, 0},      {-1, 300, 429496729},
                            {INT_MIN, INT_MAX, INT_MAX},      {INT_MAX, INT_MIN, INT_MIN}};
    t_Servo timed(42);
    dump(cmd, "timed-new");
    for (const auto &m : moves) {
        timed.move(m[0], m[1], m[2]);
        dump(cmd, "move");
    }
    if (write(status, "D", 1) != 1)
        return 1;
    // Two statements: the order in which arguments are evaluated differs
    // between ABIs (GCC: right to left on x86, left to right on ARM).
    const int first = timed.isdone_moving();
    const int second = timed.isdone_moving();
    std::printf("done %d %d\n", first, second);
    unlink(servo_command_device);
    unlink(servo_status_device);
    return timed.get_error() == 0 ? 0 : 1;
}

/* The least servod's way from a record to the hardware can cost: wait for the
 * command pipe, read one 28-byte record, write its width to the duty cycle
 * file as servod does (open O_WRONLY|O_TRUNC, one write, close).
 * usage: pwm_floor PIPE DUTY_FILE [RT_PRIORITY]   (runs until killed) */
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <poll.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 3 || argc > 4)
        return 2;
    /* Read-write, as servod holds it: never an end of file. */
    const int in = open(argv[1], O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) {
        perror(argv[1]);
        return 1;
    }
    if (argc == 4) {
        /* The same real-time footing servod takes with --rt-priority. */
        struct sched_param param = {.sched_priority = atoi(argv[3])};
        if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0 || sched_setscheduler(0, SCHED_FIFO, &param) != 0) {
            perror("pwm_floor: real time");
            return 1;
        }
    }
    struct pollfd p = {.fd = in, .events = POLLIN};
    unsigned char rec[28];
    for (;;) {
        if (poll(&p, 1, -1) < 0 && errno != EINTR)
            return 1;
        if (read(in, rec, sizeof rec) != (ssize_t)sizeof rec)
            continue;
        /* data1, little-endian; widths are positive */
        uint64_t width = 0;
        for (int i = 11; i >= 4; --i)
            width = width << 8 | rec[i];
        char text[24];
        char *digit = text + sizeof text;
        do {
            *--digit = (char)('0' + width % 10);
            width /= 10;
        } while (width != 0);
        const size_t len = (size_t)(text + sizeof text - digit);
        const int out = open(argv[2], O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (out < 0)
            return 1;
        if (write(out, digit, len) != (ssize_t)len)
            return 1;
        close(out);
    }
}

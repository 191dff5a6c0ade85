/* The least servod's way from a record to the hardware can cost: wait for the
 * command pipe, read one 28-byte record, write its width to the duty cycle
 * file as servod does (open O_WRONLY|O_TRUNC, one write, close).
 * usage: pwm_floor PIPE DUTY_FILE [RT_PRIORITY]   (runs until killed) */
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <poll.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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
        int64_t width;
        memcpy(&width, rec + 4, sizeof width);
        char text[24];
        const int len = snprintf(text, sizeof text, "%" PRId64, width);
        const int out = open(argv[2], O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (out < 0)
            return 1;
        if (write(out, text, (size_t)len) != len)
            return 1;
        close(out);
    }
}

/* The least servod's way from a record to the hardware can cost: wait for the
 * command pipe, read one 28-byte record, write its width to the duty cycle
 * file as servod does (open O_WRONLY|O_TRUNC, one write of "WIDTH\n", close).
 * With -r, the least its frames can cost with many servos ramping at once:
 * a 'T' record starts a frame clock at the instant it is read; every frame,
 * slept to with clock_nanosleep(TIMER_ABSTIME), takes the ramp's next width
 * to every DUTY_FILE in turn; 'D' on STATUS after the last.
 * usage: pwm_floor PIPE DUTY_FILE [RT_PRIORITY]          (runs until killed)
 *        pwm_floor -r PIPE STATUS FRAME_MS RT_PRIORITY DUTY_FILE...  (0: not real time) */
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <poll.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

static int64_t field(const unsigned char *rec, int at) /* little-endian */
{
    uint64_t v = 0;
    for (int i = at + 7; i >= at; --i)
        v = v << 8 | rec[i];
    return (int64_t)v;
}

static int put_width(const char *path, int64_t width)
{
    char text[24];
    char *digit = text + sizeof text;
    *--digit = '\n';
    do { /* widths are positive */
        *--digit = (char)('0' + width % 10);
        width /= 10;
    } while (width != 0);
    const size_t len = (size_t)(text + sizeof text - digit);
    const int out = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (out < 0)
        return -1;
    const int ok = write(out, digit, len) == (ssize_t)len;
    close(out);
    return ok ? 0 : -1;
}

/* The same real-time footing servod takes with --rt-priority. */
static int real_time(const char *priority)
{
    struct sched_param param = {.sched_priority = atoi(priority)};
    if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0 || sched_setscheduler(0, SCHED_FIFO, &param) != 0) {
        perror("pwm_floor: real time");
        return -1;
    }
    return 0;
}

/* Blocks until a whole record is read from in. */
static int next_record(int in, unsigned char *rec)
{
    struct pollfd p = {.fd = in, .events = POLLIN};
    for (;;) {
        if (poll(&p, 1, -1) < 0 && errno != EINTR)
            return -1;
        if (read(in, rec, 28) == 28)
            return 0;
    }
}

static int64_t now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static int ramps(int in, const char *status, long frame_ms, char **files, int n)
{
    const int done = open(status, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (done < 0) {
        perror(status);
        return 1;
    }
    const int64_t frame = (int64_t)frame_ms * 1000000;
    unsigned char rec[28];
    while (next_record(in, rec) == 0) {
        const int64_t from = field(rec, 4), to = field(rec, 12), step = field(rec, 20);
        const int64_t start = now_ns();
        for (int64_t k = 0;; ++k) {
            if (k > 0) {
                const int64_t at = start + k * frame;
                const struct timespec ts = {.tv_sec = (time_t)(at / 1000000000), .tv_nsec = (long)(at % 1000000000)};
                while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL) == EINTR) {
                }
            }
            const int64_t width = step > 0 && from + k * step < to ? from + k * step : to;
            for (int i = 0; i < n; ++i)
                if (put_width(files[i], width) != 0)
                    return 1;
            if (width == to)
                break;
        }
        if (write(done, "D", 1) != 1)
            return 1;
    }
    return 1;
}

int main(int argc, char **argv)
{
    const int ramping = argc >= 7 && strcmp(argv[1], "-r") == 0;
    if (!ramping && (argc < 3 || argc > 4))
        return 2;
    const char *pipe = argv[ramping ? 2 : 1];
    /* Read-write, as servod holds it: never an end of file. */
    const int in = open(pipe, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) {
        perror(pipe);
        return 1;
    }
    if (ramping)
        return atoi(argv[5]) > 0 && real_time(argv[5]) != 0 ? 1 : ramps(in, argv[3], atol(argv[4]), argv + 6, argc - 6);
    if (argc == 4 && real_time(argv[3]) != 0)
        return 1;
    unsigned char rec[28];
    while (next_record(in, rec) == 0)
        if (put_width(argv[2], field(rec, 4)) != 0)
            return 1;
    return 1;
}

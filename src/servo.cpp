#include "servo.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef SERVO_COMMAND_DEVICE
#error "SERVO_COMMAND_DEVICE must be set by the build"
#endif
#ifndef SERVO_STATUS_DEVICE
#error "SERVO_STATUS_DEVICE must be set by the build"
#endif

const char servo_command_device[] = SERVO_COMMAND_DEVICE;
const char servo_status_device[] = SERVO_STATUS_DEVICE;

namespace {
constexpr int step_min = 1;
constexpr int step_max = 19;
constexpr int pos_max = 255;

// Repeats a system call that a signal interrupted before it did anything.
template <typename Call>
auto retry_on_eintr(Call call)
{
    auto result = call();
    while (result < 0 && errno == EINTR)
        result = call();
    return result;
}

std::int64_t monotonic_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
} // namespace

hrtime_t servo_width(int position)
{
    // 64-bit product cannot overflow; '/' truncates toward zero as required.
    return static_cast<hrtime_t>(position) * 1000000 / 256 + 1000000;
}

t_BaseServo::t_BaseServo(int initialvalue) : t_BaseServo(initialvalue, servo_command_device) {}

t_BaseServo::t_BaseServo(int initialvalue, const char *command_device)
    : rtf1(-1), rtf2(-1), my_time(0)
{
    // Zeroed whole, padding included: the gap bytes go on the wire, and
    // member-wise initialisation would leave them as stack leftovers.
    std::memset(&msg, 0, sizeof msg);
    rtf1 = open_device(command_device, O_RDWR);
    set(initialvalue);
}

t_BaseServo::~t_BaseServo()
{
    close_handle(rtf1);
}

int t_BaseServo::open_device(const char *path, int flags)
{
    // glibc declares open's path nonnull, so a null one stops here, with
    // the errno the kernel would give it.
    if (path == nullptr) {
        note_error(EFAULT);
        return -1;
    }
    const int fd = retry_on_eintr([&] { return ::open(path, flags | O_CLOEXEC); });
    if (fd < 0) {
        note_error(errno);
        return -1;
    }
    // A regular file left at the device path (say, by a redirect while the
    // module was not loaded) would swallow every record without complaint.
    struct stat st {};
    if (::fstat(fd, &st) == 0 && !S_ISCHR(st.st_mode) && !S_ISFIFO(st.st_mode)) {
        ::close(fd);
        note_error(ENODEV);
        return -1;
    }
    return fd;
}

void t_BaseServo::close_handle(int &fd)
{
    if (fd < 0)
        return;
    // Never retried: after EINTR the descriptor is already gone on Linux.
    if (::close(fd) != 0)
        note_error(errno);
    fd = -1;
}

void t_BaseServo::send_msg()
{
    // Without a handle the open error is the one worth keeping.
    if (rtf1 < 0)
        return;
    const ssize_t n = retry_on_eintr([&] { return ::write(rtf1, &msg, sizeof msg); });
    if (n < 0)
        note_error(errno);
    else if (n != static_cast<ssize_t>(sizeof msg))
        note_error(EIO); // a torn record; the rest is not sent on its own
}

void t_BaseServo::note_error(int err)
{
    last_error = err;
}

void t_BaseServo::set(int position)
{
    msg.option = servo_option_set;
    msg.data1 = servo_width(position);
    msg.data2 = 0;
    msg.time = 0;
    send_msg();
}

int t_BaseServo::set_stepwidth(int width)
{
    if (width < step_min || width > step_max)
        return -1;
    step = static_cast<unsigned char>(width);
    return 0;
}

int t_BaseServo::get_stepwidth() const
{
    return step;
}

int t_BaseServo::move_left()
{
    const int next = value - step;
    if (next >= 0)
        value = static_cast<unsigned char>(next);
    set(value);
    return value;
}

int t_BaseServo::move_right()
{
    const int next = value + step;
    if (next <= pos_max)
        value = static_cast<unsigned char>(next);
    set(value);
    return value;
}

int t_BaseServo::get_pos() const
{
    return value;
}

int t_BaseServo::get_error() const
{
    return last_error;
}

t_Servo::t_Servo(int initvalue) : t_Servo(initvalue, servo_command_device, servo_status_device) {}

t_Servo::t_Servo(int /*initvalue*/, const char *command_device, const char *status_device)
    : t_BaseServo(0, command_device)
{
    {
        // The real-time side expects this second position-0 record.
        t_BaseServo second(0, command_device);
        if (second.get_error() != 0)
            note_error(second.get_error());
    }
    rtf2 = open_device(status_device, O_RDWR | O_NONBLOCK);
}

t_Servo::~t_Servo()
{
    close_handle(rtf1);
    close_handle(rtf2);
}

int t_Servo::move(int startvalue, int endvalue, int time)
{
    msg.option = servo_option_timed;
    const hrtime_t from = servo_width(startvalue);
    const hrtime_t to = servo_width(endvalue);
    msg.data1 = from;
    msg.data2 = to;
    // In 64 bits: the same as a 32-bit product wherever that one does not overflow.
    my_time = static_cast<hrtime_t>(time) * 5;
    hrtime_t increment;
    if (my_time == 0)
        increment = from > to ? from - to : to - from;
    else if (startvalue > endvalue)
        increment = from / my_time - to / my_time;
    else
        increment = to / my_time - from / my_time;
    my_time = increment;
    msg.time = increment;
    send_msg();
    return 0;
}

int t_Servo::isdone_moving()
{
    char cdone = 'X';
    // Without a handle nothing can be waiting, and the open error is kept.
    if (rtf2 < 0)
        return 0;
    const ssize_t n = retry_on_eintr([&] { return ::read(rtf2, &cdone, 1); });
    // An empty pipe is the normal case, not a failure.
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        note_error(errno);
    return cdone == servo_status_done ? 1 : 0;
}

int t_Servo::wait_done(int timeout_ms)
{
    if (rtf2 < 0)
        return 0;
    // The clock is read only for a finite wait; 0 and negative go to poll as they are.
    const std::int64_t deadline =
        timeout_ms > 0 ? monotonic_ns() + static_cast<std::int64_t>(timeout_ms) * 1000000 : 0;
    int wait_ms = timeout_ms;
    for (;;) {
        pollfd ready{rtf2, POLLIN, 0};
        const int got = ::poll(&ready, 1, wait_ms);
        if (got == 0)
            return 0;
        if (got > 0) {
            char cdone = 'X';
            const ssize_t n = ::read(rtf2, &cdone, 1);
            if (n == 1 && cdone == servo_status_done)
                return 1;
            if (n == 0)
                return 0; // no writer is left to send a notice
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                note_error(errno);
                return 0;
            }
            // Any other byte is consumed, as isdone_moving does; keep waiting.
        } else if (errno != EINTR) {
            note_error(errno);
            return 0;
        }
        if (timeout_ms > 0) {
            // Round up, so poll never returns before the deadline.
            const std::int64_t left_ns = deadline - monotonic_ns();
            wait_ms = left_ns > 0 ? static_cast<int>((left_ns + 999999) / 1000000) : 0;
        }
    }
}

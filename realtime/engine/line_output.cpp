#include "line_output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

line_output::line_output(int out, const char *name, bool notes)
    : fd(out), who(name), note_drops(notes)
{
    struct stat st {};
    if (fstat(out, &st) != 0)
        return; // nothing open there: every line is dropped
    if (S_ISSOCK(st.st_mode)) {
        how = kind::socket; // a journal stream: MSG_DONTWAIT on each send
        return;
    }
    if (!S_ISFIFO(st.st_mode) && !S_ISCHR(st.st_mode))
        return; // a file: O_NONBLOCK means nothing there, a write goes to the page cache
    // A handle of our own, so that O_NONBLOCK does not reach the shell or
    // whoever else shares the terminal or pipe.
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", out);
    own = open(self, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (own >= 0) {
        fd = own;
        return;
    }
    // No reader left to reopen for, or no /proc: the shared handle it is.
    const int flags = fcntl(out, F_GETFL);
    if (flags >= 0)
        fcntl(out, F_SETFL, flags | O_NONBLOCK);
}

line_output::~line_output()
{
    if (own >= 0)
        close(own);
}

bool line_output::put(const char *text, std::size_t len)
{
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = how == kind::socket
                              ? send(fd, text + done, len - done, MSG_DONTWAIT | MSG_NOSIGNAL)
                              : write(fd, text + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    if (done == 0)
        return false;
    // Part of the line went out: the rest must follow before anything else.
    tail_len = len - done;
    std::memcpy(tail, text + done, tail_len);
    return true;
}

bool line_output::flush_tail()
{
    if (tail_len == 0)
        return true;
    char rest[max_line];
    const std::size_t len = tail_len;
    std::memcpy(rest, tail, len);
    tail_len = 0;
    if (!put(rest, len)) {
        tail_len = len;
        return false;
    }
    return tail_len == 0;
}

bool line_output::line(const char *format, ...)
{
    if (!flush_tail()) {
        ++lost;
        return false;
    }
    char text[max_line];
    if (note_drops && lost > 0) {
        const int n = std::snprintf(text, sizeof text,
                                    "%s: %llu lines of output dropped: nobody was reading\n", who,
                                    static_cast<unsigned long long>(lost));
        if (!put(text, static_cast<std::size_t>(n))) {
            ++lost;
            return false;
        }
        lost = 0;
        if (!flush_tail()) {
            ++lost;
            return false;
        }
    }
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text - 1, format, args);
    va_end(args);
    if (n < 0)
        n = 0;
    std::size_t len = static_cast<std::size_t>(n) < sizeof text - 1 ? static_cast<std::size_t>(n)
                                                                       : sizeof text - 2;
    if (len == 0 || text[len - 1] != '\n')
        text[len++] = '\n';
    if (!put(text, len)) {
        ++lost;
        return false;
    }
    return tail_len == 0;
}

#include "line_output.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

bool is_journal_stream(int fd)
{
    const char *stream = std::getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    struct stat st {};
    return stream != nullptr && std::sscanf(stream, "%llu:%llu", &dev, &ino) == 2 &&
           fstat(fd, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

void complain(const char *program, const char *format, ...)
{
    if (is_journal_stream(2))
        std::fputs("<3>", stderr);
    else
        std::fprintf(stderr, "%s: ", program);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

line_output::line_output(int out, const char *name, bool notes)
    : fd(out), journal(is_journal_stream(out)), who(name), note_drops(notes)
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

std::size_t line_output::lead(char *text, severity level) const
{
    const int n = journal ? std::snprintf(text, max_line, "<%d>", static_cast<int>(level))
                          : std::snprintf(text, max_line, "%s: ", who);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

// Ends text (len bytes, at most max_line - 1) with a newline and writes it,
// after the note of what was dropped before it, if one is owed.
bool line_output::emit(char *text, std::size_t len)
{
    if (!flush_tail()) {
        ++lost;
        return false;
    }
    if (note_drops && lost > 0) {
        char note[max_line];
        std::size_t n = lead(note, severity::warning);
        const int m = std::snprintf(note + n, sizeof note - n,
                                    "%llu lines of output dropped: nobody was reading\n",
                                    static_cast<unsigned long long>(lost));
        n += m > 0 ? static_cast<std::size_t>(m) : 0;
        if (!put(note, n < sizeof note ? n : sizeof note - 1)) {
            ++lost;
            return false;
        }
        lost = 0;
        if (!flush_tail()) {
            ++lost;
            return false;
        }
    }
    if (len == 0 || text[len - 1] != '\n')
        text[len++] = '\n';
    if (!put(text, len)) {
        ++lost;
        return false;
    }
    return tail_len == 0;
}

namespace {
// Length of what vsnprintf made of at most room - 1 bytes, leaving room for a newline.
std::size_t formatted(char *text, std::size_t room, const char *format, va_list args)
{
    const int n = std::vsnprintf(text, room - 1, format, args);
    if (n < 0)
        return 0;
    return static_cast<std::size_t>(n) < room - 1 ? static_cast<std::size_t>(n) : room - 2;
}
} // namespace

bool line_output::say(severity level, const char *format, ...)
{
    char text[max_line];
    const std::size_t n = lead(text, level);
    va_list args;
    va_start(args, format);
    const std::size_t len = n + formatted(text + n, sizeof text - n, format, args);
    va_end(args);
    return emit(text, len);
}

bool line_output::line(const char *format, ...)
{
    char text[max_line];
    va_list args;
    va_start(args, format);
    const std::size_t len = formatted(text, sizeof text, format, args);
    va_end(args);
    return emit(text, len);
}

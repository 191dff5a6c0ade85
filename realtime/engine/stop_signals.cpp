#include "stop_signals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {
constexpr int stops[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

const char *signal_name(std::uint32_t sig)
{
    switch (sig) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "SIGQUIT";
    }
}
} // namespace

void open_standard_fds()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // The lowest free number is this one, since those below are open.
        const int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
}

stop_signals::stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : stops)
        sigaddset(&set, sig);
    // Blocked first, so that restoring the default cannot let one kill us.
    sigprocmask(SIG_BLOCK, &set, nullptr);
    for (int sig : stops)
        std::signal(sig, SIG_DFL);
    std::signal(SIGPIPE, SIG_IGN); // a reader gone is a failed write, not a death
    fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

stop_signals::~stop_signals()
{
    if (fd >= 0)
        close(fd);
}

bool stop_signals::pause(std::int64_t ns)
{
    if (ns < 0)
        ns = 0;
    pollfd p{fd, POLLIN, 0};
    const timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (ppoll(&p, 1, &ts, nullptr) < 0 && errno == EINTR) {
    }
    return !pending();
}

bool stop_signals::pending() const
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

bool stop_signals::take(const char *&name, pid_t &sender)
{
    signalfd_siginfo why{};
    ssize_t n;
    do {
        n = read(fd, &why, sizeof why);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof why))
        return false;
    name = signal_name(why.ssi_signo);
    sender = static_cast<pid_t>(why.ssi_pid);
    return true;
}

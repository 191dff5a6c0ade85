#include "engine.h"

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "notify.h"
#include "servo.h"

namespace {
constexpr std::int64_t ns_per_s = 1000000000;

sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&set, sig);
    return set;
}

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

std::int64_t monotonic_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * ns_per_s + ts.tv_nsec;
}

rt_engine::rt_engine(const engine_config &config, line_output &o, line_output &e)
    : cfg(config), out(o), err(e), frame_ns(static_cast<std::int64_t>(config.frame_ms) * 1000000)
{
}

rt_engine::~rt_engine()
{
    if (trace && trace->dropped() > 0)
        err.line("%s: %s: %" PRIu64 " rows dropped: the trace could not be written at once",
                 cfg.program, cfg.trace, trace->dropped());
    trace.reset();
    for (int fd : {trace_fd, signals})
        if (fd >= 0)
            close(fd);
}

bool rt_engine::fail(const char *what, const char *detail)
{
    err.line("%s: %s: %s", cfg.program, what, detail);
    return false;
}

bool rt_engine::prepare()
{
    // Signals wait in a descriptor from here on, so every way out that can
    // be caught goes through the destructors that remove the pipes.
    const sigset_t stops = stop_signals();
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    signals = signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signals < 0)
        return fail("signalfd", std::strerror(errno));

    std::string why;
    if (!lock.take(servo_command_device, why)) {
        err.line("%s: %s", cfg.program, why.c_str());
        return false;
    }
    if (!status_pipe.open(servo_status_device))
        return fail("status pipe", status_pipe.error().c_str());
    if (!command_pipe.open(servo_command_device))
        return fail("command pipe", command_pipe.error().c_str());

    start = monotonic_ns();
    if (cfg.trace != nullptr) {
        // Appending, so that a trace cut short from outside goes on from its end.
        trace_fd = open(cfg.trace, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        if (trace_fd < 0)
            return fail(cfg.trace, std::strerror(errno));
        trace.emplace(trace_fd, cfg.program, false);
        // Whole before anyone can see the pipes: a reader never finds it empty.
        if (!trace->line("t_ms,width_ns"))
            return fail(cfg.trace, "cannot write the header");
    }
    return true;
}

bool rt_engine::publish()
{
    // Status first: a client that sees the command pipe finds both.
    if (!status_pipe.publish())
        return fail("status pipe", status_pipe.error().c_str());
    if (!command_pipe.publish())
        return fail("command pipe", command_pipe.error().c_str());
    notify_service_manager("READY=1");
    return true;
}

int rt_engine::run(servo_output &o)
{
    output = &o;
    pollfd fds[2] = {{command_pipe.fd(), POLLIN, 0}, {signals, POLLIN, 0}};
    for (;;) {
        std::int64_t when = 0;
        if (drive_pending)
            when = next_drive;
        else if (model.ramping())
            when = ramp_deadline;
        // A frame to keep: sleep to it and no further, then see what came
        // meanwhile. Records and signals wait at most that long; and the servo
        // would not be given a new width sooner anyway.
        if (when != 0) {
            const timespec at{static_cast<time_t>(when / ns_per_s), static_cast<long>(when % ns_per_s)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
            }
        }
        std::int64_t now = monotonic_ns();
        if (poll(fds, 2, when != 0 ? 0 : -1) < 0) {
            if (errno == EINTR)
                continue;
            fail("poll", std::strerror(errno));
            return 1;
        }
        if (when == 0)
            now = monotonic_ns();
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo why{};
            if (read(signals, &why, sizeof why) == static_cast<ssize_t>(sizeof why))
                out.line("%s: %s from pid %u: stopping", cfg.program, signal_name(why.ssi_signo),
                         why.ssi_pid);
            notify_service_manager("STOPPING=1");
            output->stop();
            return 0;
        }
        if (when != 0 && !on_deadline(now))
            return 1;
        if ((fds[0].revents & POLLIN) && !on_input(now))
            return 1;
    }
}

bool rt_engine::on_input(std::int64_t now)
{
    bool changed = false;
    unsigned char buf[4096];
    for (;;) {
        const ssize_t n = read(command_pipe.fd(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        const unsigned char *p = buf;
        std::size_t len = static_cast<std::size_t>(n);
        my_msg_struct rec{};
        while (splitter.next(p, len, rec)) {
            const bool was_ramping = model.ramping();
            const servo_model::outcome what = model.apply(rec);
            if (what == servo_model::outcome::unknown) {
                err.line("%s: ignored a record with unknown option 0x%02x", cfg.program,
                         static_cast<unsigned char>(rec.option));
                continue;
            }
            output->record(rec, what, model, was_ramping);
            changed = true;
        }
    }
    if (!changed)
        return true;
    std::int64_t at = now;
    if (now >= next_drive) {
        if (!drive(now, now))
            return false;
    } else {
        at = next_drive;
        drive_pending = true;
    }
    if (model.ramping())
        ramp_deadline = at + frame_ns;
    return true;
}

bool rt_engine::on_deadline(std::int64_t now)
{
    if (drive_pending && now >= next_drive && !drive(next_drive, now))
        return false;
    if (model.ramping() && !drive_pending && now >= ramp_deadline) {
        const std::int64_t at = ramp_deadline;
        ramp_deadline += frame_ns;
        model.tick();
        if (!drive(at, now))
            return false;
    }
    return true;
}

bool rt_engine::drive(std::int64_t at, std::int64_t now)
{
    hrtime_t produced = model.width();
    if (!output->drive(model.width(), model, produced))
        return false;
    drive_pending = false;
    next_drive = at + frame_ns;
    if (trace && (!traced_any || produced != traced)) {
        traced_any = true;
        traced = produced;
        trace->line("%.3f,%" PRId64, static_cast<double>(now - start) / 1e6,
                    static_cast<std::int64_t>(produced));
    }
    if (model.take_done())
        answer_done();
    return true;
}

void rt_engine::answer_done()
{
    const char done = servo_status_done;
    ssize_t n;
    do {
        n = write(status_pipe.fd(), &done, 1);
    } while (n < 0 && errno == EINTR);
    if (n != 1) {
        err.line("%s: could not send 'D': %s", cfg.program,
                 n < 0 ? std::strerror(errno) : "short write");
        return;
    }
    output->done(model);
}

#include "engine.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <utility>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "instance_lock.h"
#include "service_manager.h"
#include "printable_arg.h"
#include "record_framer.h"
#include "repeated_report.h"
#include "servo.h"

namespace {
constexpr std::int64_t ns_per_s = 1000000000;

void sleep_until(std::int64_t when)
{
    const timespec at{static_cast<time_t>(when / ns_per_s), static_cast<long>(when % ns_per_s)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

// A path as it may be shown: no escape sequence reaches a terminal.
struct shown {
    char text[256];
    explicit shown(const std::string &path) { printable_arg(path.c_str(), text, sizeof text); }
};
} // namespace

std::int64_t monotonic_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * ns_per_s + ts.tv_nsec;
}

struct rt_engine::served_servo {
    servo_setup setup;
    shown name; // the command pipe, for messages
    instance_lock lock; // first made, last gone: it guards the pipes
    served_pipe command, status;
    int trace_fd = -1;
    std::optional<line_output> trace;
    bool traced_any = false;
    hrtime_t traced = 0;

    record_framer framer;
    servo_model model;
    servo_output *output = nullptr;
    bool owed = false; // the model's width has not gone out yet
    std::uint64_t driven_in = 0; // the frame of the last try
    std::int64_t done_at = 0;    // 'D' owed once the end width is surely out; -1: time it
    // Idle release: after idle_release_ns without a record or a ramp, the
    // pulses end at a frame and the output is disabled at the next.
    enum class idle { holding, ending, disabling } idling = idle::holding;
    std::int64_t last_active = 0;
    repeated_report unknown, stray, undelivered;
    char last_unknown = 0;

    explicit served_servo(servo_setup s) : setup(std::move(s)), name(setup.command) {}
    ~served_servo()
    {
        trace.reset();
        if (trace_fd >= 0)
            close(trace_fd);
    }
};

rt_engine::rt_engine(const engine_config &config, std::vector<servo_setup> servos, stop_signals &stops,
                     line_output &o, line_output &e)
    : cfg(config), signals(stops), out(o), err(e),
      frame_ns(static_cast<std::int64_t>(config.frame_ms) * 1000000)
{
    slots.reserve(servos.size());
    for (servo_setup &s : servos)
        slots.push_back(std::make_unique<served_servo>(std::move(s)));
}

rt_engine::~rt_engine()
{
    for (const auto &s : slots)
        if (s->trace && s->trace->dropped() > 0)
            err.say(severity::warning, "%s: %" PRIu64 " rows dropped: the trace could not be written at once",
                    shown(s->setup.trace).text, s->trace->dropped());
}

served_pipe &rt_engine::command(std::size_t i) { return slots[i]->command; }
served_pipe &rt_engine::status(std::size_t i) { return slots[i]->status; }

bool rt_engine::prepare()
{
    start = monotonic_ns();
    for (const auto &s : slots) {
        std::string why;
        if (!s->lock.take(s->setup.command, why)) {
            err.say(severity::error, "%s", shown(why).text);
            return false;
        }
    }
    for (const auto &s : slots) {
        if (s->setup.trace.empty())
            continue;
        const char *path = s->setup.trace.c_str();
        // Only a regular file: opening a pipe nobody reads would wait for
        // one, and a device is no place for a trace. Appending, so that a
        // trace cut short from outside goes on from its end.
        struct stat st {};
        int fd = -1;
        if (stat(path, &st) != 0 || S_ISREG(st.st_mode))
            fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0644);
        else
            errno = 0;
        if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            close(fd);
            fd = -1;
            errno = 0;
        }
        if (fd < 0) {
            err.say(severity::error, "%s: %s", shown(s->setup.trace).text,
                    errno != 0 ? std::strerror(errno) : "not a regular file; a trace must be one");
            return false;
        }
        s->trace_fd = fd;
        s->trace.emplace(fd, cfg.program, false);
        // Whole before anyone can see the pipes: a reader never finds it empty.
        if (!s->trace->line("t_ms,width_ns")) {
            err.say(severity::error, "%s: cannot write the header", shown(s->setup.trace).text);
            return false;
        }
    }
    // Under a service manager the pipes are kept in its store across a
    // restart, and handed back here: clients holding them go on.
    std::vector<handed_fd> handed = take_handed_fds();
    auto handed_for = [&](const std::string &name) {
        for (handed_fd &h : handed) {
            if (h.name == name && h.fd >= 0)
                return std::exchange(h.fd, -1);
        }
        return -1;
    };
    const bool keep = service_manager_present();
    for (std::size_t i = 0; i < slots.size(); ++i) {
        served_servo &s = *slots[i];
        const std::string n = std::to_string(i);
        if (keep) {
            s.status.keep();
            s.command.keep();
        }
        if (!s.status.open(s.setup.status, handed_for("status" + n))) {
            err.say(severity::error, "status pipe: %s", shown(s.status.error()).text);
            return false;
        }
        if (!s.command.open(s.setup.command, handed_for("command" + n))) {
            err.say(severity::error, "command pipe: %s", shown(s.command.error()).text);
            return false;
        }
        if (s.command.taken_back())
            out.say(severity::info, "%s: the pipes of the server before, taken back: their clients go on",
                    s.name.text);
    }
    for (const handed_fd &h : handed) { // of servos no longer served
        if (h.fd >= 0)
            close(h.fd);
    }
    return true;
}

void rt_engine::store_pipes()
{
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const served_servo &s = *slots[i];
        const std::string n = std::to_string(i);
        const std::pair<const char *, const served_pipe *> pipes[] = {{"command", &s.command},
                                                                      {"status", &s.status}};
        for (const auto &[role, pipe] : pipes) {
            const std::string name = role + n;
            // A pipe stored before that is not ours any more goes first.
            if (!pipe->taken_back())
                notify_service_manager(("FDSTOREREMOVE=1\nFDNAME=" + name).c_str());
            const int fd = pipe->fd();
            notify_service_manager(("FDSTORE=1\nFDNAME=" + name).c_str(), &fd, 1);
        }
    }
}

void rt_engine::started_at(std::size_t i, hrtime_t width)
{
    served_servo &s = *slots[i];
    my_msg_struct rec{};
    rec.option = servo_option_set;
    rec.data1 = width;
    s.model.apply(rec);
    trace_width(s, width, monotonic_ns());
}

bool rt_engine::publish()
{
    for (const auto &s : slots) {
        // Status first: a client that sees the command pipe finds both.
        for (served_pipe *p : {&s->status, &s->command}) {
            if (!p->publish()) {
                err.say(severity::error, "%s", shown(p->error()).text);
                return false;
            }
        }
    }
    if (service_manager_present())
        store_pipes();
    notify_service_manager("READY=1");
    return true;
}

bool rt_engine::frame_work_left() const
{
    for (const auto &s : slots)
        if (s->owed || s->model.ramping() || s->idling != served_servo::idle::holding)
            return true;
    return false;
}

std::int64_t rt_engine::dones_due() const
{
    std::int64_t due = 0;
    for (const auto &s : slots)
        if (s->done_at > 0)
            due = earlier(due, s->done_at);
    return due;
}

// When an idle release of s is due, or 0 when none can come.
std::int64_t rt_engine::idle_release_due(const served_servo &s)
{
    if (s.setup.idle_release_ns > 0 && s.idling == served_servo::idle::holding && s.output->pulsing())
        return s.last_active + s.setup.idle_release_ns;
    return 0;
}

std::int64_t rt_engine::timers_due() const
{
    std::int64_t due = reports_due();
    for (const auto &s : slots)
        due = earlier(due, idle_release_due(*s));
    return due;
}

void rt_engine::on_timers(std::int64_t now)
{
    for (const auto &s : slots)
        if (const std::int64_t due = idle_release_due(*s);
            due != 0 && now >= due && !s->owed && !s->model.ramping())
            s->idling = served_servo::idle::ending; // at the next frame
    if (const std::int64_t due = reports_due(); due != 0 && now >= due)
        say_reports(now);
}

int rt_engine::run(servo_output *const *outputs)
{
    std::vector<pollfd> fds;
    fds.reserve(slots.size() + 1);
    for (std::size_t i = 0; i < slots.size(); ++i) {
        slots[i]->output = outputs[i];
        fds.push_back({slots[i]->command.fd(), POLLIN, 0});
    }
    fds.push_back({signals.descriptor(), POLLIN, 0});
    for (const auto &s : slots)
        s->last_active = monotonic_ns(); // a width held from the start counts from here
    for (;;) {
        const std::int64_t before = monotonic_ns();
        const std::int64_t wake = earlier(earlier(frame_work_left() ? next_tick : 0, dones_due()), timers_due());
        int ready;
        std::int64_t now;
        if (before < next_tick && wake != 0 && wake <= next_tick && every_servo_driven()) {
            // Every servo has its width for this frame, so nothing can act
            // before the next: sleep to what is due as exactly as the clock
            // allows (as cyclictest does), then see what came meanwhile.
            sleep_until(wake);
            now = monotonic_ns(); // the wake-up, before the look around
            ready = poll(fds.data(), fds.size(), 0);
        } else {
            // A record may act at once: wait for input and the deadline alike.
            const std::int64_t left = wake == 0 ? 0 : wake > before ? wake - before : 0;
            const timespec timeout{static_cast<time_t>(left / ns_per_s), static_cast<long>(left % ns_per_s)};
            ready = ppoll(fds.data(), fds.size(), wake == 0 ? nullptr : &timeout, nullptr);
            now = monotonic_ns();
        }
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            err.say(severity::error, "poll: %s", std::strerror(errno));
            return 1;
        }
        if (fds.back().revents & POLLIN) {
            const char *name = "a stop signal";
            pid_t sender = 0;
            if (signals.take(name, sender))
                out.say(severity::info, "%s from pid %d: stopping", name, static_cast<int>(sender));
            notify_service_manager("STOPPING=1");
            for (const auto &s : slots)
                s->output->stop();
            say_reports(now + repeated_report::interval_ns);
            return 0;
        }
        for (std::size_t i = 0; i < slots.size(); ++i) {
            served_servo &s = *slots[i];
            if (fds[i].revents & POLLIN) {
                read_input(s, true, now);
            } else if (s.framer.held() > 0) {
                s.framer.drained(); // what it waited for never came
                read_input(s, false, now);
            }
            if (const std::uint64_t n = s.framer.take_dropped(); n > 0 && s.stray.count(now, n))
                err.say(severity::warning, "%s: %" PRIu64 " bytes dropped: not whole records", s.name.text,
                        s.stray.take(now));
        }
        for (const auto &s : slots)
            if (s->done_at > 0 && now >= s->done_at)
                answer_done(*s, now);
        on_timers(now);
        if (now >= next_tick) {
            if (frame_work_left() && !tick(now))
                return 1;
        } else {
            // Within a running frame: a servo not yet driven in it takes its
            // new width now, so records that came within one frame act in it.
            for (const auto &s : slots)
                if (s->owed && s->driven_in != frame_no && !drive(*s, now))
                    return 1;
        }
        settle_dones();
    }
}

bool rt_engine::every_servo_driven() const
{
    for (const auto &s : slots)
        if (s->driven_in != frame_no)
            return false;
    return true;
}

// The 'D's of ramps that ended in this frame, one period after its last write:
// one wake-up for all of them.
void rt_engine::settle_dones()
{
    std::int64_t written = 0;
    for (const auto &s : slots) {
        if (s->done_at != -1)
            continue;
        if (written == 0)
            written = monotonic_ns();
        s->done_at = written + s->output->settle_ns();
    }
}

void rt_engine::read_input(served_servo &s, bool fill, std::int64_t now)
{
    // One read a wake-up, whatever is waiting: a flood of input cannot hold
    // up the frames or a stop signal, and a writer that outpaces us waits.
    if (fill)
        s.framer.fill(s.command.fd());
    my_msg_struct rec;
    while (s.framer.next(rec)) {
        const bool was_ramping = s.model.ramping();
        const servo_model::outcome what = s.model.apply(rec);
        if (what == servo_model::outcome::unknown) {
            s.last_unknown = rec.option;
            if (s.unknown.count(now)) {
                const std::uint64_t n = s.unknown.take(now);
                if (n == 1)
                    err.say(severity::warning, "%s: ignored a record with unknown option 0x%02x",
                            s.name.text, static_cast<unsigned char>(rec.option));
                else
                    err.say(severity::warning, "%s: ignored %" PRIu64 " records with unknown options, the last 0x%02x",
                            s.name.text, n, static_cast<unsigned char>(rec.option));
            }
            continue;
        }
        s.output->record(rec, what, s.model, was_ramping, now);
        s.owed = true;
        s.done_at = 0; // a newer record: the end it was owed for may never be out
        s.last_active = now;
    }
}

bool rt_engine::tick(std::int64_t now)
{
    // Late by more than half a frame (a stall, an idle clock): the frames
    // start again from now. Missed frames are never made up, so no servo
    // moves faster than one step a frame.
    const std::int64_t frame_start = now - next_tick > frame_ns / 2 ? now : next_tick;
    next_tick = frame_start + frame_ns;
    ++frame_no;
    for (const auto &s : slots) {
        if (!s->owed && !s->model.ramping()) {
            if (s->idling != served_servo::idle::holding && !release_step(*s, now))
                return false;
            continue;
        }
        if (!s->owed)
            s->model.tick();
        if (!drive(*s, now))
            return false;
    }
    return true;
}

bool rt_engine::release_step(served_servo &s, std::int64_t now)
{
    const bool finish = s.idling == served_servo::idle::disabling;
    switch (s.output->idle_release(finish, now)) {
    case drive_result::gone:
        return false;
    case drive_result::failed: // reported; tried again after another idle spell
        s.idling = served_servo::idle::holding;
        s.last_active = now;
        return true;
    case drive_result::ok:
        break;
    }
    if (finish) {
        s.idling = served_servo::idle::holding; // nothing pulsing: no timer until the next record
    } else {
        s.idling = served_servo::idle::disabling;
        trace_width(s, 0, now);
    }
    return true;
}

bool rt_engine::drive(served_servo &s, std::int64_t now)
{
    s.driven_in = frame_no; // at most one width a frame, gone out or not
    hrtime_t produced = s.model.width();
    switch (s.output->drive(s.model.width(), s.model, produced, now)) {
    case drive_result::gone:
        return false;
    case drive_result::failed:
        s.owed = true; // the ramp waits for the hardware
        return true;
    case drive_result::ok:
        break;
    }
    s.owed = false;
    s.idling = served_servo::idle::holding;
    s.last_active = now;
    trace_width(s, produced, now);
    if (s.model.take_done()) {
        if (s.output->settle_ns() > 0)
            s.done_at = -1; // timed from the frame's last write: settle_dones()
        else
            answer_done(s, now);
    }
    return true;
}

void rt_engine::trace_width(served_servo &s, hrtime_t width, std::int64_t now)
{
    if (!s.trace || (s.traced_any && width == s.traced))
        return;
    s.traced_any = true;
    s.traced = width;
    s.trace->line("%.3f,%" PRId64, static_cast<double>(now - start) / 1e6, static_cast<std::int64_t>(width));
}

void rt_engine::answer_done(served_servo &s, std::int64_t now)
{
    s.done_at = 0;
    const char done = servo_status_done;
    ssize_t n;
    do {
        n = write(s.status.fd(), &done, 1);
    } while (n < 0 && errno == EINTR);
    if (n == 1) {
        s.output->done(s.model);
        return;
    }
    if (s.undelivered.count(now)) {
        const std::uint64_t lost = s.undelivered.take(now);
        err.say(severity::warning, "%s: could not send 'D'%s: %s", shown(s.setup.status).text,
                lost > 1 ? " (nor the ones before, since the last report)" : "",
                n < 0 ? std::strerror(errno) : "short write");
    }
}

std::int64_t rt_engine::reports_due() const
{
    std::int64_t due = 0;
    for (const auto &s : slots) {
        for (const repeated_report *r : {&s->unknown, &s->stray, &s->undelivered})
            due = earlier(due, r->due());
        if (s->output != nullptr)
            due = earlier(due, s->output->reports_due());
    }
    return due;
}

void rt_engine::say_reports(std::int64_t now)
{
    for (const auto &s : slots) {
        if (s->unknown.owed(now))
            err.say(severity::warning, "%s: ignored %" PRIu64 " more records with unknown options, the last 0x%02x",
                    s->name.text, s->unknown.take(now), static_cast<unsigned char>(s->last_unknown));
        if (s->stray.owed(now))
            err.say(severity::warning, "%s: %" PRIu64 " more bytes dropped: not whole records", s->name.text,
                    s->stray.take(now));
        if (s->undelivered.owed(now))
            err.say(severity::warning, "%s: could not send %" PRIu64 " more 'D's: nobody reads them",
                    shown(s->setup.status).text, s->undelivered.take(now));
        if (s->output != nullptr && s->output->reports_due() != 0)
            s->output->say_reports(now);
    }
}

// servosim: stands in for the RT-FIFO driver and the real-time pulse module.
// Reads command records from the command pipe, drives a simulated pulse width
// in 50 Hz frames and answers finished ramps with 'D' on the status pipe.
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "gauge.h"
#include "fifo.h"
#include "parse_position.h"
#include "servo.h"
#include "servo_model.h"

namespace {

constexpr int default_frame_ms = 20;
constexpr int max_frame_ms = 10000;
constexpr int progress_lines_per_ramp = 8;

struct options {
    int frame_ms = default_frame_ms;
    const char *trace = nullptr;
};

void usage(std::FILE *to)
{
    std::fputs("usage: servosim [--frame-ms MS] [--trace FILE]\n", to);
}

void help()
{
    usage(stdout);
    std::printf("\n"
                "Simulate the real-time servo side on named pipes:\n"
                "  commands from %s, 'D' to %s when a timed move ends.\n"
                "  --frame-ms MS  frame length, default %d (50 Hz)\n"
                "  --trace FILE   write a CSV of every width change (t_ms,width_ns)\n"
                "Stops on SIGINT or SIGTERM and removes the pipes it made.\n",
                servo_command_device, servo_status_device, default_frame_ms);
}

constexpr int keep_running = -1;

// keep_running, or the status to exit with at once.
int parse_args(int argc, char **argv, options &opt)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            help();
            return 0;
        }
        if ((a == "--frame-ms" || a == "--trace") && i + 1 >= argc) {
            std::fprintf(stderr, "servosim: %s needs a value\n", a.c_str());
            return 2;
        }
        if (a == "--frame-ms") {
            int ms = 0;
            if (!parse_position(argv[++i], &ms) || ms < 1 || ms > max_frame_ms) {
                std::fprintf(stderr, "servosim: invalid frame length '%s' (1..%d ms)\n", argv[i],
                             max_frame_ms);
                return 2;
            }
            opt.frame_ms = ms;
        } else if (a == "--trace") {
            opt.trace = argv[++i];
        } else {
            std::fprintf(stderr, "servosim: unknown argument '%s'\n", argv[i]);
            usage(stderr);
            return 2;
        }
    }
    return keep_running;
}

std::int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

timespec to_timespec(std::int64_t ns)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

class simulator {
public:
    simulator(int status_fd, std::FILE *trace)
        : status(status_fd), trace_file(trace), start(now_ns())
    {
        if (trace_file != nullptr)
            std::fputs("t_ms,width_ns\n", trace_file);
    }

    // Applies every record the bytes complete. True if a ramp (re)started.
    bool feed(const unsigned char *data, std::size_t len)
    {
        bool restarted = false;
        my_msg_struct rec{};
        while (splitter.next(data, len, rec))
            restarted = handle(rec) || restarted;
        return restarted;
    }

    void frame()
    {
        if (!model.tick())
            return;
        ++frames_done;
        record_width();
        const bool finished = !model.ramping();
        if (finished || frames_done % progress_every == 0)
            show(finished ? "D  done " : "   ramp ");
        answer_done();
    }

    bool ramping() const { return model.ramping(); }

private:
    int status;
    std::FILE *trace_file;
    std::int64_t start;
    record_splitter splitter;
    servo_model model;
    std::uint64_t frames_done = 0;
    std::uint64_t progress_every = 1;
    std::optional<hrtime_t> traced; // last width written to the trace

    bool handle(const my_msg_struct &rec)
    {
        const bool was_ramping = model.ramping();
        const servo_model::outcome out = model.apply(rec);
        if (out == servo_model::outcome::unknown) {
            const unsigned char letter = static_cast<unsigned char>(rec.option);
            std::fprintf(stderr, "servosim: ignored a record with unknown option 0x%02x\n", letter);
            return false;
        }
        if (was_ramping)
            std::printf("   (ramp replaced by a newer command)\n");
        record_width();

        if (out == servo_model::outcome::set) {
            show("N  set  ");
            return false;
        }
        if (out == servo_model::outcome::ramp_done_at_once) {
            show("T  jump ");
            answer_done();
            return false;
        }
        const std::uint64_t frames = model.frames_left();
        std::printf("T  ramp  %s\n         -> pos %.1f (%.3f ms), %" PRId64 " ns per frame, %" PRIu64
                    " frames\n",
                    describe_width(model.width()).c_str(), width_to_position(model.target()),
                    static_cast<double>(model.target()) / 1e6,
                    static_cast<std::int64_t>(model.increment()), frames);
        frames_done = 0;
        progress_every = frames / progress_lines_per_ramp > 1 ? frames / progress_lines_per_ramp : 1;
        return true;
    }

    void show(const char *what)
    {
        std::printf("%s %s\n", what, describe_width(model.width()).c_str());
    }

    // One row per change of the width.
    void record_width()
    {
        if (trace_file == nullptr || traced == model.width())
            return;
        traced = model.width();
        std::fprintf(trace_file, "%.3f,%" PRId64 "\n", static_cast<double>(now_ns() - start) / 1e6,
                     static_cast<std::int64_t>(model.width()));
    }

    void answer_done()
    {
        if (!model.take_done())
            return;
        const char done = servo_status_done;
        ssize_t n;
        do {
            n = write(status, &done, 1);
        } while (n < 0 && errno == EINTR);
        if (n != 1)
            std::fprintf(stderr, "servosim: could not send 'D': %s\n",
                         n < 0 ? std::strerror(errno) : "short write");
    }
};

// Reads what is waiting on the command pipe. True if a ramp (re)started.
bool drain(int fd, simulator &sim)
{
    bool restarted = false;
    unsigned char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            restarted = sim.feed(buf, static_cast<std::size_t>(n)) || restarted;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return restarted;
    }
}

int run(const options &opt)
{
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
    const int sigfd = signalfd(-1, &stop_signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (sigfd < 0) {
        std::fprintf(stderr, "servosim: signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    sim_fifo command, status;
    if (!command.open(servo_command_device)) {
        std::fprintf(stderr, "servosim: %s\n", command.error().c_str());
        return 1;
    }
    if (flock(command.fd(), LOCK_EX | LOCK_NB) != 0) {
        std::fprintf(stderr, "servosim: %s: another servosim is already serving it\n",
                     servo_command_device);
        return 1;
    }
    if (!status.open(servo_status_device) || !status.publish() || !command.publish()) {
        std::fprintf(stderr, "servosim: %s\n",
                     (status.error().empty() ? command.error() : status.error()).c_str());
        return 1;
    }

    std::FILE *trace = nullptr;
    if (opt.trace != nullptr) {
        trace = std::fopen(opt.trace, "we");
        if (trace == nullptr) {
            std::fprintf(stderr, "servosim: %s: %s\n", opt.trace, std::strerror(errno));
            return 1;
        }
        setvbuf(trace, nullptr, _IOLBF, 0);
    }

    std::printf("servosim: commands on %s, status on %s, %d ms frames\n", servo_command_device,
                servo_status_device, opt.frame_ms);
    simulator sim(status.fd(), trace);
    const std::int64_t frame_ns = static_cast<std::int64_t>(opt.frame_ms) * 1000000;
    std::int64_t deadline = 0;
    for (;;) {
        if (sim.ramping()) {
            // Absolute deadlines: a slow frame does not push the rest back.
            const timespec at = to_timespec(deadline);
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
            }
            deadline += frame_ns;
        }
        pollfd fds[2] = {{command.fd(), POLLIN, 0}, {sigfd, POLLIN, 0}};
        if (poll(fds, 2, sim.ramping() ? 0 : -1) < 0 && errno != EINTR) {
            std::fprintf(stderr, "servosim: poll: %s\n", std::strerror(errno));
            break;
        }
        if (fds[1].revents & POLLIN)
            break; // SIGINT or SIGTERM
        const bool restarted = (fds[0].revents & POLLIN) && drain(command.fd(), sim);
        if (restarted)
            deadline = now_ns() + frame_ns;
        else
            sim.frame();
    }
    std::printf("servosim: stopped\n");
    if (trace != nullptr)
        std::fclose(trace);
    close(sigfd);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    options opt;
    if (const int rc = parse_args(argc, argv, opt); rc != keep_running)
        return rc;
    return run(opt);
}

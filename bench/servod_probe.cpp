// The client side of bench/servod.sh: sends records to servod (and to the
// floor), watches what reaches the duty cycle file, and turns traces and
// cyclictest's histogram into the same figures (nearest-rank percentiles).
//
//   ramp CMD STATUS FRAMES FRAME_MS OFFSET_MS
//                                        one 'T' of FRAMES frames, sent at a whole
//                                        CLOCK_MONOTONIC second + OFFSET_MS; waits for 'D'
//   lateness TRACE FRAME_MS FRAMES       each frame's wake-up against its deadline, us,
//                                        over one or more ramps of FRAMES frames
//   histogram FILE...                    the same figures from cyclictest -h
//   latency N FRAME_MS CMD_A FILE_A CMD_B FILE_B
//                                        record written -> duty cycle file closed,
//                                        A and B alternately, N each
//   load CMD STATUS ROUNDS SETS FRAMES FRAME_MS
//                                        every kind of record, ROUNDS times
//   burst ROUNDS FRAMES FRAME_MS SERVOS PID_A DIR_A PID_B DIR_B
//                                        a ramp of FRAMES frames on every servo at
//                                        once, A and B side by side, ROUNDS times;
//                                        each frame's deadline to its first and
//                                        last width written
//   together DIR FRAMES                  one such ramp, waiting for every 'D'
// A DIR holds cmdN and statusN pipes (N from 0, as many as there are) and
// the files pwm/pwmchip0/pwmN/duty_cycle, N < SERVOS.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

std::int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void sleep_until(std::int64_t when)
{
    const timespec ts{static_cast<time_t>(when / 1000000000), static_cast<long>(when % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "servod_probe: %s: %s\n", what, errno != 0 ? std::strerror(errno) : "failed");
    std::exit(1);
}

int open_or_die(const char *path, int flags)
{
    const int fd = open(path, flags | O_CLOEXEC);
    if (fd < 0)
        die(path);
    return fd;
}

void send(int fd, char option, std::int64_t d1, std::int64_t d2 = 0, std::int64_t t = 0)
{
    unsigned char rec[28] = {}; // gap bytes zero, as the library sends them
    rec[0] = static_cast<unsigned char>(option);
    std::memcpy(rec + 4, &d1, 8);
    std::memcpy(rec + 12, &d2, 8);
    std::memcpy(rec + 20, &t, 8);
    if (write(fd, rec, sizeof rec) != static_cast<ssize_t>(sizeof rec))
        die("write record");
}

// Waits for one 'D' on the status pipe. servod holds the pipe open, so an
// end of file means it has gone.
bool await_done(int status, int timeout_ms)
{
    pollfd p{status, POLLIN, 0};
    char c = 0;
    while (poll(&p, 1, timeout_ms) > 0) {
        const ssize_t n = read(status, &c, 1);
        if (n == 0)
            return false;
        if (n == 1 && c == 'D')
            return true;
    }
    return false;
}

// Nearest rank, the same rule for every figure printed.
std::int64_t rank(const std::vector<std::int64_t> &sorted, double p)
{
    const auto n = static_cast<double>(sorted.size());
    const auto r = static_cast<std::size_t>(std::ceil(p * n));
    return sorted[r == 0 ? 0 : r - 1];
}

void print_figures(std::vector<std::int64_t> v, double scale)
{
    if (v.empty()) {
        errno = 0;
        die("no samples");
    }
    std::sort(v.begin(), v.end());
    std::printf("%zu %.1f %.1f %.1f\n", v.size(), static_cast<double>(rank(v, 0.5)) / scale,
                static_cast<double>(rank(v, 0.99)) / scale, static_cast<double>(v.back()) / scale);
}

int ramp(char **a)
{
    const int cmd = open_or_die(a[0], O_WRONLY);
    const int status = open_or_die(a[1], O_RDONLY | O_NONBLOCK);
    const long frames = std::atol(a[2]);
    const long frame_ms = std::atol(a[3]);
    const long offset_ms = std::atol(a[4]);
    // A whole second, so that cyclictest --secaligned starts its frames
    // offset_ms away from ours; at least 0.2 s ahead, so it is not missed.
    const std::int64_t s = 1000000000;
    const std::int64_t when = (now_ns() + s / 5) / s * s + s + offset_ms * 1000000;
    sleep_until(when);
    const std::int64_t step = 1000000 / frames;
    send(cmd, 'T', 1000000, 1000000 + frames * step, step);
    if (!await_done(status, static_cast<int>(2 * frames * frame_ms + 5000))) {
        errno = 0;
        die("no 'D' after the ramp");
    }
    return 0;
}

// Each ramp's first row is its start width, driven when the 'T' arrived;
// its deadlines are that instant + k frames (us in the trace).
int lateness(char **a)
{
    std::FILE *f = std::fopen(a[0], "r");
    if (f == nullptr)
        die(a[0]);
    const double frame_us = std::atof(a[1]) * 1000;
    const long frames = std::atol(a[2]);
    char line[128];
    std::vector<double> t_us;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        double t_ms = 0;
        if (std::sscanf(line, "%lf,", &t_ms) == 1) // not the header
            t_us.push_back(t_ms * 1000);
    }
    std::fclose(f);
    // The width servod was started with (--initial-us) comes before the ramps.
    const std::size_t ramp_rows = static_cast<std::size_t>(frames + 1);
    const std::size_t skip = t_us.size() % ramp_rows == 1 ? 1 : 0;
    if (t_us.size() <= skip || (t_us.size() - skip) % ramp_rows != 0) {
        std::fprintf(stderr, "servod_probe: %s: %zu rows, not ramps of %ld frames\n", a[0], t_us.size(), frames);
        return 1;
    }
    std::vector<std::int64_t> late;
    for (std::size_t r = skip; r < t_us.size(); ++r) {
        const std::size_t k = (r - skip) % ramp_rows;
        if (k != 0)
            late.push_back(std::llround(t_us[r] - t_us[r - k] - static_cast<double>(k) * frame_us));
    }
    print_figures(late, 1);
    return 0;
}

// cyclictest -h: "BUCKET_US COUNT" rows; overflows are counted at the maximum.
int histogram(int n, char **a)
{
    std::vector<std::int64_t> v;
    for (int i = 0; i < n; ++i) {
        std::FILE *f = std::fopen(a[i], "r");
        if (f == nullptr)
            die(a[i]);
        char line[128];
        long long max = -1, over = 0;
        while (std::fgets(line, sizeof line, f) != nullptr) {
            long long us = 0, count = 0;
            if (std::sscanf(line, "%lld %lld", &us, &count) == 2)
                v.insert(v.end(), static_cast<std::size_t>(count), us);
            else if (std::sscanf(line, "# Max Latencies: %lld", &max) != 1)
                std::sscanf(line, "# Histogram Overflows: %lld", &over);
        }
        std::fclose(f);
        v.insert(v.end(), static_cast<std::size_t>(over), max);
    }
    print_figures(v, 1);
    return 0;
}

int latency(char **a)
{
    const long n = std::atol(a[0]);
    const std::int64_t frame = std::atol(a[1]) * std::int64_t{1000000};
    const int ino = inotify_init1(IN_CLOEXEC);
    if (ino < 0)
        die("inotify");
    struct target {
        const char *file;
        int cmd, watch;
        std::int64_t last = 0; // when its last width was seen
        std::vector<std::int64_t> took;
    } t[2];
    for (int i = 0; i < 2; ++i) {
        t[i].cmd = open_or_die(a[2 + 2 * i], O_WRONLY);
        t[i].file = a[3 + 2 * i];
        // Posted when the writer closes the file, after its one write; the
        // probe sleeps meanwhile, where polling the content would take one
        // of two cores from the writers.
        t[i].watch = inotify_add_watch(ino, t[i].file, IN_CLOSE_WRITE);
        if (t[i].watch < 0)
            die(t[i].file);
    }
    // Half a frame and a little between sends, so each sees the same load;
    // a target's next record waits for a frame and a millisecond after its
    // last width appeared, so servod drives every record at once.
    const std::int64_t slot = frame / 2 + 1000000;
    std::int64_t next = now_ns();
    for (long k = 0; k < 2 * n; ++k) {
        target &x = t[k & 1];
        next = std::max(next + slot, x.last + frame + 1000000);
        sleep_until(next);
        const std::int64_t width = 1000000 + 1000 * (1 + (k / 2) % 997);
        const std::int64_t t0 = now_ns();
        send(x.cmd, 'N', width);
        for (;;) {
            pollfd p{ino, POLLIN, 0};
            if (poll(&p, 1, 2000) <= 0) {
                std::fprintf(stderr, "servod_probe: %s: width %" PRId64 " not written within 2 s\n", x.file,
                             width);
                return 1;
            }
            alignas(inotify_event) char buf[4096];
            const ssize_t got = read(ino, buf, sizeof buf);
            bool seen = false;
            for (ssize_t off = 0; off < got;) {
                const auto *e = reinterpret_cast<const inotify_event *>(buf + off);
                seen = seen || e->wd == x.watch;
                off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
            if (seen)
                break;
        }
        x.last = now_ns();
        x.took.push_back(x.last - t0);
        char text[32] = {};
        const int fd = open_or_die(x.file, O_RDONLY);
        const ssize_t len = read(fd, text, sizeof text - 1);
        close(fd);
        if (len <= 0 || std::strtoll(text, nullptr, 10) != width) {
            std::fprintf(stderr, "servod_probe: %s holds '%s', expected %" PRId64 "\n", x.file, text, width);
            return 1;
        }
    }
    for (const target &x : t) {
        std::vector<std::int64_t> v = x.took;
        std::sort(v.begin(), v.end());
        std::printf("%.1f %.1f ", static_cast<double>(rank(v, 0.5)) / 1000,
                    static_cast<double>(rank(v, 0.99)) / 1000);
    }
    std::printf("\n");
    return 0;
}

// Every path a record or a frame can take, ROUNDS times over: widths in
// and out of range, sooner than a frame (held back), an unknown letter,
// a ramp to its end, one done at once, and one cut short.
int load(char **a)
{
    const int cmd = open_or_die(a[0], O_WRONLY);
    const int status = open_or_die(a[1], O_RDONLY | O_NONBLOCK);
    const long rounds = std::atol(a[2]), sets = std::atol(a[3]), frames = std::atol(a[4]);
    const std::int64_t frame = std::atol(a[5]) * std::int64_t{1000000};
    const int wait_ms = static_cast<int>(10000 + frames * frame / 1000000 * 20); // valgrind is slow
    for (long r = 0; r < rounds; ++r) {
        std::int64_t next = now_ns();
        for (long s = 0; s < sets; ++s) {
            send(cmd, 'N', 1000000 + 1000 * ((r * sets + s) % 1000));
            sleep_until(next += frame / 2);
        }
        send(cmd, 'N', 2500000);
        send(cmd, 'X', 0);
        send(cmd, 'T', 1000000, 1000000 + frames * 1000, 1000);
        if (!await_done(status, wait_ms))
            return 1;
        send(cmd, 'T', 1200000, 1800000, 0);
        if (!await_done(status, wait_ms))
            return 1;
        send(cmd, 'T', 1000000, 2000000, 1000);
        sleep_until(now_ns() + 2 * frame);
        send(cmd, 'N', 1500000);
    }
    sleep_until(now_ns() + 2 * frame);
    return 0;
}

// A writer of many duty cycle files, its pipes and what shows its frames.
struct ramp_target {
    std::vector<int> cmd, status, watch;
    std::vector<std::string> files;
    int ino = -1, syscall_fd = -1, mem_fd = -1;
};

std::string numbered(const std::string &dir, const char *name, long n, const char *rest = "")
{
    std::string path = dir;
    path += name;
    path += std::to_string(n);
    path += rest;
    return path;
}

ramp_target open_target(const std::string &dir, long servos, const char *pid = nullptr)
{
    ramp_target t;
    for (long i = 0; access(numbered(dir, "/cmd", i).c_str(), F_OK) == 0; ++i) {
        t.cmd.push_back(open_or_die(numbered(dir, "/cmd", i).c_str(), O_WRONLY));
        t.status.push_back(open_or_die(numbered(dir, "/status", i).c_str(), O_RDONLY | O_NONBLOCK));
    }
    for (long i = 0; i < servos; ++i)
        t.files.push_back(numbered(dir, "/pwm/pwmchip0/pwm", i, "/duty_cycle"));
    if (pid == nullptr)
        return t;
    t.ino = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (t.ino < 0)
        die("inotify");
    for (const std::string &f : t.files) {
        t.watch.push_back(inotify_add_watch(t.ino, f.c_str(), IN_CLOSE_WRITE));
        if (t.watch.back() < 0)
            die(f.c_str());
    }
    t.syscall_fd = open_or_die(("/proc/" + std::string(pid) + "/syscall").c_str(), O_RDONLY);
    t.mem_fd = open_or_die(("/proc/" + std::string(pid) + "/mem").c_str(), O_RDONLY);
    return t;
}

void send_ramps(const ramp_target &t, long frames)
{
    const std::int64_t step = 1000000 / frames;
    for (const int fd : t.cmd) // back to back, so that all act in one frame
        send(fd, 'T', 1000000, 1000000 + frames * step, step);
}

bool await_all_done(const ramp_target &t, int timeout_ms)
{
    for (const int fd : t.status)
        if (!await_done(fd, timeout_ms))
            return false;
    return true;
}

// Where the writer is: in clock_nanosleep(TIMER_ABSTIME) until `until`, in
// poll, in another call, or running. /proc/PID/syscall shows a blocked
// call's arguments, /proc/PID/mem the timespec they point to.
enum { running, sleeping, polling, elsewhere };
int blocked(const ramp_target &t, std::int64_t &until)
{
    char text[2][256] = {};
    long nr = -1;
    unsigned long clock = 0, flags = 0, at = 0;
    if (pread(t.syscall_fd, text[0], sizeof text[0] - 1, 0) <= 0)
        die("/proc/PID/syscall");
    if (std::sscanf(text[0], "%ld %lx %lx %lx", &nr, &clock, &flags, &at) != 4)
        return running; // or blocked outside a system call
    if (nr != SYS_clock_nanosleep || flags != TIMER_ABSTIME)
        return nr == SYS_ppoll
#ifdef SYS_poll
                       || nr == SYS_poll
#endif
                   ? polling
                   : elsewhere;
    timespec ts{};
    if (pread(t.mem_fd, &ts, sizeof ts, static_cast<off_t>(at)) != static_cast<ssize_t>(sizeof ts))
        die("/proc/PID/mem");
    // Still the same call: the stack slot is not yet another frame's.
    if (pread(t.syscall_fd, text[1], sizeof text[1] - 1, 0) <= 0 || std::strcmp(text[0], text[1]) != 0)
        return running;
    until = static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    return sleeping;
}

struct burst_figures {
    std::vector<std::int64_t> first, last; // ns from the deadline, frames with every servo written
    long ramps = 0, together = 0, partial = 0, reanchored = 0, unstamped = 0;
};

// A ramp on every servo of one writer, frame by frame. A frame's deadline is
// the very instant the writer sleeps to: read from its clock_nanosleep's
// arguments while it sleeps, the same way for servod and the floor, and
// nothing added to their frame path. The first frame starts when the
// records are read, which nothing shows: it is not measured. The probe
// sleeps to a millisecond before each deadline and then spins on inotify,
// so each IN_CLOSE_WRITE is stamped within a read(2) of the writer's close
// (a priority above the writer keeps the two on different cores); the frame
// ends when the writer sleeps again. A frame whose widths the probe may have
// stamped late (it woke after the deadline, or the machine held it up while
// widths came) is only counted.
class ramp_watch {
public:
    ramp_watch(const ramp_target &target, long ramp_frames, std::int64_t frame_ns, burst_figures &figures)
        : t(target), fig(figures), frames(ramp_frames), frame(frame_ns), servos(static_cast<long>(target.files.size())),
          written(target.files.size())
    {
    }
    bool done() const { return complete == servos; }
    std::int64_t deadline() const { return d; }

    // Sends the records once the writer is at rest, takes the first frame's
    // widths and learns the next deadline.
    void start()
    {
        seen f;
        wait_until([](int where, std::int64_t) { return where == polling || where == elsewhere; }, f);
        const std::int64_t sent = now_ns();
        send_ramps(t, frames);
        f = {};
        wait_until([&](int where, std::int64_t until) { return where == sleeping && until > sent; }, f);
        ++fig.ramps;
        fig.together += f.writes == servos;
    }

    void next_frame()
    {
        const long expect = servos - complete;
        sleep_until(d - frame / 20);
        std::int64_t last_look = now_ns();
        bool unstamped = last_look > d;
        seen f;
        std::int64_t next = 0;
        for (;;) {
            const long before = f.writes;
            take(f);
            const std::int64_t at = now_ns();
            // Widths that came while the probe was held up: stamped late.
            unstamped = unstamped || (f.writes > before && at - last_look > 50000);
            last_look = at;
            if (f.writes >= expect || at > d + frame / 4) {
                const int where = blocked(t, next);
                if (where == polling || (where == sleeping && next != d)) {
                    next = where == sleeping ? next : 0;
                    take(f);
                    break;
                }
            }
            if (at > d + 10 * frame) {
                errno = 0;
                die("a frame did not end within 10 frames");
            }
        }
        unstamped = unstamped || f.writes > expect; // two frames' widths: the probe missed a sleep
        if (unstamped) {
            ++fig.unstamped;
        } else if (f.writes == servos) {
            fig.first.push_back(f.first - d);
            fig.last.push_back(f.last - d);
        } else {
            ++fig.partial;
        }
        if (!done() && next == 0) {
            errno = 0;
            die("the writer stopped before the end of its ramp");
        }
        fig.reanchored += !done() && f.writes <= expect && next != d + frame;
        d = next;
    }

    // Every 'D' in, every file at the end width.
    void finish() const
    {
        if (!await_all_done(t, static_cast<int>(4 * frame / 1000000 + 2000))) {
            errno = 0;
            die("no 'D' after the ramp");
        }
        const std::int64_t end = 1000000 + frames * (1000000 / frames);
        for (const std::string &file : t.files) {
            char text[32] = {};
            const int fd = open_or_die(file.c_str(), O_RDONLY);
            const ssize_t len = read(fd, text, sizeof text - 1);
            close(fd);
            if (len <= 0 || std::strtoll(text, nullptr, 10) != end) {
                std::fprintf(stderr, "servod_probe: %s holds '%s' after the ramp, not %" PRId64 "\n",
                             file.c_str(), text, end);
                std::exit(1);
            }
        }
    }

private:
    struct seen {
        long writes = 0;
        std::int64_t first = 0, last = 0;
    };
    const ramp_target &t;
    burst_figures &fig;
    const long frames;
    const std::int64_t frame;
    const long servos;
    std::vector<long> written; // widths a servo
    long complete = 0;         // servos whose last width was written
    std::int64_t d = 0;        // the next deadline

    void take(seen &f)
    {
        alignas(inotify_event) char buf[4096];
        ssize_t got;
        while ((got = read(t.ino, buf, sizeof buf)) > 0) {
            const std::int64_t at = now_ns();
            for (ssize_t off = 0; off < got;) {
                const auto *e = reinterpret_cast<const inotify_event *>(buf + off);
                const auto i = static_cast<std::size_t>(std::find(t.watch.begin(), t.watch.end(), e->wd) -
                                                        t.watch.begin());
                if (i < written.size() && ++written[i] == frames + 1)
                    ++complete;
                ++f.writes;
                f.first = f.first != 0 ? f.first : at;
                f.last = at;
                off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
        if (got < 0 && errno != EAGAIN)
            die("inotify");
    }

    // Looks at the writer every 0.2 ms, taking its widths meanwhile.
    template <class ready_fn> void wait_until(ready_fn ready, seen &f)
    {
        const std::int64_t give_up = now_ns() + 5 * frame + 1000000000;
        while (!ready(blocked(t, d), d)) {
            take(f);
            if (now_ns() > give_up) {
                errno = 0;
                die("the writer did not come to rest");
            }
            sleep_until(now_ns() + 200000);
        }
        take(f);
    }
};

// Side by side, half a frame apart, so that both see the same stretch of a
// noisy machine; which starts first swaps every round.
int burst(char **a)
{
    const long rounds = std::atol(a[0]), frames = std::atol(a[1]), servos = std::atol(a[3]);
    const std::int64_t frame = std::atol(a[2]) * std::int64_t{1000000};
    if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0)
        die("mlockall");
    const ramp_target t[2] = {open_target(a[5], servos, a[4]), open_target(a[7], servos, a[6])};
    burst_figures fig[2];
    for (long r = 0; r < rounds; ++r) {
        ramp_watch w[2] = {{t[0], frames, frame, fig[0]}, {t[1], frames, frame, fig[1]}};
        ramp_watch &one = w[r % 2], &other = w[1 - r % 2];
        one.start();
        sleep_until(one.deadline() - frame / 2);
        other.start();
        while (!one.done() || !other.done()) {
            const bool ones = !one.done() && (other.done() || one.deadline() < other.deadline());
            (ones ? one : other).next_frame();
        }
        for (const ramp_watch &x : w)
            x.finish();
        sleep_until(now_ns() + 5 * frame);
    }
    // Per target: frames measured, partial frames, ramps whose records all
    // acted in the first frame, of ramps; re-anchored frames; frames not
    // stamped; last write median, p99, max; first write median, p99 (us).
    for (burst_figures &f : fig) {
        if (f.last.empty()) {
            errno = 0;
            die("no whole frame seen");
        }
        std::sort(f.first.begin(), f.first.end());
        std::sort(f.last.begin(), f.last.end());
        std::printf("%zu %ld %ld/%ld %ld %ld %.1f %.1f %.1f %.1f %.1f\n", f.last.size(), f.partial, f.together,
                    f.ramps, f.reanchored, f.unstamped, static_cast<double>(rank(f.last, 0.5)) / 1000,
                    static_cast<double>(rank(f.last, 0.99)) / 1000, static_cast<double>(f.last.back()) / 1000,
                    static_cast<double>(rank(f.first, 0.5)) / 1000, static_cast<double>(rank(f.first, 0.99)) / 1000);
    }
    return 0;
}

int together(char **a)
{
    const long frames = std::atol(a[1]);
    const ramp_target t = open_target(a[0], 0); // its pipes only
    send_ramps(t, frames);
    return await_all_done(t, static_cast<int>(20000 + 100 * frames)) ? 0 : 1; // valgrind is slow
}

} // namespace

int main(int argc, char **argv)
{
    struct {
        const char *name;
        int args;
        int (*run)(char **);
    } const modes[] = {{"ramp", 5, ramp}, {"lateness", 3, lateness}, {"latency", 6, latency}, {"load", 6, load},
                   {"burst", 8, burst}, {"together", 2, together}};
    for (const auto &m : modes)
        if (argc == m.args + 2 && std::strcmp(argv[1], m.name) == 0)
            return m.run(argv + 2);
    if (argc > 2 && std::strcmp(argv[1], "histogram") == 0)
        return histogram(argc - 2, argv + 2);
    std::fprintf(stderr, "usage: see the head of bench/servod_probe.cpp\n");
    return 2;
}

#include "support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "servo.h"

namespace {
void die(const std::string &what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void remove_tree(const std::string &dir)
{
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..")
                unlink((dir + '/').append(name).c_str());
        }
        closedir(d);
    }
    rmdir(dir.c_str());
}

int wait_status(pid_t pid)
{
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// stdout goes to out, or to out_fd when that is given; handed fds go to
// 3, 4, ... as a service manager passes them.
pid_t spawn(const std::vector<std::string> &via, const std::string &exe,
            const std::vector<std::string> &args, const char *out, const char *err,
            int out_fd = -1, const std::vector<std::pair<std::string, int>> &handed = {})
{
    std::string names;
    for (const auto &h : handed)
        names += (names.empty() ? "" : ":") + h.first;
    const std::string count = std::to_string(handed.size());
    std::vector<char *> argv;
    argv.reserve(via.size() + emulator().size() + 1 + args.size() + 1);
    for (const std::string &v : via)
        argv.push_back(const_cast<char *>(v.c_str()));
    for (const std::string &e : emulator())
        argv.push_back(const_cast<char *>(e.c_str()));
    argv.push_back(const_cast<char *>(exe.c_str()));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        die("fork");
    if (pid == 0) {
        const int o = out_fd >= 0 ? out_fd : open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        if (o < 0 || e < 0 || in < 0)
            _exit(127);
        dup2(in, 0);
        dup2(o, 1);
        dup2(e, 2);
        if (!handed.empty()) {
            std::vector<int> high; // out of the way of 3, 4, ... first
            high.reserve(handed.size());
            for (const auto &h : handed)
                high.push_back(fcntl(h.second, F_DUPFD_CLOEXEC, 100));
            for (std::size_t i = 0; i < high.size(); ++i)
                dup2(high[i], 3 + static_cast<int>(i));
            setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1);
            setenv("LISTEN_FDS", count.c_str(), 1);
            setenv("LISTEN_FDNAMES", names.c_str(), 1);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}
} // namespace

private_dir::private_dir()
{
    char tmpl[] = "/tmp/servo-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        die("mkdtemp");
    dir = tmpl;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        die("getcwd");
    previous = cwd;
    if (chdir(dir.c_str()) != 0)
        die("chdir");
}

private_dir::~private_dir()
{
    if (chdir(previous.c_str()) != 0)
        std::perror("chdir back");
    remove_tree(dir);
}

pipe_end::pipe_end(const char *name)
{
    if (mkfifo(name, 0666) != 0 && errno != EEXIST)
        die(std::string("mkfifo ") + name);
    // Read-write keeps the pipe alive between the writers' opens.
    handle = open(name, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (handle < 0)
        die(std::string("open ") + name);
}

pipe_end::~pipe_end()
{
    if (handle >= 0)
        close(handle);
}

std::string pipe_end::read_all()
{
    std::string got;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(handle, buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<std::size_t>(n));
        else if (!(n < 0 && errno == EINTR))
            return got;
    }
}

std::int64_t le64(const unsigned char *p)
{
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return static_cast<std::int64_t>(v);
}

std::vector<wire_record> pipe_end::records()
{
    const std::string raw = read_all();
    if (raw.size() % sizeof(my_msg_struct) != 0)
        throw std::runtime_error("torn record: " + std::to_string(raw.size()) + " bytes");
    std::vector<wire_record> recs;
    for (std::size_t at = 0; at < raw.size(); at += sizeof(my_msg_struct)) {
        const auto *p = reinterpret_cast<const unsigned char *>(raw.data() + at);
        recs.push_back({p[0], le64(p + 4), le64(p + 12), le64(p + 20)});
    }
    return recs;
}

void pipe_end::put(const std::string &bytes)
{
    if (write(handle, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        die("write to pipe");
}

std::size_t pipe_end::fill()
{
    std::size_t filled = 0; // the handle is non-blocking: stops when full
    while (write(handle, "F", 1) == 1)
        ++filled;
    return filled;
}

const std::vector<std::string> &emulator()
{
    static const std::vector<std::string> argv = {SERVO_TEST_EMULATOR};
    return argv;
}

run_result run(const std::string &exe, const std::vector<std::string> &args,
               const std::vector<std::string> &via)
{
    run_result r;
    r.status = wait_status(spawn(via, exe, args, ".run.out", ".run.err"));
    r.out = slurp(".run.out");
    r.err = slurp(".run.err");
    unlink(".run.out");
    unlink(".run.err");
    return r;
}

sim_process::sim_process(const std::vector<std::string> &args, const std::string &exe, int out_fd,
                         const std::vector<std::string> &via,
                         const std::vector<std::pair<std::string, int>> &handed)
{
    static int instances = 0;
    const std::string name = ".sim" + std::to_string(++instances);
    out_file = name + ".out";
    err_file = name + ".err";
    child = spawn(via, exe, args, out_file.c_str(), err_file.c_str(), out_fd, handed);
}

sim_process::~sim_process()
{
    if (child > 0)
        stop();
}

bool sim_process::ready()
{
    for (int i = 0; i < 10000; ++i) {
        // servosim's or servod's banner comes only once everything is ready.
        if (out().find(": commands on ") != std::string::npos)
            return true;
        int st = 0;
        if (waitpid(child, &st, WNOHANG) == child) {
            status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            child = -1;
            return false;
        }
        usleep(1000);
    }
    return false;
}

namespace {
// Stopped by SIGSTOP ('T'), as pause() leaves it.
bool job_stopped(pid_t pid)
{
    const std::string st = slurp("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t paren = st.rfind(')');
    return paren != std::string::npos && paren + 2 < st.size() && st[paren + 2] == 'T';
}

// A paused child takes its signal only once it runs. One that runs gets no
// SIGCONT: sent while a sanitizer's leak check at exit attaches with ptrace,
// it would cancel the attach's stop and hang the check.
void signal_child(pid_t pid, int sig)
{
    const bool paused = job_stopped(pid);
    kill(pid, sig);
    if (paused)
        kill(pid, SIGCONT);
}
} // namespace

int sim_process::stop(int sig)
{
    if (child > 0) {
        signal_child(child, sig);
        status = wait_status(child);
        child = -1;
    }
    return status;
}

int sim_process::wait_exit()
{
    if (child > 0) {
        status = wait_status(child);
        child = -1;
    }
    return status;
}

int sim_process::stop_within(int sig, int ms)
{
    if (child <= 0)
        return status;
    signal_child(child, sig);
    int st = 0;
    for (int i = 0; i < ms; ++i) {
        if (waitpid(child, &st, WNOHANG) == child) {
            child = -1;
            return status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        }
        usleep(1000);
    }
    stop(SIGKILL);
    return -1;
}

bool sim_process::pause()
{
    kill(child, SIGSTOP);
    return eventually([&] { return job_stopped(child); });
}

std::string sim_process::out() const { return slurp(out_file); }
std::string sim_process::err() const { return slurp(err_file); }

std::vector<trace_row> read_trace(const std::string &file)
{
    // Only whole rows: the writer may be half-way through the last one.
    std::string text = slurp(file);
    text.erase(text.rfind('\n') + 1);
    std::istringstream in(text);
    std::vector<trace_row> rows;
    std::string why;
    if (!parse_trace(in, rows, why))
        throw std::runtime_error(file + ": " + why);
    return rows;
}

std::vector<std::int64_t> trace_widths(const std::string &file)
{
    std::vector<std::int64_t> widths;
    for (const trace_row &r : read_trace(file))
        widths.push_back(r.width);
    return widths;
}

std::string copy_for_anyone(const std::string &exe)
{
    std::string copy = "./" + exe.substr(exe.rfind('/') + 1);
    {
        std::ifstream in(exe, std::ios::binary);
        std::ofstream out(copy, std::ios::binary);
        out << in.rdbuf();
        if (!in || !out)
            throw std::runtime_error("cannot copy " + exe);
    }
    if (chmod(copy.c_str(), 0755) != 0)
        die("chmod " + copy);
    return copy;
}

std::string slurp(const std::string &file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int open_fd_count()
{
    // A listing that fails must not pass for "no fd leaked".
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr)
        die("opendir /proc/self/fd");
    int n = 0;
    errno = 0;
    while (readdir(d) != nullptr)
        ++n;
    const int err = errno;
    closedir(d);
    if (err != 0) {
        errno = err;
        die("readdir /proc/self/fd");
    }
    return n;
}

bool is_fifo(const char *path)
{
    struct stat st {};
    return stat(path, &st) == 0 && S_ISFIFO(st.st_mode);
}

bool eventually(const std::function<bool()> &cond, int max_ms)
{
    for (int i = 0; i < max_ms; ++i) {
        if (cond())
            return true;
        usleep(1000);
    }
    return cond();
}

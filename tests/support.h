// Helpers that let tests see what really crosses the named pipes.
#ifndef SERVO_TESTS_SUPPORT_H
#define SERVO_TESTS_SUPPORT_H

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <sys/types.h>
#include <vector>

#include <gtest/gtest.h>

#include "servodata.h"
#include "trace_plot.h"

// A fresh directory under /tmp, made the working directory for its lifetime,
// so the relative device names of the test build land there.
class private_dir {
public:
    private_dir();
    ~private_dir();
    private_dir(const private_dir &) = delete;
    private_dir &operator=(const private_dir &) = delete;
    const std::string &path() const { return dir; }

private:
    std::string dir;
    std::string previous;
};

// For tests that need nothing but a private working directory.
struct in_private_dir : ::testing::Test {
    private_dir dir;
};

// A record as it travelled, decoded from its little-endian bytes.
struct wire_record {
    unsigned char option;
    std::int64_t data1, data2, time;
};

// The test's own end of a named pipe that it creates at name.
class pipe_end {
public:
    explicit pipe_end(const char *name);
    ~pipe_end();
    pipe_end(const pipe_end &) = delete;
    pipe_end &operator=(const pipe_end &) = delete;

    std::string read_all();           // whatever is waiting now
    std::vector<wire_record> records(); // read_all cut into 28-byte records
    void put(const std::string &bytes);
    // Writes filler bytes until the pipe is full; returns how many.
    std::size_t fill();
    int fd() const { return handle; }

private:
    int handle = -1;
};

std::int64_t le64(const unsigned char *p);

// The program and arguments that child programs start under: the build's
// CMAKE_CROSSCOMPILING_EMULATOR, empty where the host runs them itself.
const std::vector<std::string> &emulator();

struct run_result {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
};
// Runs a built program in the working directory, as a user would; a host
// command in `via` (e.g. setpriv and its options), if any, starts it.
run_result run(const std::string &exe, const std::vector<std::string> &args,
               const std::vector<std::string> &via = {});

// A program run in the background in the working directory; by default
// servosim. Stopped with SIGTERM unless it has ended.
class sim_process {
public:
    // stdout goes to a file that out() reads, or to out_fd when given.
    // via: a host command that starts it (a shell that sets something up);
    // handed: fds passed as a service manager passes them, with their names.
    explicit sim_process(const std::vector<std::string> &args = {},
                         const std::string &exe = SERVOSIM_EXE, int out_fd = -1,
                         const std::vector<std::string> &via = {},
                         const std::vector<std::pair<std::string, int>> &handed = {});
    ~sim_process();
    sim_process(const sim_process &) = delete;
    sim_process &operator=(const sim_process &) = delete;

    // Waits until the server says it serves both pipes; false if it died first.
    bool ready();
    int stop(int sig = 15);  // exit status, or 128 + signal
    int wait_exit();         // the same, without a signal
    // Sends sig and waits up to ms for the exit: its status, or -1 (then
    // it is killed) if it did not end in time.
    int stop_within(int sig, int ms);
    std::string out() const;
    std::string err() const;
    pid_t pid() const { return child; }
    // SIGSTOP, and wait until it has taken effect: a signal is delivered
    // when the process next runs, not when kill() returns.
    bool pause();

private:
    pid_t child = -1;
    int status = -1;
    std::string out_file, err_file;
};

using trace_row = trace_point;
std::vector<trace_row> read_trace(const std::string &file);
// Its widths alone, in order.
std::vector<std::int64_t> trace_widths(const std::string &file);

// A copy of a built program in the working directory, for a test that runs
// it as another user: the build tree may sit where only its owner can enter
// (and under an emulator the program is read, not executed).
std::string copy_for_anyone(const std::string &exe);

std::string slurp(const std::string &file);
int open_fd_count();
bool is_fifo(const char *path);
// Polls cond every millisecond, giving up after a generous bound.
bool eventually(const std::function<bool()> &cond, int max_ms = 10000);

#endif

// Stop signals (SIGINT, SIGTERM, SIGHUP, SIGQUIT), caught from a server's
// first instant: blocked and read from a descriptor, so that every way out
// goes through the destructors that tidy up, and no wait can miss one.
#ifndef SERVO_ENGINE_STOP_SIGNALS_H
#define SERVO_ENGINE_STOP_SIGNALS_H

#include <cstdint>
#include <sys/types.h>

// A wait during start-up that a stop signal cuts short.
class start_wait {
public:
    virtual ~start_wait() = default;
    // Sleeps for ns; false at once when a stop has been asked for.
    virtual bool pause(std::int64_t ns) = 0;
};

// Points fds 0, 1 and 2 at /dev/null where they are closed, so that no
// descriptor opened later (a pipe, a lock) takes their place and gets the
// program's messages.
void open_standard_fds();

class stop_signals : public start_wait {
public:
    // Blocks the signals and opens the descriptor. Signals that the parent
    // left ignored (a shell's background job ignores SIGINT and SIGQUIT)
    // get their default back: an ignored signal is dropped, blocked or not.
    stop_signals();
    ~stop_signals() override;
    stop_signals(const stop_signals &) = delete;
    stop_signals &operator=(const stop_signals &) = delete;

    // False if the descriptor could not be made (errno says why).
    bool ok() const { return fd >= 0; }
    int descriptor() const { return fd; }
    bool pause(std::int64_t ns) override;
    // True if a stop signal is waiting; it stays waiting for take().
    bool pending() const;
    // Reads a waiting stop signal: its name and the pid that sent it.
    bool take(const char *&name, pid_t &sender);

private:
    int fd = -1;
};

#endif

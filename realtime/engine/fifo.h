// Named pipes that stand in for the RT-FIFO devices.
#ifndef SERVO_ENGINE_FIFO_H
#define SERVO_ENGINE_FIFO_H

#include <string>
#include <sys/types.h>

// A pipe held open read-write and non-blocking. Whoever holds the instance
// lock owns the path: a pipe found there is a leftover of a server that
// could not tidy up (killed, say), and is replaced, as are the half-made
// and set-aside ones it left, unless a service manager kept it for us.
// The new pipe appears at its path only on publish(), already open, so a
// writer that sees it never loses a record; it is removed again on
// destruction.
class served_pipe {
public:
    served_pipe() = default;
    ~served_pipe();
    served_pipe(const served_pipe &) = delete;
    served_pipe &operator=(const served_pipe &) = delete;

    // Makes and opens a new pipe for path, unpublished. On failure returns
    // false with a message in error(). kept: a descriptor a service manager
    // kept for us across a restart (-1: none); the pipe it holds is taken
    // back if it is still the one at path, or set aside there (see keep()).
    bool open(const std::string &path, int kept = -1);
    // The pipe outlives this server: a service manager holds it for the next
    // start. On destruction it is set aside as PATH.held instead of removed,
    // so that clients holding it go on; no new client opens it meanwhile.
    void keep() { kept_for_restart = true; }
    // It is the pipe of the server before us.
    bool taken_back() const { return reused; }
    // Mode and group (-1: unchanged) of the pipe.
    bool set_access(mode_t mode, gid_t group);
    bool publish();
    int fd() const { return handle; }
    const std::string &path() const { return where; }
    const std::string &error() const { return why; }

private:
    std::string where;
    std::string staging; // temporary name until published
    int handle = -1;
    bool kept_for_restart = false;
    bool reused = false;
    std::string why;

    bool fail(const std::string &what, int err);
    // Where the pipe is now: its staging name until published.
    const std::string &name_now() const { return staging.empty() ? where : staging; }
    void remove_half_made() const;
};

#endif

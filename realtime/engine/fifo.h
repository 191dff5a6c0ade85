// Named pipes that stand in for the RT-FIFO devices.
#ifndef SERVO_ENGINE_FIFO_H
#define SERVO_ENGINE_FIFO_H

#include <string>
#include <sys/types.h>

// A pipe held open read-write and non-blocking. A pipe this object made
// appears at its path only on publish(), already open, so a writer that
// sees it never loses a record; it is removed again on destruction.
class served_pipe {
public:
    served_pipe() = default;
    ~served_pipe();
    served_pipe(const served_pipe &) = delete;
    served_pipe &operator=(const served_pipe &) = delete;

    // Opens the pipe at path, making it (unpublished) if missing.
    // On failure returns false with a message in error().
    bool open(const std::string &path);
    // Mode and group (-1: unchanged) of a pipe this object made; a pipe
    // found in place is left as its owner set it.
    bool set_access(mode_t mode, gid_t group);
    bool publish();
    int fd() const { return handle; }
    const std::string &error() const { return why; }

private:
    std::string path;
    std::string staging; // temporary name until published
    int handle = -1;
    bool made = false;
    std::string why;

    bool fail(const std::string &what, int err);
};

#endif

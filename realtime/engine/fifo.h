// Named pipes that stand in for the RT-FIFO devices.
#ifndef SERVOSIM_FIFO_H
#define SERVOSIM_FIFO_H

#include <string>

// A pipe held open read-write and non-blocking. A pipe this object made
// appears at its path only on publish(), already open, so a writer that
// sees it never loses a record; it is removed again on destruction.
class sim_fifo {
public:
    sim_fifo() = default;
    ~sim_fifo();
    sim_fifo(const sim_fifo &) = delete;
    sim_fifo &operator=(const sim_fifo &) = delete;

    // Opens the pipe at path, making it (unpublished) if missing.
    // On failure returns false with a message in error().
    bool open(const std::string &path);
    bool publish();
    int fd() const { return handle; }
    const std::string &error() const { return why; }

private:
    std::string path;
    std::string staging;  // temporary name until published
    int handle = -1;
    bool made = false;
    std::string why;

    bool fail(const std::string &what, int err);
};

#endif

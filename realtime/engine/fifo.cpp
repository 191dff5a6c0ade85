#include "fifo.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

served_pipe::~served_pipe()
{
    if (handle >= 0) {
        // Remove only what we made and what is still ours at that name.
        struct stat mine {}, there {};
        if (made && fstat(handle, &mine) == 0) {
            const std::string &name = staging.empty() ? path : staging;
            if (lstat(name.c_str(), &there) == 0 && there.st_ino == mine.st_ino &&
                there.st_dev == mine.st_dev)
                unlink(name.c_str());
        }
        close(handle);
    }
}

bool served_pipe::fail(const std::string &what, int err)
{
    why = what + ": " + std::strerror(err);
    return false;
}

bool served_pipe::open(const std::string &at)
{
    path = at;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISFIFO(st.st_mode)) {
            why = path + ": exists and is not a named pipe";
            return false;
        }
        handle = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        return handle >= 0 || fail(path, errno);
    }
    if (errno != ENOENT)
        return fail(path, errno);

    staging = path + ".new-" + std::to_string(getpid());
    unlink(staging.c_str());
    if (mkfifo(staging.c_str(), 0666) != 0)
        return fail(staging, errno);
    made = true;
    handle = ::open(staging.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (handle < 0) {
        const int err = errno;
        unlink(staging.c_str());
        made = false;
        return fail(staging, err);
    }
    return true;
}

bool served_pipe::set_access(mode_t mode, gid_t group)
{
    if (!made)
        return true;
    if (group != static_cast<gid_t>(-1) && fchown(handle, static_cast<uid_t>(-1), group) != 0)
        return fail(staging, errno);
    // Exactly this mode, whatever the umask took away at mkfifo.
    return fchmod(handle, mode) == 0 || fail(staging, errno);
}

bool served_pipe::publish()
{
    if (staging.empty())
        return true;
    if (rename(staging.c_str(), path.c_str()) != 0)
        return fail(path, errno);
    staging.clear();
    return true;
}

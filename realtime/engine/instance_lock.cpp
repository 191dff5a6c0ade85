#include "instance_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

instance_lock::~instance_lock()
{
    if (fd < 0)
        return;
    // Unlinked while still held: whoever opens the old file next sees it is
    // no longer at the path and starts over.
    unlink(path.c_str());
    close(fd);
}

bool instance_lock::take(const std::string &pipe_path, std::string &why)
{
    path = pipe_path + ".lock";
    for (;;) {
        const int h = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (h < 0) {
            why = path + ": " + std::strerror(errno);
            return false;
        }
        if (flock(h, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            close(h);
            why = err == EWOULDBLOCK ? pipe_path + ": another servosim or servod is already serving it"
                                     : path + ": " + std::strerror(err);
            return false;
        }
        struct stat held {}, there {};
        if (fstat(h, &held) == 0 && stat(path.c_str(), &there) == 0 &&
            held.st_ino == there.st_ino && held.st_dev == there.st_dev) {
            fd = h;
            return true;
        }
        close(h); // the holder released and removed it meanwhile
    }
}

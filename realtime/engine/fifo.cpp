#include "fifo.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
bool same_file(int fd, const std::string &path)
{
    struct stat mine {}, there {};
    return fstat(fd, &mine) == 0 && lstat(path.c_str(), &there) == 0 && there.st_ino == mine.st_ino &&
           there.st_dev == mine.st_dev;
}

std::string held_name(const std::string &path)
{
    return path + ".held";
}
} // namespace

served_pipe::~served_pipe()
{
    if (handle < 0)
        return;
    // Remove what is still ours at that name, and nothing else; a pipe kept
    // for the next start is only set aside.
    const std::string &name = name_now();
    const bool set_aside = kept_for_restart && (staging.empty() || staging == held_name(where));
    if (same_file(handle, name)) {
        if (!set_aside)
            unlink(name.c_str());
        else if (staging.empty())
            rename(where.c_str(), held_name(where).c_str());
    }
    close(handle);
}

bool served_pipe::fail(const std::string &what, int err)
{
    why = what + ": " + std::strerror(err);
    return false;
}

// PATH.new-PID of servers that were killed before they could publish, and
// PATH.held of one that was stopped for good.
void served_pipe::remove_half_made() const
{
    const std::size_t slash = where.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : where.substr(0, slash + 1);
    const std::string base = where.substr(slash == std::string::npos ? 0 : slash + 1);
    const std::string prefix = base + ".new-";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    while (const dirent *e = readdir(d)) {
        const char *name = e->d_name;
        const bool half_made = std::strncmp(name, prefix.c_str(), prefix.size()) == 0 &&
                               name[prefix.size()] != '\0' &&
                               std::strspn(name + prefix.size(), "0123456789") == std::strlen(name + prefix.size());
        const bool set_aside = held_name(base) == name && !reused;
        if (!half_made && !set_aside)
            continue;
        const std::string full = (slash == std::string::npos ? "" : dir) + name;
        struct stat st {};
        if (lstat(full.c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
            unlink(full.c_str());
    }
    closedir(d);
}

bool served_pipe::open(const std::string &at, int kept)
{
    where = at;
    struct stat st {};
    if (lstat(where.c_str(), &st) == 0 && !S_ISFIFO(st.st_mode)) {
        if (kept >= 0)
            close(kept);
        why = where + ": exists and is not a named pipe";
        return false;
    }
    if (kept >= 0) {
        // Still at its path (we were killed), or set aside (we were stopped):
        // the same pipe, which clients may hold.
        if (same_file(kept, where) || same_file(kept, held_name(where))) {
            handle = kept;
            reused = true;
            if (!same_file(kept, where))
                staging = held_name(where);
        } else {
            close(kept);
        }
    }
    remove_half_made();
    if (reused)
        return true;
    staging = where + ".new-" + std::to_string(getpid());
    unlink(staging.c_str());
    if (mkfifo(staging.c_str(), 0666) != 0) // the umask applies, as to any file made here
        return fail(staging, errno);
    handle = ::open(staging.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (handle < 0) {
        const int err = errno;
        unlink(staging.c_str());
        return fail(staging, err);
    }
    return true;
}

bool served_pipe::set_access(mode_t mode, gid_t group)
{
    if (group != static_cast<gid_t>(-1) && fchown(handle, static_cast<uid_t>(-1), group) != 0)
        return fail(name_now(), errno);
    // Exactly this mode, whatever the umask took away at mkfifo.
    return fchmod(handle, mode) == 0 || fail(name_now(), errno);
}

bool served_pipe::publish()
{
    if (staging.empty())
        return true;
    // Over a leftover, if any: rename replaces it in one step.
    if (rename(staging.c_str(), where.c_str()) != 0)
        return fail(where, errno);
    staging.clear();
    return true;
}

#include "sysfs_files.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int kernel_sysfs::write(const char *path, const char *text)
{
    // Never O_CREAT: a missing attribute is an error, not a file to make.
    int fd;
    do {
        fd = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno;
    const std::size_t len = std::strlen(text);
    ssize_t n;
    do {
        n = ::write(fd, text, len);
    } while (n < 0 && errno == EINTR);
    const int err = n < 0 ? errno : static_cast<std::size_t>(n) != len ? EIO : 0;
    close(fd);
    return err;
}

int kernel_sysfs::read(const char *path, char *buf, std::size_t size)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    ssize_t n;
    do {
        n = ::read(fd, buf, size - 1);
    } while (n < 0 && errno == EINTR);
    const int err = n < 0 ? errno : 0;
    close(fd);
    if (err != 0)
        return err;
    std::size_t len = static_cast<std::size_t>(n);
    while (len > 0 && (buf[len - 1] == '\n' || buf[len - 1] == ' '))
        --len;
    buf[len] = '\0';
    return 0;
}

bool kernel_sysfs::is_dir(const char *path)
{
    struct stat st {};
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int kernel_sysfs::list(const char *dir, std::vector<std::string> &names)
{
    DIR *d = opendir(dir);
    if (d == nullptr)
        return errno;
    errno = 0;
    while (const dirent *e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    const int err = errno;
    closedir(d);
    return err;
}

std::string kernel_sysfs::link_name(const char *path)
{
    char target[PATH_MAX];
    const ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0)
        return "";
    const std::string t(target, static_cast<std::size_t>(n));
    return t.substr(t.rfind('/') + 1);
}

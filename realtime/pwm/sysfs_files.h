// The file operations the kernel's PWM class is driven through. Tests put
// a stand-in here that plays the kernel's part, rules and all.
#ifndef SERVO_PWM_SYSFS_FILES_H
#define SERVO_PWM_SYSFS_FILES_H

#include <cstddef>
#include <string>
#include <vector>

class sysfs_files {
public:
    virtual ~sysfs_files() = default;
    // Writes text as one store, as `echo text > path` does: 0 or an errno.
    virtual int write(const char *path, const char *text) = 0;
    // Reads an attribute without its trailing newline: 0 or an errno.
    virtual int read(const char *path, char *buf, std::size_t size) = 0;
    virtual bool is_dir(const char *path) = 0;
    // The names in a directory: 0 or an errno.
    virtual int list(const char *dir, std::vector<std::string> &names) = 0;
    // The last part of where a symbolic link points ("1-0040"), or "".
    virtual std::string link_name(const char *path) = 0;
};

// The real thing: open, one write or read, close.
class kernel_sysfs final : public sysfs_files {
public:
    int write(const char *path, const char *text) override;
    int read(const char *path, char *buf, std::size_t size) override;
    bool is_dir(const char *path) override;
    int list(const char *dir, std::vector<std::string> &names) override;
    std::string link_name(const char *path) override;
};

#endif

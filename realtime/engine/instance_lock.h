// One real-time side per command pipe.
#ifndef SERVO_ENGINE_INSTANCE_LOCK_H
#define SERVO_ENGINE_INSTANCE_LOCK_H

#include <string>

// An exclusive lock on "<pipe>.lock", taken before any pipe is made or
// published, so two servers started at the same instant cannot both run.
// The file is removed on release; a server that finds it replaced while it
// waited for the lock simply takes the new one.
class instance_lock {
public:
    instance_lock() = default;
    ~instance_lock();
    instance_lock(const instance_lock &) = delete;
    instance_lock &operator=(const instance_lock &) = delete;

    // False with a reason if the lock is held elsewhere or cannot be made.
    bool take(const std::string &pipe_path, std::string &why);

private:
    std::string path;
    int fd = -1;
};

#endif

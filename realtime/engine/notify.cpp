#include "notify.h"

#ifdef SERVO_HAVE_LIBSYSTEMD
#include <systemd/sd-daemon.h>

bool notify_service_manager(const char *state)
{
    return sd_notify(0, state) >= 0;
}

#else
// The protocol is one datagram on a Unix socket; builds without libsystemd
// (a cross build, say) speak it themselves.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

bool notify_service_manager(const char *state)
{
    const char *where = std::getenv("NOTIFY_SOCKET");
    if (where == nullptr || where[0] == '\0')
        return true;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::size_t len = std::strlen(where);
    if ((where[0] != '/' && where[0] != '@') || len >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, where, len);
    if (where[0] == '@')
        addr.sun_path[0] = '\0'; // an abstract socket
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const auto addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
    const ssize_t n = sendto(fd, state, std::strlen(state), MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr *>(&addr), addr_len);
    close(fd);
    return n >= 0;
}
#endif

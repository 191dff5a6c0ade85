#include "service_manager.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
constexpr int first_handed_fd = 3;
} // namespace

namespace {
const char *notify_socket()
{
    const char *where = std::getenv("NOTIFY_SOCKET");
    return where != nullptr && where[0] != '\0' ? where : nullptr;
}
} // namespace

bool service_manager_present()
{
    return notify_socket() != nullptr;
}

// One datagram on a Unix socket, with the fds as SCM_RIGHTS: the protocol
// is stable and small, so builds without libsystemd (cross builds) speak it too.
bool notify_service_manager(const char *state, const int *fds, std::size_t nfds)
{
    const char *where = notify_socket();
    if (where == nullptr)
        return true;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::size_t len = std::strlen(where);
    if ((where[0] != '/' && where[0] != '@') || len >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, where, len);
    if (where[0] == '@')
        addr.sun_path[0] = '\0'; // an abstract socket
    const int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return false;
    iovec text{const_cast<char *>(state), std::strlen(state)};
    msghdr msg{};
    msg.msg_name = &addr;
    msg.msg_namelen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
    msg.msg_iov = &text;
    msg.msg_iovlen = 1;
    std::vector<char> control;
    if (nfds > 0) {
        control.resize(CMSG_SPACE(sizeof(int) * nfds));
        msg.msg_control = control.data();
        msg.msg_controllen = control.size();
        cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * nfds);
        std::memcpy(CMSG_DATA(c), fds, sizeof(int) * nfds);
    }
    ssize_t n;
    do {
        n = sendmsg(sock, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    close(sock);
    return n >= 0;
}

std::vector<handed_fd> take_handed_fds()
{
    std::vector<handed_fd> got;
    const char *pid = std::getenv("LISTEN_PID");
    const char *count = std::getenv("LISTEN_FDS");
    const char *names = std::getenv("LISTEN_FDNAMES");
    char *end = nullptr;
    // Meant for us, not for the process we were started from.
    if (pid != nullptr && count != nullptr && std::strtol(pid, &end, 10) == getpid() && *end == '\0') {
        const long n = std::strtol(count, &end, 10);
        for (long i = 0; *end == '\0' && i < n && i < 4096; ++i) {
            const int fd = first_handed_fd + static_cast<int>(i);
            std::string name;
            if (names != nullptr) { // colon-separated, one per fd
                const char *from = names;
                for (long k = 0; k < i && from != nullptr; ++k) {
                    from = std::strchr(from, ':');
                    from = from != nullptr ? from + 1 : nullptr;
                }
                if (from != nullptr)
                    name.assign(from, std::strcspn(from, ":"));
            }
            if (fcntl(fd, F_SETFD, FD_CLOEXEC) == 0)
                got.push_back({name, fd});
        }
    }
    for (const char *v : {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"})
        unsetenv(v);
    return got;
}

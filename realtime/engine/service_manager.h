// Talking to a service manager (systemd): readiness (Type=notify), and the
// file-descriptor store, which keeps the pipes open across a restart so
// that clients holding them go on.
#ifndef SERVO_ENGINE_SERVICE_MANAGER_H
#define SERVO_ENGINE_SERVICE_MANAGER_H

#include <cstddef>
#include <string>
#include <vector>

// True when a service manager listens ($NOTIFY_SOCKET).
bool service_manager_present();

// Sends state ("READY=1", "FDSTORE=1\nFDNAME=...") and fds with it, by the
// protocol of sd_notify(3). Without a service manager this does nothing.
// Returns false only on a failed send.
bool notify_service_manager(const char *state, const int *fds = nullptr, std::size_t nfds = 0);

// Descriptors the service manager passed to this process at start
// ($LISTEN_PID, $LISTEN_FDS, $LISTEN_FDNAMES: from fd 3 on), close-on-exec
// from here on. The variables are unset, so that they reach no child.
struct handed_fd {
    std::string name;
    int fd;
};
std::vector<handed_fd> take_handed_fds();

#endif

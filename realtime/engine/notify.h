// Telling a service manager (systemd, Type=notify) how the server is doing.
#ifndef SERVO_ENGINE_NOTIFY_H
#define SERVO_ENGINE_NOTIFY_H

// Sends state ("READY=1", "STOPPING=1") to $NOTIFY_SOCKET. Without a
// service manager this does nothing. Returns false only on a failed send.
bool notify_service_manager(const char *state);

#endif

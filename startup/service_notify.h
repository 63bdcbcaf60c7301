// Telling a service manager (systemd's Type=notify) that the server is
// ready: one datagram on the socket it names in NOTIFY_SOCKET. Read only
// under --service; a server run by hand reads no environment variable.
#ifndef TARNEL_STARTUP_SERVICE_NOTIFY_H_
#define TARNEL_STARTUP_SERVICE_NOTIFY_H_

#include <string_view>

namespace tarnel {

/// Sends `state` ("READY=1") as one datagram to the AF_UNIX socket named in
/// the environment variable NOTIFY_SOCKET: a path ("/run/systemd/notify"),
/// or a name in the abstract namespace written with a leading '@'. False
/// when the variable is unset or empty, names no such socket, or the send
/// fails; the server runs on either way (a manager that waits for the
/// message then reports the start as failed by its own time limit).
bool notify_service_manager(std::string_view state);

}  // namespace tarnel

#endif  // TARNEL_STARTUP_SERVICE_NOTIFY_H_

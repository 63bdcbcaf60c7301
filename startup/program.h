// The program's start-up, its run and its end, over any port backend.
#ifndef TARNEL_STARTUP_PROGRAM_H_
#define TARNEL_STARTUP_PROGRAM_H_

#include <string>
#include <vector>

#include "base/console.h"
#include "files/names.h"
#include "link/port.h"
#include "startup/identity.h"
#include "startup/options.h"
#include "startup/sharing.h"

namespace tarnel {

/// The exit status of a start that fails under --service (the port, device
/// or cable cannot be claimed, root rights cannot be given up), so that a
/// service manager sees the failure. Without --service such a start ends
/// with 0, like the orderly end.
constexpr int kExitStartFailed = 1;
/// The exit status of a bad command line; nothing has started then.
constexpr int kExitUsage = 2;

/// Prints the banner and the reports, claims the port, drops root rights and
/// serves until a key is pressed (under --service: a stop signal comes).
/// `claim`: what claiming `port` takes, which chooses the start-up warning.
/// `shared`: what the client is served (the whole file system when null);
/// its description, when not empty, is written before the server accepts
/// connections, and the file the port stands on (the cable file, the
/// device) is kept out of the client's reach. `names`: how the client's
/// names are read and shown (--charset). Returns the exit status: 0, but
/// kExitStartFailed for a start that fails under --service.
int run_program(const ServerOptions& options, PortClaim claim, Port& port, Console& console,
                Identity& identity, SharedFiles* shared = nullptr,
                const ClientNames& names = ClientNames());

/// As tarnel starts: `args` are the arguments after the program name, taken
/// as the port number; `device`: the parallel-port device that `port`
/// claims, which needs no root rights; empty for the I/O ports.
int run_program(const std::vector<std::string>& args, Port& port, Console& console,
                Identity& identity, const std::string& device = "");

}  // namespace tarnel

#endif  // TARNEL_STARTUP_PROGRAM_H_

// The program's start-up, its run and its end, over any port backend.
#ifndef TARNEL_STARTUP_PROGRAM_H_
#define TARNEL_STARTUP_PROGRAM_H_

#include <string>
#include <vector>

#include "base/console.h"
#include "files/names.h"
#include "link/port.h"
#include "startup/identity.h"
#include "startup/sharing.h"

namespace tarnel {

/// Prints the banner and the reports, claims the port, drops root rights and
/// serves until a key is pressed. `args` are the arguments after the program
/// name. `device`: the parallel-port device that `port` claims, which needs
/// no root rights; empty for the other backends. `shared`: what the client
/// is served, the whole file system when null; its description, when not
/// empty, is written before the server accepts connections. `own_file`: the
/// file the port stands on (the cable file, the device), kept out of the
/// client's reach once claimed; empty for none. `names`: how the client's
/// names are read and shown (--charset). Returns the exit status, which is 0
/// on every path.
int run_program(const std::vector<std::string>& args, Port& port, Console& console,
                Identity& identity, const std::string& device = "", SharedFiles* shared = nullptr,
                const std::string& own_file = "", const ClientNames& names = ClientNames());

}  // namespace tarnel

#endif  // TARNEL_STARTUP_PROGRAM_H_

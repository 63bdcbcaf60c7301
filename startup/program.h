// The program's start-up, its run and its end, over any port backend.
#ifndef TARNEL_STARTUP_PROGRAM_H_
#define TARNEL_STARTUP_PROGRAM_H_

#include <string>
#include <vector>

#include "base/console.h"
#include "files/file_system.h"
#include "files/names.h"
#include "link/port.h"
#include "startup/identity.h"

namespace tarnel {

/// Prints the banner and the reports, claims the port, drops root rights and
/// serves until a key is pressed. `args` are the arguments after the program
/// name. `device`: the parallel-port device that `port` claims, which needs
/// no root rights; empty for the other backends. `fs`: the file system the
/// client is served, the whole one when null; `sharing_line`, when not
/// empty, is written before the server accepts connections. `names`: how the
/// client's names are read and shown (--charset). Returns the exit status,
/// which is 0 on every path.
int run_program(const std::vector<std::string>& args, Port& port, Console& console,
                Identity& identity, const std::string& device = "", FileSystem* fs = nullptr,
                const std::string& sharing_line = "", const ClientNames& names = ClientNames());

}  // namespace tarnel

#endif  // TARNEL_STARTUP_PROGRAM_H_

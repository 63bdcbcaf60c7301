// tarnel-sim: the server with the virtual cable in place of the printer
// port. Usage: tarnel-sim [--cable PATH] [--root DIR] [--read-only] [portnr]
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "link/port_allocation.h"
#include "link/virtual_cable.h"
#include "startup/charset_option.h"
#include "startup/console.h"
#include "startup/program.h"
#include "startup/sharing.h"
#include "startup/usage.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (tarnel::print_info_option(args, "tarnel-sim")) return 0;
  std::string cable_path;
  // The option is taken off first; the rest is the server's usual command line.
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--cable") {
      if (i + 1 >= args.size()) {
        std::fprintf(stderr, "tarnel-sim: --cable needs a path\n");
        return 2;
      }
      cable_path = args[i + 1];
      args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
      break;
    }
  }
  // What is shared: taken off too, and the folder opened before anything
  // else is done, so that a folder that cannot be served ends the program
  // at once.
  tarnel::Sharing sharing;
  std::string why;
  if (!tarnel::take_sharing_options(args, sharing, &why)) {
    std::fprintf(stderr, "tarnel-sim: %s\n", why.c_str());
    return 2;
  }
  const std::unique_ptr<tarnel::SharedFiles> shared = tarnel::SharedFiles::make(sharing, &why);
  if (!shared) {
    std::fprintf(stderr, "tarnel-sim: %s\n", why.c_str());
    return 2;
  }
  tarnel::ClientNames names;
  if (!tarnel::take_charset_option(args, &names, &why)) {
    std::fprintf(stderr, "tarnel-sim: %s\n", why.c_str());
    return 2;
  }
  tarnel::StdConsole console;
  console.prepare();
  tarnel::CablePort port(cable_path, tarnel::VirtualCable::kEndA);
  tarnel::Identity identity;
  // The cable file, kept out of the client's reach.
  const std::string own_file = cable_path.empty()
                                   ? tarnel::default_cable_path(tarnel::port_number_from_args(args))
                                   : cable_path;
  return tarnel::run_program(args, port, console, identity, "", shared.get(), own_file, names);
}

// tarnel: the server on a real printer port.
// Usage: tarnel [--device PATH] [--root DIR] [--read-only] [portnr]
// With --device the port is reached through the kernel's parallel-port
// device (/dev/parportN), which needs no root rights; without it, through
// the I/O ports after ioperm.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "link/device_port.h"
#include "link/io_port.h"
#include "startup/charset_option.h"
#include "startup/cleanup.h"
#include "startup/console.h"
#include "startup/program.h"
#include "startup/sharing.h"
#include "startup/usage.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (tarnel::print_info_option(args, "tarnel")) return 0;
  std::string device;
  // The option is taken off first; the rest is the server's usual command line.
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--device") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        std::fprintf(stderr, "tarnel: --device needs a path\n");
        return 2;
      }
      device = args[i + 1];
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
    std::fprintf(stderr, "tarnel: %s\n", why.c_str());
    return 2;
  }
  const std::unique_ptr<tarnel::SharedFiles> shared = tarnel::SharedFiles::make(sharing, &why);
  if (!shared) {
    std::fprintf(stderr, "tarnel: %s\n", why.c_str());
    return 2;
  }
  tarnel::ClientNames names;
  if (!tarnel::take_charset_option(args, &names, &why)) {
    std::fprintf(stderr, "tarnel: %s\n", why.c_str());
    return 2;
  }
  tarnel::StdConsole console;
  console.prepare();
  std::unique_ptr<tarnel::Port> port;
  if (device.empty()) {
    port = std::make_unique<tarnel::IoPort>();
  } else {
    port = std::make_unique<tarnel::DevicePort>(device);
    tarnel::at_program_end(&tarnel::release_device_on_signal);
  }
  tarnel::Identity identity;
  // The device, kept out of the client's reach.
  return tarnel::run_program(args, *port, console, identity, device, shared.get(), device, names);
}

// The servers' command lines: one table of options for tarnel and one for
// tarnel-sim, read into ServerOptions. An option is one entry in the table
// (startup/options.cc), which says how its value is checked and stored.
#ifndef TARNEL_STARTUP_OPTIONS_H_
#define TARNEL_STARTUP_OPTIONS_H_

#include <string>
#include <string_view>
#include <vector>

#include "base/option_table.h"
#include "link/port_factory.h"

namespace tarnel {

enum class Server {
  kTarnel,     // the printer port: I/O registers, or --device
  kTarnelSim,  // the virtual cable
};

/// "tarnel" or "tarnel-sim".
const char* server_name(Server server);

struct ServerOptions {
  /// The arguments that are no options: the port number, of which only a
  /// sole argument's first character counts.
  std::vector<std::string> words;
  std::string device;                        // tarnel --device: the parallel-port device
  std::string gpio;                          // tarnel --gpio: the GPIO chip
  GpioLines gpio_lines = kRaspberryPiLines;  // --gpio-lines
  bool gpio_lines_given = false;
  std::string cable;       // tarnel-sim --cable; "" : the default for the port number
  bool service = false;    // --service: run under a service manager
  std::string root;        // --root: the one folder served; "" : the whole file system
  bool read_only = false;  // --read-only: nothing is changed
  std::string charset;     // --charset: the client's code page; "" : names as bytes
};

/// The options `server` takes, in the order --help lists them, with their
/// handling; and the same without it.
std::vector<OptionEntry<ServerOptions>> server_option_entries(Server server);
std::vector<OptionSpec> server_option_table(Server server);

/// Reads the arguments (program name excluded). False with a one-line
/// reason; `*unknown` tells a reason that is an unknown option.
bool parse_server_options(Server server, const std::vector<std::string>& args,
                          ServerOptions* options, std::string* error, bool* unknown = nullptr);

/// What the options ask of the port factory.
PortRequest port_request(Server server, const ServerOptions& options);

}  // namespace tarnel

#endif  // TARNEL_STARTUP_OPTIONS_H_

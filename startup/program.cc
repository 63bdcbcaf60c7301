#include "startup/program.h"

#include "commands/command_loop.h"
#include "files/file_system.h"
#include "files/metadata.h"
#include "link/lines.h"
#include "link/port_allocation.h"
#include "link/virtual_cable.h"
#include "startup/service_notify.h"

namespace tarnel {
namespace {

void privilege_report(Console& console, Identity& identity) {
  console.write("Current effective user ID: " + std::to_string(identity.effective_uid()) +
                ", ID of calling user: " + std::to_string(identity.real_uid()));
  console.end_line();
}

constexpr const char* kWarning[] = {
    "WARNING: You should run this program as a normal user with",
    "suid root. This is done with the following commands:",
    "",
    "su",
    "chown root tarnel",
    "chmod +s tarnel",
    "logout",
    "",
};

// Through the parallel-port device or a GPIO chip root rights are not
// needed, so the advice to install the program set-user-ID root would
// mislead; the one thing left to warn of is serving the client with root's
// rights.
void device_root_warning(Console& console, const std::string& device, const char* group) {
  console.line("WARNING: You should run this program as a normal user who may use");
  console.line(device + " (usually a member of the " + group + " group); it needs no root rights.");
  console.line("");
}

}  // namespace

int run_program(const std::vector<std::string>& args, Port& port, Console& console,
                Identity& identity, const std::string& device) {
  ServerOptions options;
  options.words = args;
  options.device = device;
  return run_program(options, device.empty() ? PortClaim::kIoPorts : PortClaim::kDevice, port,
                     console, identity);
}

int run_program(const ServerOptions& options, PortClaim claim, Port& port, Console& console,
                Identity& identity, SharedFiles* shared, const ClientNames& names) {
  // A start that fails shows the lines of the design's failed start; only a
  // service manager is told by the status.
  const int failed = options.service ? kExitStartFailed : 0;
  // Three lines of exactly 80 characters, without line ends: on an 80-column
  // console each fills one row. A journal has no rows: under --service each
  // is a line of its own, without the blanks that fill the row.
  const auto banner_line = [&](const std::string& text) {
    if (options.service) {
      console.line(text.substr(0, text.find_last_not_of(' ') + 1));
    } else {
      console.write(text);
    }
  };
  banner_line("TARNEL:parallel port server for Kestrel Navigator. Usage: TARNEL <portnr> (1..3)");
  banner_line("Press any key to abort!" + std::string(57, ' '));
  banner_line(std::string(80, '='));

  const int port_number = port_number_from_args(options.words);
  privilege_report(console, identity);
  const bool set_user_id = identity.real_uid() != identity.effective_uid();
  if (!set_user_id) {
    // The simulated server shows the start-up of the real one on its I/O
    // ports; through the device no root rights are needed.
    const bool needs_root = claim != PortClaim::kDevice && claim != PortClaim::kGpio;
    if (needs_root) {
      for (const char* line : kWarning) console.line(line);
    } else if (identity.effective_uid() == 0) {
      const std::string file = port.own_file().empty() ? options.device : port.own_file();
      device_root_warning(console, file, claim == PortClaim::kGpio ? "gpio" : "lp");
    }
  }

  const PortAllocation claimed = allocate_port(port, port_number);
  const uint16_t port_base = claimed.base;
  if (!claimed.claimed() && !claimed.why.empty()) {
    // The I/O ports' failed claim shows on the console as "Failed!" alone;
    // the kernel's reason goes beside it. The other backends say why first.
    if (claim == PortClaim::kIoPorts) {
      console.error_line(claimed.why);
    } else {
      console.line(claimed.why);
    }
  }
  console.write("Trying to allocate port: ");
  console.line(port_base != 0 ? "Success!" : "Failed!");

  if (set_user_id) {
    std::string drop_error;
    if (!identity.drop_root(&drop_error)) {
      // Serving the client with root rights left over is never acceptable.
      console.line(drop_error);
      console.line("Program aborted.");
      return failed;
    }
    privilege_report(console, identity);
  }

  if (port_base != 0) {
    if (shared != nullptr) {
      if (!shared->description().empty()) console.line(shared->description());
      // The file the port stands on, out of the client's reach; a server
      // that cannot keep it there would let the client cut its own cable.
      if (!claimed.own_file.empty() && !shared->protect_own_file(claimed.own_file)) {
        console.line("Cannot keep " + claimed.own_file + " out of the client's reach");
        console.line("Program aborted.");
        return failed;
      }
    }
    console.line("Accepting connections through port LPT" + std::to_string(port_number) +
                 ", port addr: " + std::to_string(port_base));
    // The service manager's start ends here, and only here.
    if (options.service) notify_service_manager("READY=1");
    read_time_zone_offset();
    abort_flag = false;
    // The one Lines of the server; its busy flag starts clear.
    Lines lines(port, port_base, Waiting::kServer);
    WholeFileSystem whole;
    command_loop(lines, console, shared != nullptr ? shared->fs() : whole, names);
  }
  console.line("Program aborted.");
  return port_base != 0 ? 0 : failed;
}

}  // namespace tarnel

// tarnel-client: end B of the cable. One command per run; see --help.
#include <memory>
#include <string>
#include <vector>

#include "base/standard_descriptors.h"
#include "client/commands.h"
#include "client/options.h"
#include "client/output.h"
#include "client/session.h"
#include "link/lines.h"
#include "link/port_allocation.h"
#include "link/port_factory.h"
#include "link/virtual_cable.h"

int main(int argc, char** argv) {
  using namespace tarnel;
  using namespace tarnel::client;

  // Before anything is opened: the cable or a downloaded file must not take
  // the place of a closed standard output. Without /dev/null there is
  // nowhere safe to write even the message.
  if (!open_standard_descriptors()) return static_cast<int>(Exit::kLocalFile);

  StdioOutput output;
  Options options;
  std::string error;
  if (!parse_options(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
    output.message(error.c_str());
    const std::string usage = usage_text();
    output.err(usage.substr(0, usage.find('\n') + 1));
    output.err("Try 'tarnel-client --help'.\n");
    return static_cast<int>(Exit::kUsage);
  }
  if (options.help) {
    output.out(usage_text());
    return 0;
  }
  if (options.version) {
    output.line(std::string("tarnel-client ") + kClientVersion);
    return 0;
  }

  PortRequest request;
  request.device = options.device;
  request.io_ports = options.port != 0;
  request.cable = options.cable_path;
  request.end = VirtualCable::kEndB;
  request.bus_ns_if_created = options.bus_ns;
  MadePort made = make_port(request);
  std::unique_ptr<Port>& port = made.port;
  const uint16_t base = port->base_address(1, port_base_for(options.port != 0 ? options.port : 1));
  std::string why;
  if (made.backend->claim == PortClaim::kIoPorts) {
    why = "cannot claim the printer port LPT" + std::to_string(options.port) +
          " (ioperm needs root rights)";
  }
  std::string claim_why;
  if (!port->claim(options.port != 0 ? options.port : 1, base, &claim_why)) {
    if (!claim_why.empty()) why = claim_why;
    output.message(why.c_str());
    return static_cast<int>(Exit::kCable);
  }

  catch_interrupts();
  auto* cable_port = dynamic_cast<CablePort*>(port.get());
  VirtualCable* cable = cable_port ? cable_port->cable() : nullptr;
  ClientPort client_port(*port, base, cable);
  Lines lines(client_port, base, Waiting::kPatient);
  // This end keeps its reply codes up by its own rule (ClientPort).
  lines.set_reply_hold_ms(0);
  Outcome outcome;
  {
    SessionSettings settings;
    settings.reply_timeout_ms = options.timeout_ms;
    settings.wait_limit_ms = options.wait_limit_ms;
    settings.verbose = options.verbose;
    settings.charset = options.charset;
    Session session(lines, client_port, settings);
    outcome = run_command(session, options, output);
  }
  // As printed so far: the message up to a NUL a reply may have brought.
  if (!outcome.ok()) output.message(outcome.message.c_str());
  return static_cast<int>(outcome.exit);
}

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

int main(int argc, char** argv) {
  using namespace tarnel;
  using namespace tarnel::client;

  // Before anything is opened: the cable or a downloaded file must not take
  // the place of a closed standard output. Without /dev/null there is
  // nowhere safe to write even the message.
  if (!open_standard_descriptors()) return static_cast<int>(Exit::kLocalFile);

  const std::vector<std::string> args(argv + 1, argv + argc);
  if (answer_info_option(args, "tarnel-client", usage_text())) return 0;
  StdioOutput output;
  Options options;
  std::string error;
  if (!parse_options(args, &options, &error)) {
    output.message(error.c_str());
    output.err(synopsis_text());
    output.err("Try 'tarnel-client --help'.\n");
    return static_cast<int>(Exit::kUsage);
  }

  ClaimedPort claimed = claim_port(port_request(options), options.port != 0 ? options.port : 1);
  if (!claimed.allocation.claimed()) {
    output.message(claimed.allocation.why.c_str());
    return static_cast<int>(Exit::kCable);
  }
  const uint16_t base = claimed.allocation.base;

  catch_interrupts();
  ClientPort client_port(*claimed.port, base, claimed.cable);
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

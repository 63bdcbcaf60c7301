// The client's commands in one table: what the command line takes for each
// (parse_options), what runs it (run_command) and its lines in --help.
#ifndef TARNEL_CLIENT_COMMAND_TABLE_H_
#define TARNEL_CLIENT_COMMAND_TABLE_H_

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "client/options.h"
#include "client/outcome.h"
#include "client/output.h"
#include "client/session.h"

namespace tarnel::client {

/// What a command runs with: the session, connected already, the command
/// line and where to print.
struct CommandCall {
  Session& session;
  const Options& options;
  Output& output;
  /// The server's answer to the "CONNECT" that connected.
  const std::string& hello;
};

struct CommandSpec {
  const char* name;
  size_t min_args;
  size_t max_args;
  /// Takes -r, --text and --resume.
  bool transfer;
  /// Takes --raw.
  bool listing;
  /// A check of the arguments before anything goes over the link, or
  /// nullptr.
  Outcome (*check)(const Options& options);
  Outcome (*run)(const CommandCall& call);
  /// Its lines in the command list of --help.
  const char* help;
};

/// Every command, in the order --help lists them.
std::span<const CommandSpec> command_table();
/// The command called `name`, or nullptr.
const CommandSpec* find_command(std::string_view name);

}  // namespace tarnel::client

#endif  // TARNEL_CLIENT_COMMAND_TABLE_H_

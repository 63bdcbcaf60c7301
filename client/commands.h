// The client's commands, one per run, on a connected session.
#ifndef TARNEL_CLIENT_COMMANDS_H_
#define TARNEL_CLIENT_COMMANDS_H_

#include <string>
#include <string_view>

#include "client/options.h"
#include "client/outcome.h"
#include "client/session.h"

namespace tarnel::client {

/// Connects (except for "connect" itself, which is the connecting) and runs
/// the command of `options`. Reports go to standard output.
Outcome run_command(Session& session, const Options& options);

// The commands.
Outcome list_command(Session& session, const Options& options);
Outcome get_command(Session& session, const Options& options);
Outcome put_command(Session& session, const Options& options);

// Pieces the commands share.

/// A command text as sent: `word` and `path`, refused when longer than a
/// text of the link (255 bytes) instead of being cut.
Outcome command_text(std::string_view word, std::string_view path, std::string* text);
/// The last component of a server path (after the last "\" or "/").
std::string remote_basename(std::string_view remote);
/// Sends "LIST path" and collects the listing's data into *data.
/// `reply_timeout_ms` 0: the session's reply timeout.
Outcome fetch_listing(Session& session, std::string_view path, std::string* data,
                      unsigned reply_timeout_ms = 0);

}  // namespace tarnel::client

#endif  // TARNEL_CLIENT_COMMANDS_H_

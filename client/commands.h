// The client's commands, one per run, on a connected session.
#ifndef TARNEL_CLIENT_COMMANDS_H_
#define TARNEL_CLIENT_COMMANDS_H_

#include <string>
#include <string_view>

#include "client/options.h"
#include "client/outcome.h"
#include "client/output.h"
#include "client/progress.h"
#include "client/session.h"

namespace tarnel::client {

/// Connects (except for "connect" itself, which is the connecting) and runs
/// the command of `options`. Reports and messages go to `output`.
Outcome run_command(Session& session, const Options& options, Output& output);

// The commands.
Outcome list_command(Session& session, const Options& options, Output& output);
/// "get" and "put": one file, several, or trees (-r); see copy.cc.
Outcome copy_command(Session& session, const Options& options, Output& output);

/// What one finished file transfer tells its caller.
struct FileReport {
  /// The size the caller counted for this file in the progress bar's total
  /// (-1: none; the transfer then adds what it moves).
  int64_t expected = -1;
  /// Bytes this run moved over the link so far.
  int64_t moved = 0;
  /// "Sent LOCAL to REMOTE: N bytes", "Received ...": the report, without
  /// the rate, once the transfer is complete.
  std::string text;
};

/// Uploads `local` to `remote` (empty: the local name; ending in "\" or
/// "/": a directory); raw or text mode and resume as `options` say.
/// Warnings go to `output`.
Outcome put_file(Session& session, const std::string& local, const std::string& remote,
                 const Options& options, Output& output, Progress& progress, FileReport* report);
/// A download's partial file is LOCAL with this; the data goes there until
/// all of it has come.
constexpr const char* kPartSuffix = ".tarnel-part";

/// Where a copy of several files puts one of them: the file `name` in the
/// directory `dir_fd`, which the copy opened beneath its destination without
/// following any symbolic link; no name in it is followed either. Its
/// partial file is `part_name` there. `shown` and `part_shown` are the
/// paths told to the user.
struct LocalPlace {
  int dir_fd;
  std::string name;
  std::string part_name;
  std::string shown;
  std::string part_shown;
};

/// Downloads `remote` to `local` (empty: the server's name in the current
/// directory; an existing directory: the server's name in it), or to
/// `place` when that is given. Warnings go to `output`.
Outcome get_file(Session& session, const std::string& remote, const std::string& local,
                 const Options& options, Output& output, Progress& progress, FileReport* report,
                 const LocalPlace* place = nullptr);

// Pieces the commands share.

/// A command text as sent: `word` and `path` (in UTF-8 here), refused when
/// longer than a text of the link (255 bytes) instead of being cut. What is
/// measured is what goes on the wire: the text in `charset`'s code page.
Outcome command_text(const Charset& charset, std::string_view word, std::string_view path,
                     std::string* text);
/// The last component of a server path (after the last "\" or "/").
std::string remote_basename(std::string_view remote);
/// `name` in the server directory `dir`, joined with the separator that
/// `dir` uses ("\" unless it has only "/"); an empty `dir` gives `name`.
std::string remote_join(std::string_view dir, std::string_view name);
/// Sends a management command (`word` and `path`) answered by "OK".
Outcome simple_command(Session& session, std::string_view word, std::string_view path);
/// Sends "LIST path" and collects the listing's data into *data; a listing
/// longer than announced is warned of on `output`.
/// `reply_timeout_ms` 0: the session's reply timeout.
Outcome fetch_listing(Session& session, Output& output, std::string_view path, std::string* data,
                      unsigned reply_timeout_ms = 0);

}  // namespace tarnel::client

#endif  // TARNEL_CLIENT_COMMANDS_H_

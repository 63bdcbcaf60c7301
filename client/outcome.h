// How a client command ended: an exit status class and one line for the user.
#ifndef TARNEL_CLIENT_OUTCOME_H_
#define TARNEL_CLIENT_OUTCOME_H_

#include <string>
#include <utility>

namespace tarnel::client {

/// Exit statuses of tarnel-client, one per class of failure.
enum class Exit : int {
  kOk = 0,
  kUsage = 2,            // bad command line
  kCable = 3,            // the virtual cable or the printer port cannot be used
  kNoServer = 4,         // nothing answers on the cable
  kLink = 5,             // a frame refused or failed, a transfer cut short, no reply in time
  kBadCommand = 6,       // the server signalled that it does not know the command
  kUnexpectedReply = 7,  // the server answered something this client does not expect
  kFileError = 8,        // "FILE ERROR n"
  kDirError = 9,         // "DIR ERROR n"
  kRenameError = 10,     // "RENAME ERROR n"
  kRestError = 11,       // "REST ERROR n"
  kLocalFile = 12,       // a local file cannot be read or written
  kMismatch = 13,        // a resume is impossible: the two files differ
  kInterrupted = 130,    // stopped by SIGINT, SIGTERM or SIGHUP
};

struct Outcome {
  Exit exit = Exit::kOk;
  std::string message;

  bool ok() const { return exit == Exit::kOk; }
  static Outcome Ok() { return {}; }
  static Outcome Fail(Exit exit, std::string message) { return {exit, std::move(message)}; }
};

/// One line per exit status, for --help.
const char* exit_status_table();

}  // namespace tarnel::client

#endif  // TARNEL_CLIENT_OUTCOME_H_

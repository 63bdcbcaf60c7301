// Where the client's commands print: their results on standard output, their
// messages and the progress bar on standard error. The program prints
// through StdioOutput; a test records what a command printed instead.
#ifndef TARNEL_CLIENT_OUTPUT_H_
#define TARNEL_CLIENT_OUTPUT_H_

#include <string_view>

namespace tarnel::client {

class Output {
 public:
  virtual ~Output() = default;

  /// Bytes of a result, as they are to appear on standard output (report
  /// lines, a listing, replies, data as the server sent it).
  virtual void out(std::string_view bytes) = 0;
  /// Bytes for standard error: message lines and the progress bar.
  virtual void err(std::string_view bytes) = 0;
  /// Whether standard error is a terminal (the progress bar is drawn only
  /// there).
  virtual bool err_is_terminal() = 0;

  // Lines for the user's terminal. Their text may hold what the server
  // sent (names, replies): its control bytes are shown in visible form
  // (visible_text), so that a server cannot move the cursor, retitle or
  // clear the terminal or forge a line.

  /// A result line: `text` and a line end.
  void line(std::string_view text);
  /// A message line on standard error: "tarnel-client: `text`".
  void message(std::string_view text);
  /// "tarnel-client: warning: `text`".
  void warning(std::string_view text);
};

/// Lines as the server sent them (a listing, the data of "raw"), for the
/// terminal: TAB and the CR LF that ends a line stay, every other control
/// byte (a lone CR or LF too) is shown in visible form (visible_text).
std::string visible_lines(std::string_view data);

/// The program's standard output and standard error, each flushed after
/// every write so that the two keep their order when they go to one file.
class StdioOutput final : public Output {
 public:
  void out(std::string_view bytes) override;
  void err(std::string_view bytes) override;
  bool err_is_terminal() override;
};

}  // namespace tarnel::client

#endif  // TARNEL_CLIENT_OUTPUT_H_

// The server console on a terminal: everything goes to standard output,
// flushed at once; a key press is only detected, never read, so it stays
// pending.
#ifndef TARNEL_STARTUP_CONSOLE_H_
#define TARNEL_STARTUP_CONSOLE_H_

#include <string_view>

#include "base/console.h"

namespace tarnel {

/// Standard output and standard input. When standard output is a terminal
/// it is put into raw mode (single key presses without Enter, no keyboard
/// signals) and its former settings are put back on every way out.
class StdConsole : public Console {
 public:
  /// Switches the terminal of standard output to raw mode when it is one,
  /// and catches the signals that end the program, to clean up on the way.
  void prepare();
  /// Puts the saved terminal settings back; harmless when nothing was saved.
  static void restore();

  void write(std::string_view text) override;
  void end_line() override;
  bool key_pending() override;
};

}  // namespace tarnel

#endif  // TARNEL_STARTUP_CONSOLE_H_

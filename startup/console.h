// The server console: everything goes to standard output, flushed at once;
// a key press is only detected, never read, so it stays pending.
#ifndef TARNEL_STARTUP_CONSOLE_H_
#define TARNEL_STARTUP_CONSOLE_H_

#include <string_view>

namespace tarnel {

/// Set when a key is found pending on the console; the command loop ends
/// when it is set. Transfers and the listing set it between frames.
extern bool abort_flag;

class Console {
 public:
  virtual ~Console() = default;
  /// Writes text without a line end, flushed at once.
  virtual void write(std::string_view text) = 0;
  /// Ends the line; the next line starts at the first column.
  virtual void end_line() = 0;
  /// Whether a key is waiting on the console (the key is not read).
  virtual bool key_pending() = 0;

  void line(std::string_view text) {
    write(text);
    end_line();
  }
};

/// Makes `call` part of the way out on a signal that ends the program (the
/// signals StdConsole::prepare catches): it runs in the signal handler, before
/// the terminal settings are put back, so it must be async-signal-safe.
/// One call at a time; nullptr removes it.
void call_on_fatal_signal(void (*call)());

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

// The server console on a terminal: everything goes to standard output,
// flushed at once; a key press is only detected, never read, so it stays
// pending.
#ifndef TARNEL_STARTUP_CONSOLE_H_
#define TARNEL_STARTUP_CONSOLE_H_

#include <string_view>

#include "base/console.h"

struct termios;

namespace tarnel {

/// Standard output and standard input. When standard output is a terminal
/// it is put into raw mode (single key presses without Enter, no keyboard
/// signals) and its former settings are put back on every way out.
class StdConsole : public Console {
 public:
  /// Switches the terminal of standard output to raw mode when it is one,
  /// and catches the signals that end the program, to clean up on the way.
  void prepare();
  /// For a server under a service manager (--service), in place of
  /// prepare(): standard input is never looked at (it may be /dev/null,
  /// closed or a terminal) and the terminal mode is left alone; SIGTERM,
  /// SIGINT and SIGHUP stand for the key press and ask for the stop at once
  /// (stop_on_signals), a second one ends the program at once.
  void prepare_service();
  /// Puts the saved terminal settings back. True when the terminal has them
  /// again, or nothing was saved; false when the terminal refused them: they
  /// stay saved, lines still end as on the raw terminal, and a later call
  /// tries again.
  static bool restore();

  /// The call that sets the terminal's settings, tcsetattr unless replaced;
  /// tests put in one that fails. Returns the call it replaces.
  using SettingsCall = int (*)(int fd, int when, const termios* settings);
  static SettingsCall replace_settings_call(SettingsCall call);

  void write(std::string_view text) override;
  void end_line() override;
  void error_line(std::string_view text) override;
  bool key_pending() override;
  bool stop_requested() override;

 private:
  bool service_ = false;
};

}  // namespace tarnel

#endif  // TARNEL_STARTUP_CONSOLE_H_

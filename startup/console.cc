#include "startup/console.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "startup/cleanup.h"

namespace tarnel {

namespace {

termios saved_settings;
volatile sig_atomic_t settings_saved = 0;
StdConsole::SettingsCall settings_call = &tcsetattr;

/// Sets the terminal's settings at once; a signal that breaks in is no
/// failure.
bool set_settings(const termios& settings) {
  while (settings_call(STDOUT_FILENO, TCSANOW, &settings) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

void restore_at_end() { StdConsole::restore(); }

/// How long a write waits for a console that takes nothing (a pipe whose
/// reader has stopped reading, a stalled terminal) before its text is
/// dropped. Once a wait has run out, writes do not wait at all until the
/// console takes text again: a console that nobody reads must not slow the
/// server down, let alone stop it.
constexpr int kStalledConsoleWaitMs = 100;
bool console_stalled = false;

void write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    pollfd ready{fd, POLLOUT, 0};
    const int r = poll(&ready, 1, console_stalled ? 0 : kStalledConsoleWaitMs);
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) {
      console_stalled = true;
      return;
    }
    // Ready, or an error that the write below reports. A pipe that shows
    // ready has a free page at least: a write of no more than PIPE_BUF
    // bytes cannot block.
    console_stalled = false;
    ssize_t w = ::write(fd, p, std::min<size_t>(n, PIPE_BUF));
    if (w < 0) {
      if (errno == EINTR) continue;
      return;  // a console that cannot be written to: nothing more to do
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

}  // namespace

void StdConsole::prepare() {
  // The console is a report, not the job: standard output may be a pipe
  // whose reader has gone. Its writes then fail (and are given up) instead
  // of ending the server with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  if (!isatty(STDOUT_FILENO)) return;
  termios settings;
  if (tcgetattr(STDOUT_FILENO, &settings) != 0) return;
  saved_settings = settings;
  settings_saved = 1;
  // However the program ends, a normal exit or any signal that ends it.
  // Without a way to put the settings back the terminal is left as it is.
  if (!at_program_end(&restore_at_end)) {
    settings_saved = 0;
    return;
  }
  cfmakeraw(&settings);
  // A terminal that cannot be made raw still serves as the console as it
  // is: lines end with a line feed alone, which the terminal's own output
  // processing turns into CR LF, and a key press counts once the terminal
  // passes it on (after Enter when it reads whole lines). The console says
  // nothing about it: its lines stay those of a working terminal.
  if (!set_settings(settings)) settings_saved = 0;
}

void StdConsole::prepare_service() {
  signal(SIGPIPE, SIG_IGN);
  service_ = true;
  stop_on_signals();
}

bool StdConsole::restore() {
  if (!settings_saved) return true;
  // No line is written about a refusal: a terminal refuses the settings it
  // had when it has gone (hung up, closed), and then would not show the
  // line either.
  if (!set_settings(saved_settings)) return false;
  settings_saved = 0;
  return true;
}

StdConsole::SettingsCall StdConsole::replace_settings_call(SettingsCall call) {
  const SettingsCall before = settings_call;
  settings_call = call;
  return before;
}

void StdConsole::write(std::string_view text) {
  write_all(STDOUT_FILENO, text.data(), text.size());
}

void StdConsole::end_line() {
  // A raw terminal does not return to the first column by itself.
  if (settings_saved) {
    write_all(STDOUT_FILENO, "\r\n", 2);
  } else {
    write_all(STDOUT_FILENO, "\n", 1);
  }
}

void StdConsole::error_line(std::string_view text) {
  write_all(STDERR_FILENO, text.data(), text.size());
  // Standard error is often the raw terminal too.
  write_all(STDERR_FILENO, settings_saved ? "\r\n" : "\n", settings_saved ? 2 : 1);
}

bool StdConsole::key_pending() {
  // Under a service manager a stop signal is the key press.
  if (service_) return stop_signal_received();
  pollfd p{STDIN_FILENO, POLLIN, 0};
  int n = poll(&p, 1, 0);
  // End of file, a hang-up or a closed descriptor count as a key: the
  // server needs an interactive standard input to keep running.
  return n > 0 && p.revents != 0;
}

bool StdConsole::stop_requested() { return service_ && stop_signal_received(); }

}  // namespace tarnel

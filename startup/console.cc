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

bool abort_flag = false;

namespace {

termios saved_settings;
volatile sig_atomic_t settings_saved = 0;

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

std::string visible_text(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    uint8_t b = static_cast<uint8_t>(c);
    // 0x80-0x9F are the C1 controls: an 8-bit terminal takes 0x9B as CSI, the
    // same as ESC [, so they are no safer than the bytes below 0x20.
    if (b >= 0x80 && b < 0xA0) {
      out += "M-";
      b = static_cast<uint8_t>(b - 0x80);
    }
    if (b < 0x20 || b == 0x7F) {
      out += '^';
      out += static_cast<char>(b ^ 0x40);  // 0x1B -> '[', 0x7F -> '?'
    } else {
      out += static_cast<char>(b);
    }
  }
  return out;
}

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
  at_program_end(&StdConsole::restore);
  cfmakeraw(&settings);
  if (tcsetattr(STDOUT_FILENO, TCSANOW, &settings) != 0) settings_saved = 0;
}

void StdConsole::restore() {
  if (settings_saved) {
    tcsetattr(STDOUT_FILENO, TCSANOW, &saved_settings);
    settings_saved = 0;
  }
}

void StdConsole::write(std::string_view text) { write_all(STDOUT_FILENO, text.data(), text.size()); }

void StdConsole::end_line() {
  // A raw terminal does not return to the first column by itself.
  if (settings_saved) {
    write_all(STDOUT_FILENO, "\r\n", 2);
  } else {
    write_all(STDOUT_FILENO, "\n", 1);
  }
}

bool StdConsole::key_pending() {
  pollfd p{STDIN_FILENO, POLLIN, 0};
  int n = poll(&p, 1, 0);
  // End of file, a hang-up or a closed descriptor count as a key: the
  // server needs an interactive standard input to keep running.
  return n > 0 && p.revents != 0;
}

}  // namespace tarnel

#include "startup/console.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace tarnel {

bool abort_flag = false;

namespace {

termios saved_settings;
volatile sig_atomic_t settings_saved = 0;
void (*volatile fatal_signal_call)() = nullptr;

void restore_on_signal(int sig) {
  if (fatal_signal_call) fatal_signal_call();
  StdConsole::restore();
  signal(sig, SIG_DFL);
  raise(sig);
}

void write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;  // a console that cannot be written to: nothing more to do
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

}  // namespace

void call_on_fatal_signal(void (*call)()) { fatal_signal_call = call; }

void StdConsole::prepare() {
  // A signal ignored by whoever started the program (nohup) stays ignored.
  for (int sig : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) {
    if (signal(sig, restore_on_signal) == SIG_IGN) signal(sig, SIG_IGN);
  }
  if (!isatty(STDOUT_FILENO)) return;
  termios settings;
  if (tcgetattr(STDOUT_FILENO, &settings) != 0) return;
  saved_settings = settings;
  settings_saved = 1;
  std::atexit(&StdConsole::restore);
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

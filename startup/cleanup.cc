#include "startup/cleanup.h"

#include <signal.h>

#include <atomic>
#include <cstdlib>

#include "link/virtual_cable.h"

namespace tarnel {
namespace {

constexpr int kMaxCleanups = 8;
void (*cleanups[kMaxCleanups])();
std::atomic<int> cleanup_count{0};

void run_cleanups() {
  for (int i = cleanup_count.load() - 1; i >= 0; --i) cleanups[i]();
}

// Service mode: the first stop signal only sets the request.
volatile sig_atomic_t stop_mode = 0;
volatile sig_atomic_t stop_received = 0;

void on_fatal_signal(int sig, siginfo_t* info, void*) {
  if (stop_mode && !stop_received && (sig == SIGTERM || sig == SIGINT || sig == SIGHUP)) {
    stop_received = 1;
    return;
  }
  run_cleanups();
  // A cable file cut short by another program faults at the next access to
  // its mapping: one line says so (the terminal is back in order by now)
  // before the process ends by that SIGBUS as by any other. Only a fault
  // the kernel raised (si_code > 0) has an address; a SIGBUS sent by
  // kill() or sigqueue() has none.
  if (sig == SIGBUS && info != nullptr && info->si_code > 0) report_cut_cable(info->si_addr);
  // Ends the process by the same signal: raised now it stays pending until
  // the handler returns (or, for a fault, the faulting access is retried).
  signal(sig, SIG_DFL);
  raise(sig);
}

// The signals whose default action ends the process, but for SIGPIPE, which
// the console ignores (a console nobody reads is no reason to stop), and the
// real-time signals, added below.
constexpr int kFatalSignals[] = {
    SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
    SIGFPE,  SIGUSR1, SIGSEGV,   SIGUSR2, SIGALRM, SIGTERM, SIGSTKFLT,
    SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS,
};

void catch_signal(int sig) {
  struct sigaction old;
  if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) return;
  struct sigaction action = {};
  action.sa_sigaction = on_fatal_signal;
  sigfillset(&action.sa_mask);  // no second signal in the middle of the cleanups
  // SA_ONSTACK: a stack overflow's SEGV still gets its cleanups.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigaction(sig, &action, nullptr);
}

void install() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  static char alternate_stack[64 * 1024];
  stack_t stack = {};
  stack.ss_sp = alternate_stack;
  stack.ss_size = sizeof alternate_stack;
  sigaltstack(&stack, nullptr);
  for (int sig : kFatalSignals) catch_signal(sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) catch_signal(sig);
  std::atexit(run_cleanups);
}

}  // namespace

bool at_program_end(void (*cleanup)()) {
  const int n = cleanup_count.load();
  if (n >= kMaxCleanups) return false;
  install();
  cleanups[n] = cleanup;
  cleanup_count.store(n + 1);
  return true;
}

void catch_fatal_signals() { install(); }

void stop_on_signals() {
  stop_mode = 1;
  install();
}

bool stop_signal_received() { return stop_received != 0; }

}  // namespace tarnel

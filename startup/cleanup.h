// Work that must be done however the program ends: putting the operator's
// terminal back, letting go of a port. The one place that catches the
// signals that would otherwise end the process without it.
#ifndef TARNEL_STARTUP_CLEANUP_H_
#define TARNEL_STARTUP_CLEANUP_H_

namespace tarnel {

/// Registers `cleanup` to run when the program ends: at a normal exit
/// (return from main, exit()) and on every signal whose default action ends
/// the process (TERM, INT, HUP, QUIT, SEGV, BUS from a cable file cut short,
/// ABRT, USR1, ALRM, the real-time signals, ...). After the cleanups the
/// signal is raised again with its default action, so the process still ends
/// by it (and dumps core where it would have); a SIGBUS from the mapping of a
/// cable file cut short by another program first gets its line on standard
/// error (report_cut_cable()). Signals that were ignored when
/// the program started stay ignored. SIGKILL and SIGSTOP cannot be caught.
///
/// Cleanups run in the reverse order of registration. They may run inside a
/// signal handler, at any point of the program: each must be
/// async-signal-safe and harmless when run twice. At most eight; a
/// registration beyond that returns false.
bool at_program_end(void (*cleanup)());

/// Catches the signals above now, with no cleanup yet, so that a SIGBUS from
/// a cable file cut short gets its line even in a program with nothing to
/// clean up. at_program_end() does it as well.
void catch_fatal_signals();

/// For a server under a service manager: from now on the first SIGTERM,
/// SIGINT or SIGHUP ends nothing by itself but asks the program to stop
/// (stop_signal_received() turns true), and the program ends in its own
/// orderly way; a second one of them ends it at once, as every signal above
/// does, through the cleanups. One of them that was ignored when the program
/// started stays ignored.
void stop_on_signals();

/// Whether a stop signal has come since stop_on_signals().
bool stop_signal_received();

}  // namespace tarnel

#endif  // TARNEL_STARTUP_CLEANUP_H_

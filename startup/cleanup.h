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
/// by it (and dumps core where it would have). Signals that were ignored when
/// the program started stay ignored. SIGKILL and SIGSTOP cannot be caught.
///
/// Cleanups run in the reverse order of registration. They may run inside a
/// signal handler, at any point of the program: each must be
/// async-signal-safe and harmless when run twice. At most eight; a
/// registration beyond that returns false.
bool at_program_end(void (*cleanup)());

}  // namespace tarnel

#endif  // TARNEL_STARTUP_CLEANUP_H_

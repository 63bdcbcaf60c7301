// Starting the project's programs as child processes in tests.
#ifndef TARNEL_TESTING_PROCESS_H_
#define TARNEL_TESTING_PROCESS_H_

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace tarnel::testing {

/// The path of one of the project's executables ("tarnel-sim", ...).
std::string program_path(const std::string& name);

struct ChildOptions {
  /// Descriptors for the child's standard input, output and error; -1 keeps
  /// the test's own.
  int stdin_fd = -1;
  int stdout_fd = -1;
  int stderr_fd = -1;
  /// Working directory of the child; empty keeps the test's.
  std::string cwd;
  /// Runs in the child just before exec (for example to drop privileges).
  std::function<void()> before_exec;
};

/// Starts `path` with `args` (program name excluded). Returns the pid.
pid_t start_child(const std::string& path, const std::vector<std::string>& args,
                  const ChildOptions& options);

/// Waits for the child up to `timeout_ms`; kills it with SIGKILL after that.
/// Returns the wait status, or -1 when it had to be killed.
int wait_child(pid_t pid, int timeout_ms);

/// Reads from fd until end of file or until `timeout_ms` passes.
std::string read_until_eof(int fd, int timeout_ms);
/// Reads from fd until the text read so far contains `needle` (true) or the
/// time runs out or the writer closes (false). Everything read goes to *out.
bool read_until(int fd, const std::string& needle, int timeout_ms, std::string* out);

/// What a program run to its end wrote on standard output, and its wait
/// status (-1 when it had to be killed).
struct Finished {
  std::string output;
  int status = -1;
};
/// Runs `path` with `args` to its end, its standard input at end of file
/// (/dev/null) and its standard output read by the test until it closes;
/// the rest of `options` as given. Waits up to `timeout_ms` for each.
Finished run_to_end(const std::string& path, const std::vector<std::string>& args,
                    ChildOptions options = {}, int timeout_ms = 10000);

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_PROCESS_H_

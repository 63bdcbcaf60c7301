#include "testing/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace tarnel::testing {

std::string program_path(const std::string& name) {
  return std::string(TARNEL_BIN_DIR) + "/" + name;
}

pid_t start_child(const std::string& path, const std::vector<std::string>& args,
                  const ChildOptions& options) {
  std::vector<std::string> argv_strings{path};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  if (options.stdin_fd >= 0) dup2(options.stdin_fd, 0);
  if (options.stdout_fd >= 0) dup2(options.stdout_fd, 1);
  if (options.stderr_fd >= 0) dup2(options.stderr_fd, 2);
  if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
  if (options.before_exec) options.before_exec();
  execv(path.c_str(), argv.data());
  _exit(127);
}

int wait_child(pid_t pid, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  while (std::chrono::steady_clock::now() < end) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

bool read_until(int fd, const std::string& needle, int timeout_ms, std::string* out) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (!needle.empty() && out->find(needle) != std::string::npos) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    end - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return needle.empty();
    out->append(buf, static_cast<size_t>(n));
  }
}

std::string read_until_eof(int fd, int timeout_ms) {
  std::string out;
  read_until(fd, "", timeout_ms, &out);
  return out;
}

Finished run_to_end(const std::string& path, const std::vector<std::string>& args,
                    ChildOptions options, int timeout_ms) {
  Finished done;
  const int devnull = open("/dev/null", O_RDONLY);
  int out[2];
  if (devnull < 0 || pipe(out) != 0) {
    if (devnull >= 0) close(devnull);
    done.output = "(no /dev/null or no pipe for the child)";
    return done;
  }
  options.stdin_fd = devnull;
  options.stdout_fd = out[1];
  const pid_t pid = start_child(path, args, options);
  close(devnull);
  close(out[1]);
  done.output = read_until_eof(out[0], timeout_ms);
  close(out[0]);
  done.status = wait_child(pid, timeout_ms);
  return done;
}

}  // namespace tarnel::testing

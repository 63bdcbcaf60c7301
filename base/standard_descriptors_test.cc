// open_standard_descriptors in a child process whose standard descriptors
// are closed in every combination: the closed ones come back on /dev/null,
// the open ones stay what they were, and the next file opened gets a number
// above 2.
#include "base/standard_descriptors.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace tarnel {
namespace {

/// What descriptor `fd` refers to: "/dev/null", "pipe:[...]", a path; or
/// "closed".
std::string target(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char buf[512];
  const ssize_t n = readlink(link, buf, sizeof buf - 1);
  return n < 0 ? "closed" : std::string(buf, static_cast<size_t>(n));
}

/// In a child: the standard descriptors are pipes but those in `closed`
/// (bit n for descriptor n), which are closed; then the call under test and
/// a file opened. Returns what the child saw, one line per descriptor and
/// one for the number the opened file got.
std::string run_child(unsigned closed) {
  int report[2];
  if (pipe(report) != 0) return "no pipe";
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = fcntl(report[1], F_DUPFD, 10);
    int std_pipe[2];
    if (out < 0 || pipe(std_pipe) != 0) _exit(2);
    for (int fd = 0; fd <= 2; ++fd) dup2(std_pipe[fd == 0 ? 0 : 1], fd);
    close(std_pipe[0]);
    close(std_pipe[1]);
    close(report[0]);
    close(report[1]);
    // What was there before, to be found unchanged.
    std::string before[3];
    for (int fd = 0; fd <= 2; ++fd) before[fd] = target(fd);
    for (int fd = 0; fd <= 2; ++fd) {
      if (closed & (1u << fd)) close(fd);
    }
    std::string said;
    if (!open_standard_descriptors()) said += "call failed\n";
    for (int fd = 0; fd <= 2; ++fd) {
      const std::string now = target(fd);
      said += std::to_string(fd) + " " + (now == before[fd] ? std::string("kept") : now) + "\n";
    }
    const int file = open("/proc/self/status", O_RDONLY);
    // Any number above 2 (the test's process may have left more open).
    said += file > 2 ? std::string("next above 2\n") : "next " + std::to_string(file) + "\n";
    if (write(out, said.data(), said.size()) != static_cast<ssize_t>(said.size())) _exit(3);
    _exit(0);
  }
  close(report[1]);
  std::string said;
  char buf[256];
  ssize_t n;
  while ((n = read(report[0], buf, sizeof buf)) > 0) said.append(buf, static_cast<size_t>(n));
  close(report[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    said += "child status " + std::to_string(status);
  return said;
}

TEST(StandardDescriptors, ClosedOnesComeBackOnDevNullOpenOnesStay) {
  // Every combination of the three closed, none and all included.
  for (unsigned closed = 0; closed < 8; ++closed) {
    SCOPED_TRACE("closed mask " + std::to_string(closed));
    std::string want;
    for (int fd = 0; fd <= 2; ++fd) {
      want += std::to_string(fd) + ((closed & (1u << fd)) ? " /dev/null\n" : " kept\n");
    }
    want += "next above 2\n";
    EXPECT_EQ(run_child(closed), want);
  }
}

}  // namespace
}  // namespace tarnel

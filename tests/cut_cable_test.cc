// A cable file cut short by another program while tarnel-sim or
// tarnel-client runs on it: the next access to the mapping faults, and the
// program ends by SIGBUS with one line that says why, not a bare "Bus error".
// A SIGBUS from anywhere else gets no such line.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/end_to_end.h"

namespace tarnel::end_to_end {
namespace {

using Clock = std::chrono::steady_clock;

/// Whether some program holds the claim of the cable's end whose data
/// register lies at `offset` (16: end A, 17: end B).
bool end_claimed(const std::string& cable, off_t offset) {
  const int fd = open(cable.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = offset;
  lock.l_len = 1;
  const bool held = fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
  close(fd);
  return held;
}

struct CutCase {
  const char* name;
  const char* program;
  bool cut;  // true: the file is cut to 0 bytes; false: SIGBUS sent by kill()
};

TEST(CutCable, EndsWithAClearLine) {
  const CutCase cases[] = {
      {"ServerCut", "tarnel-sim", true},
      {"ClientCut", "tarnel-client", true},
      {"ServerKilled", "tarnel-sim", false},
      {"ClientKilled", "tarnel-client", false},
  };
  for (const CutCase& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench;
    const bool server = std::string(c.program) == "tarnel-sim";
    const std::string err_path = bench.file("err.txt");
    const int out =
        open(bench.file("out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int keys[2];
    ASSERT_EQ(pipe2(keys, O_CLOEXEC), 0);
    testing::ChildOptions o;
    o.stdin_fd = keys[0];  // the server's keyboard, never pressed
    o.stdout_fd = out;
    o.stderr_fd = err;
    o.cwd = bench.dir().path();
    // The client, with no server on the cable, waits for one as long as it
    // is let.
    const std::vector<std::string> args =
        server ? std::vector<std::string>{"--cable", bench.cable()}
               : std::vector<std::string>{"--cable", bench.cable(), "--timeout", "60", "ls", "\\"};
    const pid_t pid = testing::start_child(testing::program_path(c.program), args, o);
    close(keys[0]);
    close(out);
    close(err);
    ASSERT_GT(pid, 0);

    // Once the program holds its end it has the file mapped and polls it.
    const auto claimed_by = Clock::now() + std::chrono::seconds(10);
    while (!end_claimed(bench.cable(), server ? 16 : 17) && Clock::now() < claimed_by) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(end_claimed(bench.cable(), server ? 16 : 17));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    if (c.cut) {
      ASSERT_EQ(truncate(bench.cable().c_str(), 0), 0);
    } else {
      ASSERT_EQ(kill(pid, SIGBUS), 0);
    }
    const int status = testing::wait_child(pid, 5000);
    close(keys[1]);
    ASSERT_NE(status, -1) << "still running 5 s after";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS) << status;
    const std::string text = slurp(err_path);
    const std::string line = std::string(c.program) + ": the cable file " + bench.cable() +
                             " was cut short by another program; ending.\n";
    if (c.cut) {
      EXPECT_EQ(text, line);
    } else {
      EXPECT_EQ(text.find("cut short"), std::string::npos) << text;
    }
  }
}

}  // namespace
}  // namespace tarnel::end_to_end

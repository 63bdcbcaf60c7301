// tarnel-client on a parallel-port device that cannot be used: one line
// naming the device and the reason, and the exit status of an unusable port.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "client/outcome.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace tarnel::client {
namespace {

TEST(ClientDevice, UnusableDeviceEndsWithItsReason) {
  testing::TempDir dir;
  struct Case {
    std::string device;
    std::string reason;
  };
  const Case cases[] = {
      {dir.file("parport9"), "No such file or directory"},
      {"/dev/null", "not a parallel-port device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    int err[2];
    ASSERT_EQ(pipe(err), 0);
    testing::ChildOptions o;
    o.stderr_fd = err[1];
    const pid_t pid = testing::start_child(testing::program_path("tarnel-client"),
                                           {"--device", c.device, "connect"}, o);
    close(err[1]);
    const std::string text = testing::read_until_eof(err[0], 10000);
    const int status = testing::wait_child(pid, 10000);
    close(err[0]);
    EXPECT_EQ(text, "tarnel-client: Cannot use the parallel-port device " + c.device + ": " +
                        c.reason + "\n");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(Exit::kCable));
  }
}

// The I/O ports refused: the kernel's reason, not a guess about root rights.
TEST(ClientDevice, RefusedIoPortsEndWithTheKernelsReason) {
  int err[2];
  ASSERT_EQ(pipe(err), 0);
  testing::ChildOptions o;
  o.stderr_fd = err[1];
  const pid_t pid = testing::start_child(testing::program_path("tarnel-client"),
                                         {"--port", "2", "--timeout", "1", "connect"}, o);
  close(err[1]);
  const std::string text = testing::read_until_eof(err[0], 10000);
  const int status = testing::wait_child(pid, 10000);
  close(err[0]);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) != static_cast<int>(Exit::kCable)) {
    GTEST_SKIP() << "this kernel grants ioperm to the test: " << text;
  }
  const std::string start = "tarnel-client: Cannot claim the I/O ports of LPT2 at 0x3BC: ";
  EXPECT_EQ(text.rfind(start, 0), 0u) << text;
  EXPECT_GT(text.size(), start.size() + 1) << "the reason is given";
  EXPECT_EQ(text.find("\n"), text.size() - 1) << "one line";
}

}  // namespace
}  // namespace tarnel::client

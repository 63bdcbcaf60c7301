// The server under a service manager (--service): the stop signals, the
// device given back on each, and the second signal that ends the program at
// once, through the cleanups.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "link/device_port.h"
#include "startup/cleanup.h"
#include "startup/console.h"
#include "startup/program.h"
#include "testing/fake_device.h"
#include "testing/process.h"

namespace tarnel {
namespace {

using testing::FakeDevice;

class UserIdentity : public Identity {
 public:
  uid_t real_uid() override { return 1000; }
  uid_t effective_uid() override { return 1000; }
  bool drop_root(std::string*) override { return true; }
};

int record_fd = -1;
void record_cleanup() {
  const char text[] = "cleanup\n";
  if (write(record_fd, text, sizeof text - 1) < 0) return;
}

class StopSignals : public ::testing::TestWithParam<std::pair<int, int>> {};

// The first stop signal asks, the second ends the program by that signal,
// the cleanups done.
TEST_P(StopSignals, FirstAsksSecondEndsThroughTheCleanups) {
  const auto [first, second] = GetParam();
  int record[2];
  ASSERT_EQ(pipe(record), 0);
  EXPECT_EXIT(
      {
        record_fd = record[1];
        at_program_end(&record_cleanup);
        stop_on_signals();
        if (stop_signal_received()) _exit(3);
        raise(first);
        if (!stop_signal_received()) _exit(4);
        const char asked[] = "asked\n";
        if (write(record_fd, asked, sizeof asked - 1) < 0) _exit(5);
        raise(second);
        _exit(6);
      },
      ::testing::KilledBySignal(second), "");
  close(record[1]);
  EXPECT_EQ(testing::read_until_eof(record[0], 5000), "asked\ncleanup\n");
  close(record[0]);
}

INSTANTIATE_TEST_SUITE_P(Pairs, StopSignals,
                         ::testing::Values(std::pair{SIGTERM, SIGTERM}, std::pair{SIGINT, SIGINT},
                                           std::pair{SIGHUP, SIGHUP}, std::pair{SIGTERM, SIGINT},
                                           std::pair{SIGHUP, SIGTERM}));

/// Reads from fd until `needle` has come, up to `ms`.
bool read_for(int fd, const std::string& needle, int ms, std::string* text) {
  return testing::read_until(fd, needle, ms, text);
}

class DeviceService : public ::testing::TestWithParam<int> {};

// The whole server through the (fake) device in a child process with a key
// waiting on its standard input, which --service never looks at: the stop
// signal ends it the orderly way and the device is given back once.
TEST_P(DeviceService, StopSignalEndsTheServerAndReleasesTheDevice) {
  const int sig = GetParam();
  int record[2], out[2], keys[2];
  ASSERT_EQ(pipe(record), 0);
  ASSERT_EQ(pipe(out), 0);
  ASSERT_EQ(pipe(keys), 0);
  ASSERT_EQ(write(keys[1], "k", 1), 1);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(record[0]);
    close(out[0]);
    dup2(out[1], STDOUT_FILENO);
    dup2(keys[0], STDIN_FILENO);
    int status;
    {
      FakeDevice device;
      device.mirror_fd = record[1];
      ServerOptions options;
      options.device = "/dev/parport0";
      options.service = true;
      StdConsole console;
      console.prepare_service();
      // No kernel records of the ports: the usual address of port 1.
      DevicePort port(options.device, device, "/nonexistent");
      at_program_end(&release_device_on_signal);
      UserIdentity user;
      status = run_program(options, PortClaim::kDevice, port, console, user);
    }
    _exit(status);
  }
  close(record[1]);
  close(out[1]);
  close(keys[0]);
  std::string console;
  const bool serving = read_for(out[0], "Accepting connections", 10000, &console);
  // A byte on standard input is no key press here.
  usleep(200 * 1000);
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "ended without a signal:\n" << console;
  kill(pid, sig);
  const int status = testing::wait_child(pid, 10000);
  console += testing::read_until_eof(out[0], 5000);
  const std::string calls = testing::read_until_eof(record[0], 5000);
  close(record[0]);
  close(out[0]);
  close(keys[1]);
  ASSERT_TRUE(serving) << console;
  ASSERT_TRUE(status != -1 && WIFEXITED(status)) << console;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string end =
      "Accepting connections through port LPT1, port addr: 888\n"
      "Program aborted.\n";
  ASSERT_GE(console.size(), end.size());
  EXPECT_EQ(console.substr(console.size() - end.size()), end);
  const std::string tail = "PPRELEASE\nclose\n";
  ASSERT_GE(calls.size(), tail.size()) << calls;
  EXPECT_EQ(calls.substr(calls.size() - tail.size()), tail);
  size_t releases = 0;
  for (size_t at = calls.find("PPRELEASE"); at != std::string::npos;
       at = calls.find("PPRELEASE", at + 1)) {
    ++releases;
  }
  EXPECT_EQ(releases, 1u) << calls;
}

INSTANTIATE_TEST_SUITE_P(Signals, DeviceService, ::testing::Values(SIGTERM, SIGINT, SIGHUP));

// Under --service a device that cannot be claimed is a failed start: the
// design's lines, then status 1 for the service manager.
TEST(DeviceService, UnusableDeviceExitsWithStatusOne) {
  const auto [text, status] =
      testing::run_to_end(testing::program_path("tarnel"), {"--service", "--device", "/dev/null"});
  EXPECT_NE(text.find("not a parallel-port device\nTrying to allocate port: Failed!\n"
                      "Program aborted.\n"),
            std::string::npos)
      << text;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), kExitStartFailed);
}

}  // namespace
}  // namespace tarnel

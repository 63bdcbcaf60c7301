// The server through the parallel-port device: the whole program over a
// fake device for one CONNECT exchange, the release on a fatal signal, and
// the real program on devices that cannot be used.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "link/device_port.h"
#include "link/send.h"
#include "startup/cleanup.h"
#include "startup/console.h"
#include "startup/program.h"
#include "testing/cable_pair.h"
#include "testing/fake_console.h"
#include "testing/fake_device.h"
#include "testing/peer.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace tarnel {
namespace {

using testing::CablePair;
using testing::FakeConsole;
using testing::FakeDevice;
using testing::kTestPortBase;
using testing::Peer;
using testing::TempDir;

class UserIdentity : public Identity {
 public:
  uid_t real_uid() override { return 1000; }
  uid_t effective_uid() override { return 1000; }
  bool drop_root(std::string*) override { return true; }
};

bool wait_for_text(FakeConsole& console, const std::string& text, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (console.output().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The fake device plays end A of a virtual cable, so that a peer on end B
// talks to the server as the client would through the real cable.
TEST(DeviceServer, AnswersConnectThroughTheDevice) {
  CablePair cable;
  FakeDevice device;
  Port& end_a = cable.server_port();
  device.status = [&] { return end_a.port_in(kTestPortBase + 1); };
  device.on_data = [&](uint8_t v) { end_a.port_out(kTestPortBase, v); };
  device.on_control = [&](uint8_t v) { end_a.port_out(kTestPortBase + 2, v); };
  TempDir sys;
  std::filesystem::create_directories(sys.file("sys/class/parport/parport0"));
  testing::write_file(sys.file("sys/class/parport/parport0/base_addr"), "0xd010\n");

  {
    DevicePort port("/dev/parport0", device, sys.path());
    FakeConsole console;
    UserIdentity user;
    int status = -1;
    std::thread server([&] { status = run_program({}, port, console, user, "/dev/parport0"); });
    Peer peer(cable);
    const bool serving = wait_for_text(
        console, "Accepting connections through port LPT1, port addr: 53264\n", 10000);
    std::string reply;
    if (serving) {
      EXPECT_EQ(peer.send_command("CONNECT"), SendResult::SEND_OK);
      reply = peer.reply();
      EXPECT_TRUE(wait_for_text(console, "Connection established!\n", 5000)) << console.output();
    }
    console.press_key();
    server.join();
    ASSERT_TRUE(serving) << console.output();
    EXPECT_EQ(reply, "OK A");
    EXPECT_EQ(status, 0);
    const std::string out = console.output();
    const std::string tail =
        "Current effective user ID: 1000, ID of calling user: 1000\n"
        "Trying to allocate port: Success!\n"
        "Accepting connections through port LPT1, port addr: 53264\n"
        "CONNECT\n"
        "Connection established!\n"
        "Program aborted.\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_TRUE(device.is_open()) << "released before the program's end";
  }
  const std::vector<std::string> calls = device.calls();
  // Claimed exclusively before anything else; then the lines put to rest.
  ASSERT_GE(calls.size(), 8u);
  const std::vector<std::string> start(calls.begin(), calls.begin() + 6);
  EXPECT_EQ(start, (std::vector<std::string>{"open /dev/parport0", "PPEXCL", "PPCLAIM",
                                             "PPDATADIR 0", "PPWCONTROL 0x04", "PPWDATA 0x00"}));
  // Released and closed once, at the end.
  EXPECT_EQ(calls[calls.size() - 2], "PPRELEASE");
  EXPECT_EQ(calls.back(), "close");
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "PPRELEASE"), 1);
  // The reply went out through the device's data register, bits 5-7 clear.
  size_t data_writes = 0;
  for (const std::string& c : calls) {
    if (c.rfind("PPWDATA ", 0) != 0) continue;
    ++data_writes;
    EXPECT_EQ(std::stoul(c.substr(8), nullptr, 16) & 0xE0, 0u) << c;
  }
  EXPECT_GT(data_writes, 20u) << "a reply frame is more than ten bytes of two nibbles";
  EXPECT_GT(device.status_reads(), 0u);
  EXPECT_FALSE(device.is_open());
}

// A signal that ends the program gives the port back on the way out.
class DeviceSignal : public ::testing::TestWithParam<int> {};

TEST_P(DeviceSignal, ReleasesTheClaimedPort) {
  const int sig = GetParam();
  int record[2];
  ASSERT_EQ(pipe(record), 0);
  EXPECT_EXIT(
      {
        FakeDevice device;
        device.mirror_fd = record[1];
        DevicePort port("/dev/parport0", device);
        if (!port.claim(1, 0x378, nullptr)) _exit(1);
        StdConsole console;
        console.prepare();
        at_program_end(&release_device_on_signal);
        raise(sig);
        _exit(2);
      },
      ::testing::KilledBySignal(sig), "");
  close(record[1]);
  const std::string text = testing::read_until_eof(record[0], 5000);
  close(record[0]);
  EXPECT_EQ(text, "open /dev/parport0\nPPEXCL\nPPCLAIM\nPPDATADIR 0\nPPRELEASE\nclose\n");
}

INSTANTIATE_TEST_SUITE_P(Signals, DeviceSignal, ::testing::Values(SIGTERM, SIGHUP, SIGINT, SIGBUS));

// The program itself, on devices that cannot be used.
TEST(DeviceProgram, UnusableDeviceIsAFailedAllocation) {
  TempDir dir;
  testing::write_file(dir.file("plain"), "x");
  struct Case {
    std::string device;
    std::string reason;
  };
  const Case cases[] = {
      {dir.file("parport9"), "No such file or directory"},
      {"/dev/null", "not a parallel-port device"},
      {dir.file("plain"), "not a parallel-port device"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    const auto [text, status] =
        testing::run_to_end(testing::program_path("tarnel"), {"--device", c.device, "3"});
    const std::string tail = "Cannot use the parallel-port device " + c.device + ": " + c.reason +
                             "\nTrying to allocate port: Failed!\nProgram aborted.\n";
    ASSERT_GE(text.size(), tail.size()) << text;
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(text.find("chmod +s"), std::string::npos) << "no set-user-ID advice";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}

// Installed set-user-ID root and started by an ordinary user, the program
// opens the device with the user's rights, not root's.
TEST(DeviceProgram, SetUserIdCopyOpensTheDeviceAsTheUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a set-user-ID-root copy";
  TempDir dir;
  const std::string copy = dir.file("tarnel");
  std::error_code ec;
  std::filesystem::copy_file(testing::program_path("tarnel"), copy, ec);
  ASSERT_FALSE(ec) << ec.message();
  ASSERT_EQ(chown(copy.c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(copy.c_str(), 04755), 0);
  const std::string root_only = dir.file("root-only");
  testing::write_file(root_only, "x");
  ASSERT_EQ(chown(root_only.c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(root_only.c_str(), 0600), 0);

  testing::ChildOptions o;
  o.before_exec = [] {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(125);
  };
  const std::string text = testing::run_to_end(copy, {"--device", root_only}, o).output;
  if (text.find("Current effective user ID: 65534, ID of calling user: 65534\nCannot") !=
      std::string::npos) {
    GTEST_SKIP() << "set-user-ID is not honoured in " << dir.path() << " (nosuid mount?)";
  }
  EXPECT_NE(text.find("Current effective user ID: 0, ID of calling user: 65534\n"
                      "Cannot use the parallel-port device " +
                      root_only +
                      ": Permission denied (the user needs access to the device, usually through "
                      "the lp group)\n"
                      "Trying to allocate port: Failed!\n"
                      "Current effective user ID: 65534, ID of calling user: 65534\n"
                      "Program aborted.\n"),
            std::string::npos)
      << text;
}

TEST(DeviceProgram, OptionWithoutPathIsRefused) {
  int err[2];
  ASSERT_EQ(pipe(err), 0);
  testing::ChildOptions o;
  o.stderr_fd = err[1];
  pid_t pid = testing::start_child(testing::program_path("tarnel"), {"2", "--device"}, o);
  close(err[1]);
  const std::string text = testing::read_until_eof(err[0], 10000);
  const int status = testing::wait_child(pid, 10000);
  close(err[0]);
  EXPECT_EQ(text, "tarnel: --device needs a path\n");
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
}

}  // namespace
}  // namespace tarnel

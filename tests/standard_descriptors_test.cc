// Each program started with one of its standard descriptors closed, as a
// careless parent or "exec 1>&-" leaves it: the descriptor is on /dev/null
// while the program runs, nothing it opens takes that number, and the cable
// file comes out whole (no console text or message written into it).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/end_to_end.h"

namespace tarnel::end_to_end {
namespace {

/// What descriptor `fd` of process `pid` refers to ("/dev/null", a path,
/// "pipe:[...]"), or empty when it is not open.
std::string fd_target(pid_t pid, int fd) {
  std::error_code ec;
  const auto target = std::filesystem::read_symlink(
      "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd), ec);
  return ec ? std::string() : target.string();
}

/// Waits until process `pid` holds `path` open; the descriptor, or -1.
int wait_for_open(pid_t pid, const std::string& path, int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < end) {
    std::error_code ec;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
      std::error_code link_ec;
      if (std::filesystem::read_symlink(entry.path(), link_ec).string() == path) {
        return std::stoi(entry.path().filename().string());
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return -1;
}

/// Standard input /dev/null, output and error to `log`, then `closed` shut
/// just before exec.
testing::ChildOptions with_closed(int closed, int in, int log, const std::string& cwd) {
  testing::ChildOptions o;
  o.stdin_fd = in;
  o.stdout_fd = log;
  o.stderr_fd = log;
  o.cwd = cwd;
  o.before_exec = [closed] {
    if (setsid() < 0) _exit(125);
    close(closed);
  };
  return o;
}

/// The cable still serves: a server on it answers a client's CONNECT and a
/// download comes out whole.
void expect_cable_serves(Bench& bench) {
  const std::string content = random_content(3000, false, 7);
  testing::write_file(bench.file("check.bin"), content);
  bench.start_server();
  ClientRun get = run_client(bench, {"get", bench.remote("check.bin"), bench.file("check.got")});
  EXPECT_EQ(get.exit, 0) << get;
  EXPECT_TRUE(slurp(bench.file("check.got")) == content) << "the download differs";
  const int status = bench.stop_server();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

class ClosedDescriptor : public ::testing::TestWithParam<int> {};

TEST_P(ClosedDescriptor, ServiceServerKeepsItOnDevNull) {
  const int closed = GetParam();
  Bench bench;
  const std::string cable = std::filesystem::canonical(bench.cable()).string();
  const std::string content = random_content(10000, false, 21);
  testing::write_file(bench.file("served.bin"), content);
  const std::string log = bench.file("server.txt");
  const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t pid = testing::start_child(testing::program_path("tarnel-sim"),
                                         {"--service", "--cable", bench.cable()},
                                         with_closed(closed, in, out, bench.dir().path()));
  close(in);
  close(out);
  const int cable_fd = wait_for_open(pid, cable, 10000);
  EXPECT_GT(cable_fd, 2) << "the cable file took a standard descriptor's place";
  EXPECT_EQ(fd_target(pid, closed), "/dev/null");
  // Served while running: the header was not overwritten by a console line.
  ClientRun get = run_client(bench, {"get", bench.remote("served.bin"), bench.file("got.bin")});
  EXPECT_EQ(get.exit, 0) << get << "\nserver: " << slurp(log);
  EXPECT_TRUE(slurp(bench.file("got.bin")) == content) << "the download differs";
  kill(pid, SIGTERM);
  const int status = testing::wait_child(pid, 15000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // The console text went where it belongs (or nowhere, for a closed
  // standard output), never into the cable.
  if (closed != 1) {
    EXPECT_NE(slurp(log).find("Accepting connections"), std::string::npos) << slurp(log);
  }
  expect_cable_serves(bench);
}

TEST_P(ClosedDescriptor, ClientKeepsItOnDevNull) {
  const int closed = GetParam();
  Bench bench;
  const std::string cable = std::filesystem::canonical(bench.cable()).string();
  const std::string log = bench.file("client.txt");
  const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  // No server: the client waits for its reply (and so can be looked at),
  // then writes its message and ends.
  const pid_t pid = testing::start_child(testing::program_path("tarnel-client"),
                                         {"--cable", bench.cable(), "--timeout", "1", "connect"},
                                         with_closed(closed, in, out, bench.dir().path()));
  close(in);
  close(out);
  const int cable_fd = wait_for_open(pid, cable, 10000);
  EXPECT_GT(cable_fd, 2) << "the cable file took a standard descriptor's place";
  EXPECT_EQ(fd_target(pid, closed), "/dev/null");
  const int status = testing::wait_child(pid, 30000);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 4) << slurp(log);  // nothing answers
  if (closed != 2) {
    EXPECT_NE(slurp(log), "");
  }
  expect_cable_serves(bench);
}

// tarnel ends at once on a "device" that is a plain file: the file stays as
// it was and the program's lines reach its open descriptors.
TEST_P(ClosedDescriptor, RealServerLeavesTheDeviceFileAlone) {
  const int closed = GetParam();
  TempDir dir;
  const std::string device = dir.file("device");
  const std::string sentinel(100, 'x');
  testing::write_file(device, sentinel);
  const std::string log = dir.file("server.txt");
  const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t pid = testing::start_child(testing::program_path("tarnel"), {"--device", device},
                                         with_closed(closed, in, out, dir.path()));
  close(in);
  close(out);
  const int status = testing::wait_child(pid, 15000);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << slurp(log);
  EXPECT_EQ(testing::read_file(device), sentinel);
  if (closed != 1) {
    EXPECT_NE(slurp(log).find("Trying to allocate port: Failed!"), std::string::npos) << slurp(log);
  }
}

std::string DescriptorName(const ::testing::TestParamInfo<int>& param) {
  return param.param == 0 ? "Stdin" : param.param == 1 ? "Stdout" : "Stderr";
}

INSTANTIATE_TEST_SUITE_P(Each, ClosedDescriptor, ::testing::Values(0, 1, 2), DescriptorName);

}  // namespace
}  // namespace tarnel::end_to_end

// tarnel-sim --service as a service manager runs it: in a session of its
// own with no terminal and no standard input, ended by SIGTERM, SIGINT or
// SIGHUP in the orderly way, idle or in the middle of a transfer.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/end_to_end.h"

namespace tarnel::end_to_end {
namespace {

using Clock = std::chrono::steady_clock;

/// How standard input is left to the service.
enum class Input { kDevNull, kClosed };

/// tarnel-sim --service on the bench's cable, started in a new session.
class Service {
 public:
  explicit Service(Bench& bench, Input input = Input::kDevNull) {
    static int serial = 0;
    console_path_ = bench.file("service" + std::to_string(++serial) + ".txt");
    const int out = open(console_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    testing::ChildOptions o;
    o.stdin_fd = in;
    o.stdout_fd = out;
    o.stderr_fd = out;
    o.cwd = bench.dir().path();
    // No controlling terminal, as under a service manager.
    o.before_exec = [input] {
      if (setsid() < 0) _exit(125);
      if (input == Input::kClosed) close(STDIN_FILENO);
    };
    pid_ = testing::start_child(testing::program_path("tarnel-sim"),
                                {"--service", "--cable", bench.cable()}, o);
    close(in);
    close(out);
  }
  ~Service() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      testing::wait_child(pid_, 5000);
    }
  }

  std::string console() const { return slurp(console_path_); }
  bool wait_for_console(const std::string& needle, int timeout_ms, size_t from = 0) const {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (Clock::now() < end) {
      if (console().find(needle, from) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  /// Sends `sig` and waits for the end; the wait status, and in *ms how long
  /// the end took.
  int stop(int sig, int64_t* ms = nullptr) {
    const auto start = Clock::now();
    kill(pid_, sig);
    const int status = testing::wait_child(pid_, 15000);
    pid_ = -1;
    if (ms) {
      *ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    }
    return status;
  }

 private:
  std::string console_path_;
  pid_t pid_ = -1;
};

/// The console ends the orderly way and the program with status 0.
void expect_orderly_end(const Service& service, int status) {
  ASSERT_TRUE(WIFEXITED(status)) << "wait status " << status << "\n" << service.console();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string console = service.console();
  const std::string end = "Program aborted.\n";
  ASSERT_GE(console.size(), end.size()) << console;
  EXPECT_EQ(console.substr(console.size() - end.size()), end) << console;
  EXPECT_EQ(console.find('\r'), std::string::npos) << "the terminal mode was touched";
}

TEST(Service, ServesWithoutTerminalOrStandardInput) {
  for (Input input : {Input::kDevNull, Input::kClosed}) {
    SCOPED_TRACE(input == Input::kDevNull ? "stdin /dev/null" : "stdin closed");
    Bench bench;
    const std::string content = random_content(10000, false, 20);
    testing::write_file(bench.file("served.bin"), content);
    Service service(bench, input);
    ASSERT_TRUE(service.wait_for_console("Accepting connections", 10000)) << service.console();
    // Standard input at its end (or closed) is no key press here.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ClientRun connect = run_client(bench, {"connect"});
    EXPECT_EQ(connect.exit, 0) << connect;
    ClientRun get = run_client(bench, {"get", bench.remote("served.bin"), bench.file("got.bin")});
    EXPECT_EQ(get.exit, 0) << get;
    EXPECT_EQ(slurp(bench.file("got.bin")), content);
    EXPECT_TRUE(service.wait_for_console("DOWNLOAD OK\n", 10000)) << service.console();
    EXPECT_NE(service.console().find("CONNECT\nConnection established!\n"), std::string::npos);
    expect_orderly_end(service, service.stop(SIGTERM));
  }
}

struct Stop {
  int sig;
  const char* situation;  // "idle", "download", "upload"
};

std::string StopName(const ::testing::TestParamInfo<Stop>& info) {
  const char* sig = info.param.sig == SIGTERM ? "Term" : info.param.sig == SIGINT ? "Int" : "Hup";
  return std::string(sig) + info.param.situation;
}

class ServiceStop : public ::testing::TestWithParam<Stop> {};

TEST_P(ServiceStop, EndsTheOrderlyWay) {
  const Stop p = GetParam();
  const std::string situation = p.situation;
  // A slow cable keeps a transfer of 400 KB going for a few seconds.
  Bench bench(situation == "idle" ? 0 : 200);
  const std::string content = random_content(400000, false, static_cast<uint32_t>(p.sig));
  testing::write_file(bench.file("big.bin"), content);
  Service service(bench);
  ASSERT_TRUE(service.wait_for_console("Accepting connections", 10000)) << service.console();

  if (situation == "idle") {
    int64_t ms = 0;
    expect_orderly_end(service, service.stop(p.sig, &ms));
    // Idle, the server looks for the stop every 50 ms.
    EXPECT_LT(ms, 1000);
    return;
  }

  const bool download = situation == "download";
  const std::string stored = bench.file("stored.bin");
  Client client(bench, download ? std::vector<std::string>{"get", bench.remote("big.bin"),
                                                           bench.file("got.bin")}
                                : std::vector<std::string>{"put", bench.file("big.bin"), stored});
  // Under way: its first star (25 frames) is on the console.
  const size_t command = service.console().size();
  ASSERT_TRUE(service.wait_for_console("*", 30000, command)) << service.console();
  const auto stopped = Clock::now();
  expect_orderly_end(service, service.stop(p.sig));
  ClientRun run = client.wait(30000);
  EXPECT_EQ(run.exit, 5) << run;
  const std::string console = service.console();
  if (download) {
    // As after a key press: no more frames, and the client's wait for the
    // next one runs out.
    const auto learnt = Clock::now() - stopped;
    EXPECT_NE(run.err.find("did not come within"), std::string::npos) << run;
    EXPECT_LT(learnt, std::chrono::seconds(15));
    EXPECT_NE(console.find("DOWNLOAD FAILED\nProgram aborted.\n"), std::string::npos) << console;
    return;
  }
  // The upload: the frame under way stored, the next refused.
  EXPECT_NE(run.err.find("the server refused data frame"), std::string::npos) << run;
  const size_t line = console.rfind(" ERROR\nUPLOAD FAILED\nProgram aborted.\n");
  ASSERT_NE(line, std::string::npos) << console;
  const size_t start = console.find_last_of("*\n", line - 1);
  const int64_t accepted = std::stoll(console.substr(start + 1, line - start - 1));
  EXPECT_GT(accepted, 0);
  EXPECT_LT(accepted, static_cast<int64_t>(content.size())) << "stopped at the end, not at once";
  EXPECT_EQ(accepted % 4096, 0) << "whole frames";
  const std::string kept = slurp(stored);
  EXPECT_EQ(static_cast<int64_t>(kept.size()), accepted);
  EXPECT_TRUE(kept == content.substr(0, kept.size())) << "not a prefix of the file";

  // A resumed upload ("REST ?") completes it.
  Service again(bench);
  ASSERT_TRUE(again.wait_for_console("Accepting connections", 10000)) << again.console();
  ClientRun resume = run_client(bench, {"put", "--resume", bench.file("big.bin"), stored}, 120000);
  EXPECT_EQ(resume.exit, 0) << resume;
  EXPECT_TRUE(slurp(stored) == content) << "the resumed upload is not the file";
  EXPECT_NE(again.console().find("REST ?\n"), std::string::npos) << again.console();
  expect_orderly_end(again, again.stop(p.sig));
}

INSTANTIATE_TEST_SUITE_P(Signals, ServiceStop,
                         ::testing::Values(Stop{SIGTERM, "idle"}, Stop{SIGTERM, "download"},
                                           Stop{SIGTERM, "upload"}, Stop{SIGINT, "idle"},
                                           Stop{SIGINT, "download"}, Stop{SIGINT, "upload"},
                                           Stop{SIGHUP, "idle"}, Stop{SIGHUP, "download"},
                                           Stop{SIGHUP, "upload"}),
                         StopName);

// A start that fails under --service tells the service manager.
TEST(Service, FailedStartExitsWithStatusOne) {
  Bench bench;
  testing::write_file(bench.file("not.cable"), "not a cable file");
  testing::ChildOptions o;
  o.cwd = bench.dir().path();
  const auto [text, status] = testing::run_to_end(
      testing::program_path("tarnel-sim"), {"--service", "--cable", bench.file("not.cable")}, o);
  EXPECT_NE(text.find("Trying to allocate port: Failed!\nProgram aborted.\n"), std::string::npos)
      << text;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  // Without --service the same start ends with 0, as the program always did.
  const auto plain = testing::run_to_end(testing::program_path("tarnel-sim"),
                                         {"--cable", bench.file("not.cable")}, o);
  ASSERT_TRUE(WIFEXITED(plain.status));
  EXPECT_EQ(WEXITSTATUS(plain.status), 0);
}

}  // namespace
}  // namespace tarnel::end_to_end

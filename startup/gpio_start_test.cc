// The server on a printer port made of GPIO lines: the whole program over a
// fake chip joined crosswise to a second one, on which a client end stores a
// file and fetches it back byte for byte; the lines given back on a stop
// signal under --service and on a signal that ends the program; the real
// program on chips that cannot be used.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/gpio_port.h"
#include "startup/cleanup.h"
#include "startup/console.h"
#include "startup/program.h"
#include "startup/sharing.h"
#include "testing/fake_console.h"
#include "testing/fake_gpio.h"
#include "testing/literal_peer.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace tarnel {
namespace {

using testing::FakeConsole;
using testing::FakeGpioChip;
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

std::string bytes_of_every_value(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  return s;
}

// The server's chip and the client's joined crosswise on other lines than
// the default, each end a GpioPort: a whole upload and a whole download, the
// client's end written from the link's rules alone.
TEST(GpioServer, StoresAndSendsAFileByteForByteOverTwoChips) {
  GpioLines lines;
  ASSERT_TRUE(parse_gpio_lines("2,3,4,14,15:16,20,21,7,8", &lines, nullptr));
  FakeGpioChip server_chip, client_chip;
  testing::join_crosswise(server_chip, client_chip, lines.outputs, lines.inputs);
  TempDir dir;
  std::string why;
  std::unique_ptr<SharedFiles> shared = SharedFiles::make(Sharing{dir.path(), false}, &why);
  ASSERT_TRUE(shared) << why;
  const std::string content = bytes_of_every_value(9000);  // three frames

  // The chip's file, which the server keeps out of the client's reach, must
  // exist; the fake stands in for what it answers.
  TempDir devices;
  testing::write_file(devices.file("gpiochip0"), "");
  auto server_port = std::make_unique<GpioPort>(devices.file("gpiochip0"), lines, server_chip);
  GpioPort client_port("/dev/gpiochip1", lines, client_chip);
  ASSERT_TRUE(client_port.claim(1, testing::kTestPortBase, &why)) << why;
  FakeConsole console;
  UserIdentity user;
  ServerOptions options;
  options.gpio = devices.file("gpiochip0");
  int status = -1;
  std::thread server([&] {
    status = run_program(options, PortClaim::kGpio, *server_port, console, user, shared.get());
  });
  std::string data;
  std::vector<std::string> replies;
  const bool serving =
      wait_for_text(console, "Accepting connections through port LPT1, port addr: 888\n", 10000);
  if (serving) {
    testing::LiteralPeer peer(client_port);
    EXPECT_EQ(peer.command("CONNECT"), SendResult::SEND_OK);
    EXPECT_EQ(peer.reply(), "OK A");
    EXPECT_EQ(peer.command("PUT \\up.bin"), SendResult::SEND_OK);
    EXPECT_EQ(peer.command("SIZE " + std::to_string(content.size())), SendResult::SEND_OK);
    for (size_t at = 0, n = 1; at < content.size(); at += 4096, ++n) {
      EXPECT_EQ(peer.send_frame(static_cast<int32_t>(n), content.substr(at, 4096)),
                SendResult::SEND_OK);
    }
    EXPECT_EQ(peer.command("GET \\up.bin"), SendResult::SEND_OK);
    for (std::string reply; reply.rfind("SIZE ", 0) != 0 && replies.size() < 5;) {
      reply = peer.reply();
      replies.push_back(reply);
    }
    for (int32_t n = 1; data.size() < content.size() && n <= 3; ++n) {
      std::string payload;
      EXPECT_EQ(peer.receive_frame(n, &payload), RecvResult::RECV_OK) << n;
      data += payload;
    }
  }
  console.press_key();
  server.join();
  EXPECT_EQ(server_chip.open_descriptors(), 2u) << "the lines held to the end";
  server_port.reset();  // as the program's end does
  ASSERT_TRUE(serving) << console.output();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(testing::read_file(dir.file("up.bin")) == content, true) << "stored byte for byte";
  ASSERT_EQ(replies.size(), 3u) << ::testing::PrintToString(replies) << console.output();
  EXPECT_EQ(replies[2], "SIZE 9000");
  EXPECT_EQ(data == content, true) << "sent byte for byte";
  // Every access went through the lines, one call each; the server's
  // control-register writes made none.
  EXPECT_GT(server_chip.value_writes(), 2u * content.size() * 2);
  EXPECT_GT(server_chip.value_reads(), 0u);
  const std::vector<std::string> calls = server_chip.calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2], "close outputs") << "released at the end";
  EXPECT_EQ(calls.back(), "close inputs");
  EXPECT_EQ(server_chip.open_descriptors(), 0u);
  EXPECT_NE(console.output().find("Trying to allocate port: Success!\n"), std::string::npos);
}

// A server under --service given the stop signal ends the orderly way and
// gives the lines back once; so does one that a fatal signal ends.
struct SignalCase {
  bool service;
  int sig;
  bool orderly;  // exits with 0 rather than dying of the signal
};

class GpioSignal : public ::testing::TestWithParam<SignalCase> {};

TEST_P(GpioSignal, LinesAreGivenBackOnce) {
  const SignalCase c = GetParam();
  int record[2], out[2], keys[2];
  ASSERT_EQ(pipe(record), 0);
  ASSERT_EQ(pipe(out), 0);
  ASSERT_EQ(pipe(keys), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(record[0]);
    close(out[0]);
    close(keys[1]);
    dup2(out[1], STDOUT_FILENO);
    dup2(keys[0], STDIN_FILENO);
    int status;
    {
      FakeGpioChip chip;
      chip.mirror_fd = record[1];
      ServerOptions options;
      options.gpio = "/dev/gpiochip0";
      options.service = c.service;
      StdConsole console;
      if (c.service) {
        console.prepare_service();
      } else {
        console.prepare();
      }
      catch_fatal_signals();
      GpioPort port(options.gpio, kRaspberryPiLines, chip);
      at_program_end(&release_gpio_on_signal);
      UserIdentity user;
      status = run_program(options, PortClaim::kGpio, port, console, user);
    }
    _exit(status);
  }
  close(record[1]);
  close(out[1]);
  close(keys[0]);
  std::string console;
  const bool serving = testing::read_until(out[0], "Accepting connections", 10000, &console);
  kill(pid, c.sig);
  const int status = testing::wait_child(pid, 10000);
  console += testing::read_until_eof(out[0], 5000);
  const std::string calls = testing::read_until_eof(record[0], 5000);
  close(record[0]);
  close(out[0]);
  close(keys[1]);
  ASSERT_TRUE(serving) << console;
  ASSERT_NE(status, -1);
  if (c.orderly) {
    ASSERT_TRUE(WIFEXITED(status)) << console;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(console.find("Program aborted.\n"), std::string::npos) << console;
  } else {
    ASSERT_TRUE(WIFSIGNALED(status)) << console;
    EXPECT_EQ(WTERMSIG(status), c.sig);
  }
  EXPECT_EQ(calls,
            "open /dev/gpiochip0\nCHIPINFO\nrequest outputs 17,27,22,23,24 tarnel\n"
            "request inputs 5,6,13,19,26 tarnel\nclose chip\nclose outputs\nclose inputs\n");
}

INSTANTIATE_TEST_SUITE_P(
    Signals, GpioSignal,
    ::testing::Values(SignalCase{true, SIGTERM, true}, SignalCase{true, SIGHUP, true},
                      SignalCase{true, SIGINT, true}, SignalCase{true, SIGBUS, false},
                      SignalCase{false, SIGTERM, false}, SignalCase{false, SIGHUP, false}));

// The program itself: a chip that cannot be used is a failed start (status 1
// under --service), lines given wrong a bad command line (status 2); one
// line each says why.
TEST(GpioProgram, UnusableChipOrLinesEndTheStart) {
  TempDir dir;
  testing::write_file(dir.file("plain"), "x");
  struct Case {
    std::vector<std::string> args;
    std::string out_tail;  // standard output's end, or "" when nothing is shown
    std::string err;       // standard error
    int status;
  };
  const Case cases[] = {
      {{"--gpio", dir.file("gpiochip9")},
       "Cannot use the GPIO chip " + dir.file("gpiochip9") +
           ": No such file or directory\nTrying to allocate port: Failed!\nProgram aborted.\n",
       "",
       0},
      {{"--gpio", dir.file("plain"), "2"},
       "Cannot use the GPIO chip " + dir.file("plain") +
           ": not a GPIO chip\nTrying to allocate port: Failed!\nProgram aborted.\n",
       "",
       0},
      {{"--service", "--gpio", "/dev/null"},
       "Cannot use the GPIO chip /dev/null: not a GPIO chip\nTrying to allocate port: "
       "Failed!\nProgram aborted.\n",
       "",
       kExitStartFailed},
      {{"--gpio", "/dev/null", "--gpio-lines", "1,2,3,4,5:6,7,8,9,1"},
       "",
       "tarnel: --gpio-lines names line 1 twice\n",
       kExitUsage},
      {{"--gpio", "/dev/null", "--gpio-lines", "1,2,3,4:6,7,8,9,10"},
       "",
       "tarnel: --gpio-lines needs five output lines, not \"1,2,3,4\"\n",
       kExitUsage},
      {{"--gpio-lines", "1,2,3,4,5:6,7,8,9,10"},
       "",
       "tarnel: --gpio-lines goes with --gpio only\n",
       kExitUsage},
      {{"--gpio"}, "", "tarnel: --gpio needs a GPIO chip (/dev/gpiochip0, ...)\n", kExitUsage},
      {{"--gpio", "/dev/null", "--device", "/dev/parport0"},
       "",
       "tarnel: --gpio and --device exclude each other\n",
       kExitUsage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const std::string err_path = dir.file("err");
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(err, 0);
    testing::ChildOptions o;
    o.stderr_fd = err;
    const auto [text, status] = testing::run_to_end(testing::program_path("tarnel"), c.args, o);
    close(err);
    ASSERT_TRUE(WIFEXITED(status)) << text;
    EXPECT_EQ(WEXITSTATUS(status), c.status);
    EXPECT_EQ(testing::read_file(err_path), c.err);
    if (c.out_tail.empty()) {
      EXPECT_EQ(text, "") << "a bad command line starts nothing";
    } else {
      ASSERT_GE(text.size(), c.out_tail.size()) << text;
      EXPECT_EQ(text.substr(text.size() - c.out_tail.size()), c.out_tail);
      EXPECT_EQ(text.find("chmod +s"), std::string::npos) << "no set-user-ID advice";
    }
  }
}

}  // namespace
}  // namespace tarnel

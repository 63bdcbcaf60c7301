// tarnel-client against a server that misbehaves on purpose: a scripted end
// A in a thread of the test, the client a program of its own, so that its
// standard output and error are exactly what a terminal would be shown.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "link/frame.h"
#include "link/lines.h"
#include "link/send.h"
#include "link/text.h"
#include "link/virtual_cable.h"
#include "tests/end_to_end.h"

namespace tarnel::end_to_end {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

/// End A of the bench's cable, played by the test.
class FakeServer {
 public:
  explicit FakeServer(Bench& bench) : port_(bench.cable(), VirtualCable::kEndA) {
    std::string why;
    EXPECT_TRUE(port_.claim(1, 0x378, &why)) << why;
    lines_.init_control_lines();
    lines_.clear_data_lines();
  }
  ~FakeServer() { join(); }

  /// Runs `script` in a thread of its own.
  template <typename Script>
  void start(Script script) {
    thread_ = std::thread([this, script] { script(*this); });
  }
  void join() {
    stop = true;
    if (thread_.joinable()) thread_.join();
  }

  /// The next command, or "" when none comes within `wait_ms`.
  std::string command(unsigned wait_ms = 20000) {
    const auto deadline = Clock::now() + milliseconds(wait_ms);
    while (Clock::now() < deadline && !stop) {
      // The client is calling when status bit 7 reads 0.
      if ((lines_.read_status() & 0x80) != 0) {
        sched_yield();
        continue;
      }
      std::string text;
      RecvResult r = RecvResult::RECV_FAILED;
      receive_command(lines_, text, &r);
      if (r == RecvResult::RECV_OK) {
        commands.push_back(text);
        return text;
      }
      lines_.clear_data_lines();
    }
    return "";
  }
  /// Answers "CONNECT" with "OK A"; false when it did not come.
  bool connected() {
    if (command() != "CONNECT") return false;
    return reply("OK A");
  }
  bool reply(const std::string& text) { return send_text(lines_, text); }
  bool data(int32_t number, const std::string& payload) {
    FrameBuffer frame;
    frame.number = number;
    frame.length = static_cast<int32_t>(payload.size());
    std::copy(payload.begin(), payload.end(), frame.data);
    return send_frame(lines_, frame) == SendResult::SEND_OK;
  }

  /// Set to end a script that would go on for ever.
  std::atomic<bool> stop{false};
  /// Data frames the client took.
  std::atomic<int> frames_taken{0};
  std::vector<std::string> commands;

 private:
  CablePort port_;
  Lines lines_{port_, 0x378, Waiting::kPatient};
  std::thread thread_;
};

// What comes from the server reaches the terminal with its control bytes
// in visible form: a server cannot retitle or clear the terminal, nor forge
// a line. Files keep the names as sent (see the copy tests).

struct Shown {
  const char* what;
  std::vector<std::string> args;
  std::vector<std::string> replies;  // to the command after "CONNECT", in turn
  std::string block;                 // a listing, announced and sent after them
  int exit;
  std::string out;
  std::string err;
};

void PrintTo(const Shown& c, std::ostream* os) { *os << c.what; }

const std::string kTitle = "\x1b]0;PWNED\x07\x1b[2J";
const std::string kTitleShown = "^[]0;PWNED^G^[[2J";
/// The time of a stamp 0, which names no date.
const std::string kNoTime = "\?\?\?\?-\?\?-\?\? \?\?:\?\?:\?\?";

const Shown kShown[] = {
    {"connect answer",
     {"connect"},
     {},
     "",
     0,
     "Connected: the server answered \"OK A" + kTitleShown + "\".\n",
     ""},
    {"raw connect answer", {"raw", "CONNECT"}, {}, "", 0, "OK A" + kTitleShown + "\n", ""},
    {"reply quoted in a message",
     {"ls", "\\"},
     {"SIZ" + kTitle + "\rFAKE"},
     "",
     7,
     "",
     "tarnel-client: unexpected reply \"SIZ" + kTitleShown + "^MFAKE\" to LIST \\\n"},
    {"error reply quoted",
     {"rm", "\\x"},
     {"FILE ERROR 2\x9b"
      "2J"},
     "",
     7,
     "",
     "tarnel-client: unexpected reply \"FILE ERROR 2M-^[2J\" to DEL \\x\n"},
    {"reply of raw",
     {"raw", "DEL", "\\x"},
     {"\xc2\x9b"
      "2JOK"},
     "",
     0,
     "M-^[2JOK\n",
     ""},
    // 0x9B is CSI on an 8-bit terminal; a UTF-8 name stays whole.
    {"ls table",
     {"ls", "\\d\\"},
     {},
     "a\x9b"
     "31m\t1\t0\t32\r\n\xc3\x84"
     "\x1b[1A\t2\t0\t32\r\n",
     0,
     "Attr           Size  Modified             Name\n"
     "-----a            1  " +
         kNoTime +
         "  aM-^[31m\n"
         "-----a            2  " +
         kNoTime +
         "  \xc3\x84^[[1A\n"
         "2 files (3 bytes), 0 directories\n",
     ""},
    {"ls --raw keeps the tabs and line ends",
     {"ls", "--raw", "\\d\\"},
     {},
     "a\x9b"
     "31m\t1\t0\t32\r\n\xc3\x84"
     "\x1b[1A\t2\t0\t32\r\n",
     0,
     "aM-^[31m\t1\t0\t32\r\n\xc3\x84^[[1A\t2\t0\t32\r\n",
     ""},
    {"ls --raw shows a line end within a name",
     {"ls", "--raw", "\\d\\"},
     {},
     "n\nFAKE\r\t1\t0\t32\r\n",
     0,
     "n^JFAKE^M\t1\t0\t32\r\n",
     ""},
};

class ShownTest : public ::testing::TestWithParam<Shown> {};

TEST_P(ShownTest, ControlBytesFromTheServerAreShownInVisibleForm) {
  const Shown& c = GetParam();
  Bench bench;
  FakeServer server(bench);
  server.start([&c](FakeServer& s) {
    if (s.command() != "CONNECT") return;
    if (!s.reply(c.args[0] == "connect" || c.args.back() == "CONNECT" ? "OK A" + kTitle : "OK A"))
      return;
    if (c.replies.empty() && c.block.empty()) return;
    if (s.command().empty()) return;
    for (const std::string& r : c.replies) {
      if (!s.reply(r)) return;
    }
    if (c.block.empty() || !s.reply("SIZE " + std::to_string(c.block.size()))) return;
    s.data(1, c.block);
  });
  const ClientRun run = run_client(bench, c.args, 60000);
  server.join();
  EXPECT_EQ(run.exit, c.exit) << run;
  EXPECT_EQ(run.out, c.out) << run;
  EXPECT_EQ(run.err, c.err) << run;
}

INSTANTIATE_TEST_SUITE_P(Server, ShownTest, ::testing::ValuesIn(kShown),
                         [](const ::testing::TestParamInfo<Shown>& test) {
                           std::string name;
                           for (const char* p = test.param.what; *p; ++p) {
                             name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           }
                           return name;
                         });

/// One listing block of `lines` lines of 37 bytes each.
std::string listing_block(int lines) {
  std::string block;
  for (int i = 0; i < lines; ++i) block += "entry-name-0123456789.dat\t1234\t0\t32\r\n";
  return block;
}

/// Sends "SIZE `announced`" and then blocks of `lines` lines each, `count`
/// of them (-1: until the client stops taking them), `pause_ms` apart.
void serve_listing(FakeServer& s, int32_t announced, int lines, int count, unsigned pause_ms) {
  if (!s.connected() || s.command().rfind("LIST ", 0) != 0) return;
  if (!s.reply("SIZE " + std::to_string(announced))) return;
  const std::string block = listing_block(lines);
  for (int32_t number = 1; count < 0 || number <= count; ++number) {
    if (s.stop || !s.data(number, block)) return;
    ++s.frames_taken;
    if (pause_ms > 0) std::this_thread::sleep_for(milliseconds(pause_ms));
  }
}

TEST(HostileListing, ALittleMoreThanAnnouncedIsTakenWithAWarning) {
  // The folder grew between the server's two passes: 2 blocks of 100 lines
  // where 150 lines were counted.
  Bench bench;
  FakeServer server(bench);
  server.start([](FakeServer& s) { serve_listing(s, 150 * 37, 100, 2, 0); });
  const ClientRun run = run_client(bench, {"ls", "--raw", "\\d\\"}, 60000);
  server.join();
  EXPECT_EQ(run.exit, 0) << run;
  EXPECT_EQ(run.out, listing_block(200));
  EXPECT_EQ(run.err,
            "tarnel-client: the listing holds 7400 bytes, 5550 were announced (the directory "
            "changed meanwhile)\n");
}

TEST(HostileListing, OneThatDoesNotEndFailsAndNothingOfItIsPrinted) {
  Bench bench;
  FakeServer server(bench);
  server.start([](FakeServer& s) { serve_listing(s, 10, 100, -1, 0); });
  const auto start = Clock::now();
  const ClientRun run = run_client(bench, {"--timeout", "5", "ls", "\\d\\"}, 60000);
  const auto took = Clock::now() - start;
  server.join();
  EXPECT_EQ(run.exit, 7) << run;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "tarnel-client: the listing runs past 65548 bytes where 10 were announced; nothing of "
            "it is kept\n")
      << run;
  // 17 blocks of 3700 bytes fit in the bound; the one after is the last
  // that is taken.
  EXPECT_LE(server.frames_taken, 18);
  EXPECT_LT(took, std::chrono::seconds(60));
}

TEST(HostileListing, AnInterruptedListingExits130AndPrintsNothing) {
  Bench bench;
  FakeServer server(bench);
  // Small blocks, slowly: the bound is far off when the signal comes.
  server.start([](FakeServer& s) { serve_listing(s, 10, 1, -1, 5); });
  Client client(bench, {"ls", "\\d\\"});
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (server.frames_taken < 20 && Clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  ASSERT_GE(server.frames_taken, 20) << "the client did not take the listing";
  ASSERT_EQ(kill(client.pid(), SIGINT), 0);
  const ClientRun run = client.wait(30000);
  server.join();
  EXPECT_EQ(run.exit, 130) << run;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "tarnel-client: interrupted\n");
}

TEST(HostileListing, EndlessWaitEndsAtTheWaitLimit) {
  Bench bench;
  FakeServer server(bench);
  server.start([](FakeServer& s) {
    if (!s.connected() || s.command().rfind("LIST ", 0) != 0) return;
    while (!s.stop && s.reply("WAIT")) std::this_thread::sleep_for(milliseconds(100));
  });
  const auto start = Clock::now();
  const ClientRun run = run_client(bench, {"--wait-limit", "2", "ls", "\\d\\"}, 60000);
  const auto took = Clock::now() - start;
  server.join();
  EXPECT_EQ(run.exit, 5) << run;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "tarnel-client: the server kept its reply back with \"WAIT\" for more than 2 s "
            "(--wait-limit)\n")
      << run;
  EXPECT_GE(took, std::chrono::seconds(2));
  EXPECT_LT(took, std::chrono::seconds(30));
}

TEST(HostileListing, ANameListedTwiceIsReceivedOnce) {
  Bench bench;
  ASSERT_EQ(mkdir(bench.file("dest").c_str(), 0777), 0);
  FakeServer server(bench);
  server.start([](FakeServer& s) {
    auto listing = [&s](const std::string& lines) {
      if (s.reply("SIZE " + std::to_string(lines.size()))) s.data(1, lines);
    };
    int gets = 0;
    for (std::string c = s.command(); !c.empty(); c = s.command(3000)) {
      if (c == "CONNECT") {
        s.reply("OK A");
      } else if (c == "LIST \\top") {
        listing("top\t0\t0\t16\r\n");
      } else if (c == "LIST \\top\\") {
        listing("x\t5\t0\t32\r\nx\t5\t0\t32\r\n");
      } else if (c.rfind("GET ", 0) == 0) {
        if (s.reply("SIZE 5")) s.data(1, ++gets == 1 ? "first" : "again");
      }
    }
  });
  const ClientRun run = run_client(bench, {"get", "-r", "\\top", bench.file("dest")}, 60000);
  server.join();
  EXPECT_EQ(run.exit, 7) << run;
  EXPECT_EQ(slurp(bench.file("dest/top/x")), "first");
  EXPECT_NE(run.err.find("the server lists \\top\\x twice; " + bench.file("dest/top/x") +
                         " is received already and stays as it is"),
            std::string::npos)
      << run;
}

}  // namespace
}  // namespace tarnel::end_to_end

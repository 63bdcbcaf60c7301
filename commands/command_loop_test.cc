#include "commands/command_loop.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "base/numbers.h"
#include "files/metadata.h"
#include "files/resume.h"
#include "link/frame.h"
#include "testing/cable_pair.h"
#include "testing/fake_console.h"
#include "testing/paced_server.h"
#include "testing/peer.h"
#include "testing/scripted_port.h"
#include "testing/server_thread.h"
#include "testing/temp_dir.h"
#include "testing/transfer_testing.h"

namespace tarnel {
namespace {

using testing::CablePair;
using testing::FakeConsole;
using testing::PacedServerThread;
using testing::Peer;
using testing::ScriptedPort;
using testing::TempDir;

/// A client's spelling of a local absolute path: backslashes throughout.
std::string client_path(const std::string& local) {
  std::string out = local;
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

/// The command loop on a cable, and the client's end of it. The server's
/// port can be told to wait for the peer (pacing), for a test that must see
/// a level the server holds only for a while.
class CommandLoopTest : public ::testing::Test {
 protected:
  CommandLoopTest() : peer_(cable_) { server_ = std::make_unique<PacedServerThread>(cable_); }
  ~CommandLoopTest() override { server_.reset(); }

  void send(const std::string& text) {
    ASSERT_EQ(peer_.send_command(text), SendResult::SEND_OK) << text;
  }
  /// Sends a command and returns its one reply.
  std::string ask(const std::string& text) {
    if (peer_.send_command(text) != SendResult::SEND_OK) return "<not sent>";
    return peer_.reply();
  }
  /// Ends the loop and returns everything it wrote on the console.
  std::string console() {
    server_->stop();
    return server_->console().output();
  }

  CablePair cable_{0};
  TempDir dir_;
  Peer peer_;
  std::unique_ptr<PacedServerThread> server_;
};

TEST_F(CommandLoopTest, ConnectIsAnsweredWithOkA) {
  EXPECT_EQ(ask("CONNECT"), "OK A");
  EXPECT_EQ(ask("CONNECT anything"), "OK A");
  EXPECT_EQ(console(),
            "CONNECT\nConnection established!\n"
            "CONNECT anything\nConnection established!\n");
}

TEST_F(CommandLoopTest, TextsThatMatchNoWordGetTheBadCommandSignal) {
  const char* const texts[] = {
      "put /a",   // lower case
      "PUT",      // the blank is part of the word
      "LIST",     //
      "connect",  //
      "REST",     //
      "DELETE",   // "DEL" without its blank
      "X",        //
      "",         // the empty text
  };
  std::string expected_console;
  for (const char* text : texts) {
    const SendResult sent = peer_.send_command(text);
    if (sent == SendResult::SEND_ABORTED) {
      // The server went on to the signal before this end read the reply
      // code of the last byte: it read the signal's nibble 0xE there.
      EXPECT_TRUE(peer_.wait_for_status(0x80, 2500)) << "lines not back at rest";
    } else {
      EXPECT_EQ(sent, SendResult::SEND_OK) << '"' << text << '"';
      EXPECT_TRUE(peer_.expect_bad_command()) << '"' << text << '"';
    }
    // The loop goes on serving.
    EXPECT_EQ(ask("CONNECT"), "OK A") << "after \"" << text << '"';
    if (*text != '\0') expected_console += std::string(text) + "\n";
    expected_console += "CONNECT\nConnection established!\n";
  }
  EXPECT_EQ(console(), expected_console);
}

TEST_F(CommandLoopTest, FailedFrameGetsTheBadCommandSignalAndNoEcho) {
  // A frame whose number is far from the 0 of a command fails to arrive.
  peer_.send_data(5, "CONNECT");
  EXPECT_TRUE(peer_.expect_bad_command());
  EXPECT_EQ(ask("CONNECT"), "OK A");
  EXPECT_EQ(console(), "CONNECT\nConnection established!\n");
}

TEST_F(CommandLoopTest, EveryCommandIsEchoedExactlyAsReceived) {
  const std::string long_text = "RNFR " + std::string(250, 'n');
  const std::string texts[] = {
      "PUT \\d\\a.txt", "TIME 0", "ATTR 32", "REST 5",
      "RNFR a  b\t",    "APUT x", "TIME 7 ", long_text,
  };
  for (const std::string& text : texts) send(text);  // none of them gets a reply
  EXPECT_EQ(ask("CONNECT"), "OK A");
  std::string expected;
  for (const std::string& text : texts) expected += text + "\n";
  expected += "CONNECT\nConnection established!\n";
  // The one control byte among them, the tab, shows in its visible form.
  expected.replace(expected.find('\t'), 1, "^I");
  EXPECT_EQ(console(), expected);
}

// A client must not be able to drive the operator's terminal (clear it,
// ring it, forge a line such as "UPLOAD OK") through the echo.
TEST_F(CommandLoopTest, ControlBytesAreEchoedInAVisibleForm) {
  struct Case {
    std::string sent;
    std::string echoed;
  };
  const Case cases[] = {
      {"CONNECT \x1b[2J\x1b[H", "CONNECT ^[[2J^[[H"},
      {"CONNECT\r\nUPLOAD OK", "CONNECT^M^JUPLOAD OK"},
      {std::string("CONNECT \x00\x07\x08\t\x1f", 13), "CONNECT ^@^G^H^I^_"},
      {"CONNECT \x7f", "CONNECT ^?"},
      // C1 controls: 0x9B is CSI on an 8-bit terminal, like ESC [.
      {"CONNECT \x80\x9b"
       "2J\x9f",
       "CONNECT M-^@M-^[2JM-^_"},
      // UTF-8 characters whole, though their last bytes alone would be C1
      // controls: A with diaeresis (C3 84) and sharp s (C3 9F).
      {"CONNECT \xc3\x84 \xc3\x9f", "CONNECT \xc3\x84 \xc3\x9f"},
      // Everything else as received: printable ASCII, the caret and the
      // backslash themselves, and the bytes from 0xA0 on.
      {"CONNECT ^[ \\d\\ ~ \xa0\xc3\xa9\xff", "CONNECT ^[ \\d\\ ~ \xa0\xc3\xa9\xff"},
  };
  std::string expected;
  for (const Case& c : cases) {
    EXPECT_EQ(ask(c.sent), "OK A");
    expected += c.echoed + "\nConnection established!\n";
  }
  EXPECT_EQ(console(), expected);
}

TEST(ConsoleEcho, ShowsTheClientsCodePageInUtf8) {
  Charset cp850;
  std::string error;
  ASSERT_TRUE(Charset::open("CP850", &cp850, &error)) << error;
  testing::FakeConsole console;
  console_echo(console, "GET \\M\x81ller \x8E\x1B[2J", cp850);  // u and A umlauts, ESC
  console_echo(console, "GET \\M\x81ller");                     // no code page: as sent
  EXPECT_EQ(console.output(), "GET \\M\xC3\xBCller \xC3\x84^[[2J\nGET \\MM-^Aller\n");
}

TEST_F(CommandLoopTest, UploadParametersGoToSizeAndAreResetAfterIt) {
  const int32_t stamp = pack_time_stamp(2000, 6, 15, 13, 45, 30);
  const std::string a = dir_.file("a.txt");
  const std::string b = dir_.file("b.txt");
  const std::string c = dir_.file("c.txt");

  send("PUT " + client_path(a));
  send("TIME " + number_to_text(stamp));
  send("ATTR 33");
  send("SIZE 0");  // an empty file: no frame follows
  // Reset: the next upload has no time stamp or attributes of its own.
  send("PUT " + client_path(b));
  send("SIZE 0");
  // "PUT " drops a time stamp that came before it.
  send("TIME " + number_to_text(stamp));
  send("PUT " + client_path(c));
  send("SIZE 0");
  // No upload pending any more: nothing to store.
  send("SIZE 0");
  EXPECT_EQ(ask("CONNECT"), "OK A");
  const std::string out = console();

  struct stat st;
  ASSERT_EQ(stat(a.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 961076730);  // 2000-06-15 13:45:30, time zone offset 0
  EXPECT_EQ(st.st_mode & 0200, 0u);
  ASSERT_EQ(stat(b.c_str(), &st), 0);
  EXPECT_GT(st.st_mtime, 961076730);
  EXPECT_NE(st.st_mode & 0200, 0u);
  ASSERT_EQ(stat(c.c_str(), &st), 0);
  EXPECT_GT(st.st_mtime, 961076730);

  const std::string sizes = "SIZE 0\nUPLOAD OK\n";
  EXPECT_NE(out.find("ATTR 33\n" + sizes + "PUT "), std::string::npos) << out;
  EXPECT_NE(out.find(sizes + "SIZE 0\nUPLOAD FAILED\nCONNECT\n"), std::string::npos) << out;
}

TEST_F(CommandLoopTest, AputStoresTextModePutRawMode) {
  const std::string data = "a\r\nb\r\n";
  const std::string text_file = dir_.file("t.txt");
  const std::string raw_file = dir_.file("r.txt");

  send("APUT " + client_path(text_file));
  send("SIZE 6");
  EXPECT_EQ(testing::send_upload(peer_, data), std::vector<SendResult>{SendResult::SEND_OK});
  // "PUT " after an "APUT " upload: raw again.
  send("PUT " + client_path(raw_file));
  send("SIZE 6");
  EXPECT_EQ(testing::send_upload(peer_, data), std::vector<SendResult>{SendResult::SEND_OK});
  EXPECT_EQ(ask("CONNECT"), "OK A");
  const std::string out = console();

  EXPECT_EQ(testing::read_file(text_file), "a\nb\n");
  EXPECT_EQ(testing::read_file(raw_file), data);
  EXPECT_NE(out.find("SIZE 6\nUPLOAD OK\nPUT "), std::string::npos) << out;
}

TEST_F(CommandLoopTest, RestOffsetAppliesToTheNextDownloadOnly) {
  const std::string f = dir_.file("f");
  testing::write_file(f, "0123456789");

  send("REST 3");
  testing::Received first;
  ASSERT_EQ(peer_.send_command("GET " + client_path(f)), SendResult::SEND_OK);
  first = testing::receive_download(peer_, 7);
  ASSERT_FALSE(first.replies.empty());
  EXPECT_EQ(first.replies.front(), "REST 3");
  EXPECT_EQ(first.replies.back(), "SIZE 10");
  EXPECT_EQ(first.data(), "3456789");

  ASSERT_EQ(peer_.send_command("GET " + client_path(f)), SendResult::SEND_OK);
  testing::Received second = testing::receive_download(peer_, 10);
  ASSERT_FALSE(second.replies.empty());
  EXPECT_EQ(second.replies.front().rfind("TIME ", 0), 0u) << second.replies.front();
  EXPECT_EQ(second.data(), "0123456789");

  // A "REST " whose number is not a number, or is -1, sets the offset to 0.
  for (const char* rest : {"REST abc", "REST ", "REST -1", "REST 4 "}) {
    send(rest);
    ASSERT_EQ(peer_.send_command("AGET " + client_path(f)), SendResult::SEND_OK);
    testing::Received got = testing::receive_download(peer_, 10);
    ASSERT_FALSE(got.replies.empty());
    EXPECT_EQ(got.replies.front().rfind("TIME ", 0), 0u) << rest;
    EXPECT_EQ(got.data(), "0123456789") << rest;
  }
  const std::string out = console();
  EXPECT_NE(out.find("GET " + client_path(f) + "\nDOWNLOAD OK\n"), std::string::npos) << out;
}

TEST_F(CommandLoopTest, RestQuestionMarkIsTheResumeQueryWhateverFollows) {
  const std::string expected = "REST ERROR " + number_to_text(REST_ERROR_NO_UPLOAD);
  EXPECT_EQ(ask("REST ?"), expected);
  EXPECT_EQ(ask("REST ?x"), expected);
}

TEST_F(CommandLoopTest, PathWithANulByteNamesNoFile) {
  // The part before the NUL byte names a file or directory that is there;
  // the system would see only that part.
  using namespace std::string_literals;
  const std::string keep = dir_.file("keep.txt");
  const std::string sub = dir_.file("sub");
  const std::string empty = dir_.file("empty");
  testing::write_file(keep, "keep");
  ASSERT_EQ(mkdir(sub.c_str(), 0777), 0);
  testing::write_file(sub + "/inside", "x");
  ASSERT_EQ(mkdir(empty.c_str(), 0777), 0);
  const std::string nul = "\0zz"s;
  struct {
    std::vector<std::string> commands;  // only the last one is answered
    std::string reply;
  } const cases[] = {
      {{"DEL " + client_path(keep) + nul}, "FILE ERROR 2"},
      {{"LIST " + client_path(keep) + nul}, "DIR ERROR 3"},
      {{"LIST " + client_path(sub) + nul + "\\*.*"}, "DIR ERROR 3"},
      {{"GET " + client_path(keep) + nul}, "FILE ERROR 2"},
      {{"AGET " + client_path(keep) + nul}, "FILE ERROR 2"},
      {{"MD " + client_path(sub) + nul}, "DIR ERROR 2"},
      {{"MD " + client_path(dir_.file("new")) + nul}, "DIR ERROR 2"},
      {{"RD " + client_path(empty) + nul}, "DIR ERROR 2"},
      {{"RNFR " + client_path(keep) + nul, "RNTO " + client_path(dir_.file("moved"))},
       "RENAME ERROR 2"},
      {{"RNFR " + client_path(keep), "RNTO " + client_path(dir_.file("moved")) + nul},
       "RENAME ERROR 2"},
      {{"PUT " + client_path(keep) + nul, "REST ?"}, "REST ERROR 2"},
  };
  for (const auto& c : cases) {
    for (size_t i = 0; i + 1 < c.commands.size(); ++i) send(c.commands[i]);
    EXPECT_EQ(ask(c.commands.back()), c.reply) << c.commands.back();
  }
  // Numbers holding one read as none: no time stamp, no attributes, offset 0.
  const std::string stamped = dir_.file("stamped");
  send("PUT " + client_path(stamped));
  send("TIME " + number_to_text(pack_time_stamp(2000, 6, 15, 13, 45, 30)) + nul);
  send("ATTR 33" + nul);
  send("REST 2" + nul);
  send("SIZE 0");
  // An upload to such a path stores nothing: its data frame is refused.
  send("PUT " + client_path(keep) + nul);
  send("SIZE 0");
  send("PUT " + client_path(keep) + nul);
  send("SIZE 4");
  // Refused. A peer held up past the refusal's hold would read the lines the
  // loop cleared after the failed upload as acceptance: the server holds the
  // refusal until the peer has read it.
  server_->port().pacing = true;
  EXPECT_EQ(peer_.send_data(1, "abcd"), SendResult::SEND_REFUSED);
  server_->port().pacing = false;
  EXPECT_EQ(ask("CONNECT"), "OK A");
  const std::string out = console();
  EXPECT_NE(out.find("SIZE 0\nUPLOAD FAILED\n"), std::string::npos) << out;
  EXPECT_NE(out.find("SIZE 4\n0 ERROR\nUPLOAD FAILED\n"), std::string::npos) << out;

  EXPECT_EQ(testing::read_file(keep), "keep");
  struct stat stamped_st;
  ASSERT_EQ(stat(stamped.c_str(), &stamped_st), 0);
  EXPECT_GT(stamped_st.st_mtime, 961076730);
  EXPECT_NE(stamped_st.st_mode & 0200, 0u);
  EXPECT_TRUE(testing::read_file(sub + "/inside") == "x");
  struct stat st;
  EXPECT_EQ(stat(empty.c_str(), &st), 0);
  EXPECT_NE(stat(dir_.file("new").c_str(), &st), 0);
  EXPECT_NE(stat(dir_.file("moved").c_str(), &st), 0);
}

/// Counts the directories the server reads whole.
class DirectoryReadCount : public FileSystemWrapper {
 public:
  using FileSystemWrapper::FileSystemWrapper;
  std::unique_ptr<DirectoryReader> open_directory(const std::string& path) override {
    ++reads;
    return FileSystemWrapper::open_directory(path);
  }
  std::atomic<int> reads{0};
};

TEST(CommandLoopNames, StandInsOfOneDirectoryAreFoundWithOneReadForTheWholeRun) {
  TempDir dir;
  const ClientNames names;
  constexpr int kFiles = 8;
  auto local = [](int i) { return "tab\t" + std::to_string(i) + ".txt"; };
  auto remote = [&](int i) { return client_path(dir.file(names.stand_in(local(i)))); };
  for (int i = 0; i < kFiles; ++i) testing::write_file(dir.file(local(i)), "x");
  testing::write_file(dir.file("spare"), "spare");
  WholeFileSystem whole;
  DirectoryReadCount fs(whole);
  CablePair cable(0);
  Peer peer(cable);
  testing::ServerThread server(cable, &fs, names);

  for (int i = 2; i < kFiles; ++i) {
    ASSERT_EQ(peer.send_command("DEL " + remote(i)), SendResult::SEND_OK);
    EXPECT_EQ(peer.reply(), "OK") << i;
  }
  EXPECT_EQ(fs.reads, 1);
  // An entry deleted behind the server's back: its stand-in is a free name
  // again, and a rename to it makes a file of that very name.
  ASSERT_EQ(unlink(dir.file(local(1)).c_str()), 0);
  ASSERT_EQ(peer.send_command("RNFR " + client_path(dir.file("spare"))), SendResult::SEND_OK);
  ASSERT_EQ(peer.send_command("RNTO " + remote(1)), SendResult::SEND_OK);
  EXPECT_EQ(peer.reply(), "OK");
  EXPECT_EQ(testing::read_file(dir.file(names.stand_in(local(1)))), "spare");
  // An entry renamed behind its back is not deleted through its old name.
  ASSERT_EQ(rename(dir.file(local(0)).c_str(), dir.file(local(99)).c_str()), 0);
  ASSERT_EQ(peer.send_command("DEL " + remote(0)), SendResult::SEND_OK);
  EXPECT_EQ(peer.reply(), "FILE ERROR 2");
  ASSERT_EQ(peer.send_command("DEL " + remote(99)), SendResult::SEND_OK);
  EXPECT_EQ(peer.reply(), "OK");
  server.stop();
  struct stat st;
  EXPECT_EQ(lstat(dir.file(local(99)).c_str(), &st), -1);
}

TEST_F(CommandLoopTest, KeyPressWhileIdleEndsTheLoopWithinAPoll) {
  EXPECT_EQ(ask("CONNECT"), "OK A");
  const auto start = std::chrono::steady_clock::now();
  server_->console().press_key();
  server_->stop();
  // One poll is 50 ms; the bound leaves room for a slow, shared machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_EQ(server_->console().output(), "CONNECT\nConnection established!\n");
}

// Without a cable: a port whose status the test sets, and counted sleeps.
TEST(WaitForClient, SleepsOnlyWhileTheClientIsSilent) {
  ScriptedPort port;
  port.status = [](const ScriptedPort& p) -> uint8_t { return p.reads < 3 ? 0x87 : 0x07; };
  Lines lines(port, testing::kTestPortBase);
  FakeConsole console;
  abort_flag = true;
  EXPECT_TRUE(wait_for_client(lines, console));
  EXPECT_FALSE(abort_flag);
  EXPECT_EQ(port.sleeps, (std::vector<unsigned>{50, 50, 50}));
  EXPECT_EQ(port.reads, 4u);
}

TEST(WaitForClient, PendingKeyWinsOverACallingClient) {
  ScriptedPort port;
  port.status = [](const ScriptedPort&) -> uint8_t { return 0x07; };  // calling
  Lines lines(port, testing::kTestPortBase);
  FakeConsole console;
  console.press_key();
  EXPECT_FALSE(wait_for_client(lines, console));
  EXPECT_TRUE(abort_flag);
  EXPECT_TRUE(port.sleeps.empty());
  abort_flag = false;
}

TEST(WatchForClient, AnswersACallAfterShortSleepsOnly) {
  ScriptedPort port;
  port.status = [](const ScriptedPort& p) -> uint8_t { return p.reads < 3 ? 0x87 : 0x07; };
  Lines lines(port, testing::kTestPortBase);
  FakeConsole console;
  EXPECT_EQ(watch_for_client(lines, console), Watch::kCalling);
  EXPECT_FALSE(abort_flag);
  EXPECT_EQ(port.sleeps, std::vector<unsigned>(3, WATCH_SLEEP_MS));
  EXPECT_EQ(port.reads, 4u);
}

TEST(WatchForClient, GivesWayToTheIdlePollWhenNobodyCalls) {
  ScriptedPort port;  // status 0xFF: the client's handshake line stays low
  Lines lines(port, testing::kTestPortBase);
  FakeConsole console;
  EXPECT_EQ(watch_for_client(lines, console), Watch::kQuiet);
  EXPECT_EQ(port.sleeps, std::vector<unsigned>(WATCH_POLLS, WATCH_SLEEP_MS));
  EXPECT_EQ(port.reads, WATCH_POLLS + 1);
  EXPECT_LE(port.slept_ms(), 1100u) << "about a second of close watching at most";
}

TEST(WatchForClient, KeyPressEndsTheWatchAtTheNextPoll) {
  ScriptedPort port;
  FakeConsole console;
  port.status = [&console](const ScriptedPort& p) -> uint8_t {
    if (p.reads == 5) console.press_key();
    return 0x87;  // silent
  };
  Lines lines(port, testing::kTestPortBase);
  EXPECT_EQ(watch_for_client(lines, console), Watch::kKey);
  EXPECT_TRUE(abort_flag);
  EXPECT_EQ(port.sleeps.size(), 5u);
  abort_flag = false;
}

TEST(WatchForClient, PendingKeyWinsOverACallingClient) {
  ScriptedPort port;
  port.status = [](const ScriptedPort&) -> uint8_t { return 0x07; };  // calling
  Lines lines(port, testing::kTestPortBase);
  FakeConsole console;
  console.press_key();
  EXPECT_EQ(watch_for_client(lines, console), Watch::kKey);
  EXPECT_TRUE(abort_flag);
  EXPECT_TRUE(port.sleeps.empty());
  abort_flag = false;
}

TEST(CommandLoop, KeyPressWhileTheClientCallsEndsWithoutReceiving) {
  ScriptedPort port;
  port.status = [](const ScriptedPort&) -> uint8_t { return 0x07; };  // calling
  Lines lines(port, testing::kTestPortBase);
  FakeConsole console;
  console.press_key();
  WholeFileSystem fs;
  command_loop(lines, console, fs);
  // Only the lines put to rest at entry: control 0x04, data 0x00; no frame
  // was answered.
  EXPECT_EQ(port.writes, (std::vector<std::pair<uint16_t, uint8_t>>{
                             {testing::kTestPortBase + 2, 0x04}, {testing::kTestPortBase, 0x00}}));
  EXPECT_EQ(port.reads, 1u);
  EXPECT_EQ(console.output(), "");
  abort_flag = false;
}

}  // namespace
}  // namespace tarnel

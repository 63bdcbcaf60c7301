// The transfer commands as the client uses them, through the command loop.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "testing/paced_server.h"
#include "testing/server_thread.h"
#include "testing/transfer_testing.h"

namespace tarnel {
namespace {

using testing::same_bytes;
using testing::write_file;

std::string client_path(std::string local) {
  for (char& c : local) {
    if (c == '/') c = '\\';
  }
  return local;
}

template <class Server>
class CommandsOn : public ::testing::Test {
 protected:
  CommandsOn() : peer_(cable_), server_(cable_) {}

  void send(const std::string& text) {
    ASSERT_EQ(peer_.send_command(text), SendResult::SEND_OK) << text;
  }
  std::string file(const std::string& name) { return cable_.dir().file(name); }
  std::string client(const std::string& name) { return client_path(file(name)); }
  /// Waits (up to 10 s) until the console shows `text`.
  bool console_shows(const std::string& text) {
    for (int i = 0; i < 1000; ++i) {
      if (server_.console().output().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  testing::CablePair cable_{0};
  testing::Peer peer_;
  Server server_;
};

using TransferCommands = CommandsOn<testing::ServerThread>;
/// The same with a server that can be told to wait for the peer to read
/// what it holds on the lines.
using PacedTransferCommands = CommandsOn<testing::PacedServerThread>;

TEST_F(TransferCommands, KeyPressInMidDownloadFailsItAndThenEndsTheLoop) {
  write_file(file("big"), std::string(10 * 4096, 'b'));
  send("GET " + client("big"));
  for (const char* word : {"TIME ", "ATTR ", "SIZE "}) {
    const std::string reply = peer_.reply();
    EXPECT_EQ(reply.rfind(word, 0), 0u) << reply;
  }
  server_.console().press_key();
  std::string payload;
  EXPECT_EQ(peer_.receive_data(1, &payload), RecvResult::RECV_OK);
  EXPECT_TRUE(console_shows("DOWNLOAD FAILED\n"));
  // The key was not read: the loop sees it and ends, so its idle polling of
  // the port stops.
  auto reads = [&] { return cable_.cable().reads(VirtualCable::kEndA); };
  bool still = false;
  for (int i = 0; i < 50 && !still; ++i) {
    const uint64_t before = reads();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    still = reads() == before;
  }
  EXPECT_TRUE(still) << "the loop is still polling";
  EXPECT_EQ(server_.console().output(), "GET " + client("big") + "\nDOWNLOAD FAILED\n");
}

TEST_F(TransferCommands, NegativeRestStartsAtTheBeginning) {
  write_file(file("f"), "0123456789");
  send("REST -5");
  send("GET " + client("f"));
  testing::Received got = testing::receive_download(peer_, 10);
  ASSERT_EQ(got.replies.size(), 3u) << "no \"REST \" reply; first: " << got.replies[0];
  EXPECT_EQ(got.replies[2], "SIZE 10");
  EXPECT_EQ(got.data(), "0123456789");

  send("REST -5");
  send("PUT " + client("g"));
  send("SIZE 3");
  EXPECT_EQ(peer_.send_data(1, "abc"), SendResult::SEND_OK);
  EXPECT_TRUE(console_shows("UPLOAD OK\n"));
  EXPECT_EQ(testing::read_file(file("g")), "abc");
}

TEST_F(TransferCommands, ResumedTextUploadThenTheOffsetsAreBackAtZero) {
  std::string client_text, stored_text;
  for (int i = 0; i < 800; ++i) {
    const std::string line = "line number " + std::to_string(i);
    client_text += line + "\r\n";
    stored_text += line + "\n";
  }
  // The first try broke off after 7000 stored bytes.
  write_file(file("t"), stored_text.substr(0, 7000));
  send("APUT " + client("t"));
  send("REST ?");
  int32_t reported = 2048;
  for (size_t i = 0; i < 2048; ++i) reported += stored_text[i] == '\n';
  EXPECT_EQ(peer_.reply(), "REST=" + std::to_string(reported));
  send("SIZE " + std::to_string(client_text.size()));
  for (SendResult r :
       testing::send_upload(peer_, client_text.substr(static_cast<size_t>(reported)))) {
    EXPECT_EQ(r, SendResult::SEND_OK);
  }
  EXPECT_TRUE(console_shows("UPLOAD OK\n"));
  EXPECT_TRUE(same_bytes(testing::read_file(file("t")), stored_text));

  // The next upload is a new file again, from its first byte.
  send("PUT " + client("u"));
  send("SIZE 3");
  EXPECT_EQ(peer_.send_data(1, "xyz"), SendResult::SEND_OK);
  server_.stop();
  const std::string out = server_.console().output();
  EXPECT_EQ(out.find("UPLOAD FAILED"), std::string::npos) << out;
  EXPECT_EQ(testing::read_file(file("u")), "xyz");
}

TEST_F(PacedTransferCommands, ResumeOntoAFileThatShrankFailsAndWritesNothing) {
  const std::string client_data = testing::pattern(12000, 5);
  write_file(file("f"), client_data.substr(0, 10000));
  send("PUT " + client("f"));
  send("REST ?");
  EXPECT_EQ(peer_.reply(), "REST=5120");
  ASSERT_EQ(truncate(file("f").c_str(), 1000), 0);
  send("SIZE 12000");
  // The first frame cannot be stored, and is refused itself. The server
  // holds the refusal until the peer has read it: a peer held up past the
  // hold would read the lines the loop cleared after the failed upload as
  // acceptance.
  server_.port().pacing = true;
  EXPECT_EQ(peer_.send_data(1, client_data.substr(5120, 4096)), SendResult::SEND_REFUSED);
  server_.port().pacing = false;
  EXPECT_TRUE(console_shows("SIZE 12000\n5120 ERROR\nUPLOAD FAILED\n"))
      << server_.console().output();
  EXPECT_TRUE(same_bytes(testing::read_file(file("f")), client_data.substr(0, 1000)));
}

TEST_F(TransferCommands, RestQueryOffsetsDoNotCarryToAnotherFile) {
  // "REST ?" measured a; the upload that follows is a new file b, sent whole.
  struct {
    const char* word;
    size_t size;
  } const cases[] = {{"PUT ", 5120}, {"PUT ", 6000}, {"APUT ", 5120}, {"APUT ", 6000}};
  int n = 0;
  for (const auto& c : cases) {
    const std::string a = "a" + std::to_string(n), b = "b" + std::to_string(n);
    ++n;
    write_file(file(a), std::string(10000, 'a'));
    send("PUT " + client(a));
    send("REST ?");
    EXPECT_EQ(peer_.reply(), "REST=5120");
    send(c.word + client(b));
    send("SIZE " + std::to_string(c.size));
    const std::string data(c.size, 'b');  // no CR: stored alike in both modes
    for (SendResult r : testing::send_upload(peer_, data))
      EXPECT_EQ(r, SendResult::SEND_OK) << c.word << c.size;
    EXPECT_TRUE(console_shows("SIZE " + std::to_string(c.size) + "\nUPLOAD OK\n"))
        << c.word << c.size;
    EXPECT_TRUE(same_bytes(testing::read_file(file(b)), data)) << c.word << c.size;
    EXPECT_TRUE(same_bytes(testing::read_file(file(a)), std::string(10000, 'a')));
  }
}

TEST_F(TransferCommands, ResumeOffsetsStayForTheSameFileAndRestBeforePut) {
  const std::string client_data = testing::pattern(12000, 3);
  // "REST ?", then "PUT " of the same file again: the resume goes on.
  write_file(file("r"), client_data.substr(0, 10000));
  send("PUT " + client("r"));
  send("REST ?");
  EXPECT_EQ(peer_.reply(), "REST=5120");
  send("PUT " + client("r"));
  send("SIZE 12000");
  for (SendResult r : testing::send_upload(peer_, client_data.substr(5120)))
    EXPECT_EQ(r, SendResult::SEND_OK);
  EXPECT_TRUE(console_shows("SIZE 12000\nUPLOAD OK\n"));
  EXPECT_TRUE(same_bytes(testing::read_file(file("r")), client_data));

  // The same file in the other mode: the offsets counted the other way, so
  // they go, and the upload is a new file.
  write_file(file("m"), client_data.substr(0, 10000));
  send("PUT " + client("m"));
  send("REST ?");
  EXPECT_EQ(peer_.reply(), "REST=5120");
  send("APUT " + client("m"));
  send("SIZE 3");
  EXPECT_EQ(peer_.send_data(1, "abc"), SendResult::SEND_OK);
  EXPECT_TRUE(console_shows("SIZE 3\nUPLOAD OK\n"));
  EXPECT_EQ(testing::read_file(file("m")), "abc");

  // "REST " with a number before "PUT " carries into that upload: here the
  // stored file is already complete, so nothing is received.
  write_file(file("s"), client_data.substr(0, 6000));
  send("REST 5120");
  send("PUT " + client("s"));
  send("SIZE 5120");
  send("CONNECT");
  EXPECT_EQ(peer_.reply(), "OK A");
  server_.stop();
  EXPECT_NE(server_.console().output().find("SIZE 5120\nUPLOAD OK\nCONNECT\n"), std::string::npos)
      << server_.console().output();
  EXPECT_TRUE(same_bytes(testing::read_file(file("s")), client_data.substr(0, 6000)));
}

TEST_F(PacedTransferCommands, SizeWithNoPendingUploadRefusesTheDataAndFails) {
  send("SIZE 10");
  // Refused. The loop puts its lines to rest right after a failed command,
  // and a client that looks at the reply code only after that would read it
  // as accepted: the server holds the refusal until the peer has read it.
  server_.port().pacing = true;
  EXPECT_EQ(peer_.send_data(1, "0123456789"), SendResult::SEND_REFUSED);
  server_.port().pacing = false;
  EXPECT_TRUE(console_shows("SIZE 10\n0 ERROR\nUPLOAD FAILED\n")) << server_.console().output();
}

}  // namespace
}  // namespace tarnel

// The command exchange against a client end that follows the link's rules
// to the letter and nothing more (testing/literal_peer.h): it takes a
// frame's result only from the reply code it reads after the last byte's
// acknowledgement, and it is slow to read it. Every reply code that ends a
// frame must stay on the server's lines long enough for such a sender.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "link/frame.h"
#include "testing/cable_pair.h"
#include "testing/literal_peer.h"
#include "testing/server_thread.h"
#include "testing/temp_dir.h"
#include "testing/wire_frames.h"

namespace tarnel {
namespace {

using testing::CablePair;
using testing::LiteralPeer;
using testing::ServerThread;

std::string client_path(std::string local) {
  for (char& c : local) {
    if (c == '/') c = '\\';
  }
  return local;
}

/// Returns from the exchange with a failure when `got` is not `want`.
#define STEP_EQ(got, want)                                                              \
  do {                                                                                      \
    const auto got_ = (got);                                                                \
    const auto want_ = (want);                                                              \
    if (!(got_ == want_))                                                                   \
      return ::testing::AssertionFailure() << #got << " is " << ::testing::PrintToString(got_) \
                                           << ", want " << ::testing::PrintToString(want_);  \
  } while (0)

using Play = std::function<::testing::AssertionResult(LiteralPeer& peer, const std::string& dir)>;

struct ExchangeCase {
  const char* name;
  /// Plays the client's part; `dir` is the test's directory.
  Play play;
};

/// Plays `play` against a fresh server on a cable with `bus_ns`, then checks
/// that the server still answers. An exchange in which the peer was held up
/// past the server's hold by the scheduler (a loaded machine) is played
/// again, up to three times; the last attempt counts whatever happened.
void play_against_server(uint32_t bus_ns, const Play& play) {
  for (int attempt = 1;; ++attempt) {
    CablePair cable(bus_ns);
    LiteralPeer peer(cable);
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    {
      ServerThread server(cable);
      result = play(peer, cable.dir().path());
      if (result) {
        // The server goes on serving.
        result = peer.command("CONNECT") == SEND_OK && peer.reply() == "OK A"
                     ? ::testing::AssertionSuccess()
                     : ::testing::AssertionFailure() << "CONNECT afterwards failed";
      }
    }
    testing::reset_process_state();
    if (peer.late_reads() == 0 || attempt == 3) {
      EXPECT_TRUE(result) << "attempt " << attempt << ", late reads " << peer.late_reads();
      return;
    }
  }
}

class CommandExchange : public ::testing::TestWithParam<std::tuple<ExchangeCase, uint32_t>> {};

TEST_P(CommandExchange, EndsWithTheResultTheServerGave) {
  const auto& [c, bus_ns] = GetParam();
  play_against_server(bus_ns, c.play);
}

const ExchangeCase kCases[] = {
    {"Connect",
     [](LiteralPeer& peer, const std::string&) -> ::testing::AssertionResult {
       STEP_EQ(peer.command("CONNECT"), SEND_OK);
       STEP_EQ(peer.reply(), "OK A");
       return ::testing::AssertionSuccess();
     }},
    {"RestThenGet",
     [](LiteralPeer& peer, const std::string& dir) -> ::testing::AssertionResult {
       testing::write_file(dir + "/f.txt", "0123456789abcdef");
       STEP_EQ(peer.command("REST 10"), SEND_OK);
       STEP_EQ(peer.command("GET " + client_path(dir + "/f.txt")), SEND_OK);
       STEP_EQ(peer.reply(), "REST 10");
       STEP_EQ(peer.reply().rfind("TIME ", 0), 0u);
       STEP_EQ(peer.reply().rfind("ATTR ", 0), 0u);
       STEP_EQ(peer.reply(), "SIZE 16");
       std::string data;
       STEP_EQ(peer.receive_frame(1, &data), RECV_OK);
       STEP_EQ(data, "abcdef");
       return ::testing::AssertionSuccess();
     }},
    {"EmptyCommand",
     [](LiteralPeer& peer, const std::string&) -> ::testing::AssertionResult {
       STEP_EQ(peer.command(""), SEND_OK);
       STEP_EQ(peer.expect_bad_command(), true);
       return ::testing::AssertionSuccess();
     }},
    {"UnknownWord",
     [](LiteralPeer& peer, const std::string&) -> ::testing::AssertionResult {
       STEP_EQ(peer.command("HELLO"), SEND_OK);
       STEP_EQ(peer.expect_bad_command(), true);
       return ::testing::AssertionSuccess();
     }},
    {"CancelFrameAsCommand",
     [](LiteralPeer& peer, const std::string&) -> ::testing::AssertionResult {
       STEP_EQ(peer.send_bytes(testing::cancel_frame_bytes()), SEND_REFUSED);
       STEP_EQ(peer.expect_bad_command(), true);
       STEP_EQ(peer.wait_for_rest(), true);
       return ::testing::AssertionSuccess();
     }},
    {"CommandNumberedFive",
     [](LiteralPeer& peer, const std::string&) -> ::testing::AssertionResult {
       STEP_EQ(peer.send_frame(5, "CONNECT"), SEND_ABORTED);
       STEP_EQ(peer.wait_for_rest(), true);
       return ::testing::AssertionSuccess();
     }},
    {"ElevenBadChecksums",
     [](LiteralPeer& peer, const std::string&) -> ::testing::AssertionResult {
       const testing::WireBytes frame = testing::frame_bytes(0, "CONNECT");
       STEP_EQ(peer.send_copies(testing::bad_copies_then_good(frame, 11)), SEND_ABORTED);
       STEP_EQ(peer.resends(), 11);  // each REPLY_RESEND seen, the last one too
       STEP_EQ(peer.wait_for_rest(), true);
       return ::testing::AssertionSuccess();
     }},
    {"TenBadChecksumsThenAGoodCopy",
     [](LiteralPeer& peer, const std::string&) -> ::testing::AssertionResult {
       const testing::WireBytes frame = testing::frame_bytes(0, "CONNECT");
       STEP_EQ(peer.send_copies(testing::bad_copies_then_good(frame, 10)), SEND_OK);
       STEP_EQ(peer.resends(), 10);
       STEP_EQ(peer.reply(), "OK A");
       return ::testing::AssertionSuccess();
     }},
};

INSTANTIATE_TEST_SUITE_P(
    LiteralPeer, CommandExchange,
    ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Values(0u, 1000u)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + "_bus_ns_" +
             std::to_string(std::get<1>(info.param));
    });

}  // namespace
}  // namespace tarnel

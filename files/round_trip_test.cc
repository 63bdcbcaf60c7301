// Files sent to the server and fetched back through the command loop come
// back byte for byte, in raw and in text mode.
#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <random>
#include <string>
#include <thread>

#include "testing/server_thread.h"
#include "testing/transfer_testing.h"

namespace tarnel {
namespace {

using testing::same_bytes;

/// The client's spelling of a local absolute path.
std::string client_path(std::string local) {
  for (char& c : local) {
    if (c == '/') c = '\\';
  }
  return local;
}

/// `n` random bytes; in text mode no lone CR or LF, and CR LF line ends at
/// random places (a text file as the client keeps it).
std::string random_content(size_t n, bool text, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s;
  s.reserve(n);
  while (s.size() < n) {
    if (text && s.size() + 2 <= n && rng() % 40 == 0) {
      s += "\r\n";
      continue;
    }
    char c = static_cast<char>(rng());
    if (text && (c == '\r' || c == '\n')) continue;
    s += c;
  }
  return s;
}

struct RoundTrip {
  size_t size;
  bool text;
};

void PrintTo(const RoundTrip& c, std::ostream* os) {
  *os << (c.text ? "text, " : "raw, ") << c.size << " bytes";
}

class RoundTripTest : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(RoundTripTest, UploadThenDownloadGivesTheSameBytes) {
  const RoundTrip& c = GetParam();
  testing::CablePair cable(0);
  testing::Peer peer(cable);
  testing::ServerThread server(cable);
  const std::string content = random_content(c.size, c.text, static_cast<unsigned>(c.size));
  const std::string path = client_path(cable.dir().file("file.dat"));

  ASSERT_EQ(peer.send_command((c.text ? "APUT " : "PUT ") + path), SendResult::SEND_OK);
  ASSERT_EQ(peer.send_command("SIZE " + std::to_string(c.size)), SendResult::SEND_OK);
  for (SendResult r : testing::send_upload(peer, content)) ASSERT_EQ(r, SendResult::SEND_OK);

  ASSERT_EQ(peer.send_command((c.text ? "AGET " : "GET ") + path), SendResult::SEND_OK);
  testing::Received got = testing::receive_download(peer, c.size);
  ASSERT_EQ(got.replies.size(), 3u);
  EXPECT_EQ(got.replies[2], "SIZE " + std::to_string(c.size));
  EXPECT_TRUE(same_bytes(got.data(), content));
  for (const auto& frame : got.frames) {
    EXPECT_GE(frame.size(), 1u);
    EXPECT_LE(frame.size(), 4096u);
  }

  // The key that stops the loop would end a download still in its data
  // phase: wait for the result line first.
  for (int i = 0; i < 1000 && server.console().output().find("DOWNLOAD") == std::string::npos;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  server.stop();
  const std::string out = server.console().output();
  EXPECT_NE(out.find("UPLOAD OK\n"), std::string::npos) << out;
  EXPECT_NE(out.find("DOWNLOAD OK\n"), std::string::npos) << out;
}

std::string name(const ::testing::TestParamInfo<RoundTrip>& info) {
  return (info.param.text ? "Text" : "Raw") + std::to_string(info.param.size);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RoundTripTest,
                         ::testing::Values(RoundTrip{0, false}, RoundTrip{1, false},
                                           RoundTrip{4095, false}, RoundTrip{4096, false},
                                           RoundTrip{4097, false}, RoundTrip{100000, false},
                                           RoundTrip{1048576, false}, RoundTrip{0, true},
                                           RoundTrip{1, true}, RoundTrip{4095, true},
                                           RoundTrip{4096, true}, RoundTrip{4097, true},
                                           RoundTrip{100000, true}, RoundTrip{1048576, true}),
                         name);

}  // namespace
}  // namespace tarnel

// Helpers for the transfer tests: a server-side call running in a thread of
// its own while the test plays the client on the other end of the cable.
#ifndef TARNEL_TESTING_TRANSFER_TESTING_H_
#define TARNEL_TESTING_TRANSFER_TESTING_H_

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/wire_words.h"
#include "link/frame.h"
#include "testing/cable_pair.h"
#include "testing/fake_console.h"
#include "testing/peer.h"
#include "testing/server_thread.h"

namespace tarnel::testing {

/// One cable, a fake console and a peer; `serve` runs a server-side call.
class Exchange {
 public:
  Exchange() : server_(cable_.server_lines()), peer_(cable_) {}
  ~Exchange() { join(); }

  /// Runs `call` on the server end in its own thread.
  void serve(std::function<void(Lines&, FakeConsole&)> call) {
    thread_ = std::thread([this, call] { call(server_, console_); });
  }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

  CablePair& cable() { return cable_; }
  TempDir& dir() { return cable_.dir(); }
  Peer& peer() { return peer_; }
  FakeConsole& console() { return console_; }
  Lines& server() { return server_; }

 private:
  CablePair cable_{0};
  Lines server_;
  Peer peer_;
  FakeConsole console_;
  std::thread thread_;
};

/// What a client sees of a download.
struct Received {
  std::vector<std::string> replies;  // text replies up to "SIZE " or "FILE ERROR "
  std::vector<std::string> frames;   // data payloads, frames 1, 2, ...
  std::string data() const {
    std::string all;
    for (const auto& f : frames) all += f;
    return all;
  }
  std::vector<size_t> lengths() const {
    std::vector<size_t> out;
    for (const auto& f : frames) out.push_back(f.size());
    return out;
  }
};

/// Takes replies until "SIZE " or an error reply, then data frames until
/// `data_bytes` payload bytes have come (or a frame fails).
inline Received receive_download(Peer& peer, size_t data_bytes) {
  Received got;
  for (;;) {
    std::string text = peer.reply();
    got.replies.push_back(text);
    if (text.rfind(ANSWER_SIZE, 0) == 0) break;
    if (text.rfind(ANSWER_WAIT, 0) != 0 && text.rfind(ANSWER_REST, 0) != 0 &&
        text.rfind(ANSWER_TIME, 0) != 0 && text.rfind(ANSWER_ATTR, 0) != 0) {
      return got;
    }
  }
  size_t bytes = 0;
  for (int32_t number = 1; bytes < data_bytes; ++number) {
    std::string payload;
    if (peer.receive_data(number, &payload) != RecvResult::RECV_OK) break;
    bytes += payload.size();
    got.frames.push_back(payload);
  }
  return got;
}

/// Sends `data` as upload frames of at most `frame_size` bytes, numbered
/// from `first`, up to the first frame that is not delivered. Returns the
/// send result of each frame.
inline std::vector<SendResult> send_upload(Peer& peer, const std::string& data,
                                           size_t frame_size = 4096, int32_t first = 1) {
  std::vector<SendResult> results;
  int32_t number = first;
  for (size_t at = 0; at < data.size(); at += frame_size, ++number) {
    // Only the first frame follows a reply of the server.
    const SendResult r =
        peer.send_data(number, std::string_view(data).substr(at, frame_size), number == first);
    results.push_back(r);
    if (r != SendResult::SEND_OK) break;
  }
  return results;
}

/// Equal byte strings; on a difference, says where instead of printing both.
inline ::testing::AssertionResult same_bytes(const std::string& got, const std::string& want) {
  if (got == want) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  return ::testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size()
                                       << "; first difference at byte " << at;
}

/// Reproducible bytes of every value, different for each seed.
inline std::string pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t v = seed;
  for (auto& c : s) {
    v = v * 1103515245u + 12345u;
    c = static_cast<char>(v >> 16);
  }
  return s;
}

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_TRANSFER_TESTING_H_

#include "testing/peer.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "link/receive.h"
#include "link/send.h"
#include "link/text.h"

namespace tarnel::testing {

SendResult Peer::send_command(std::string_view text) {
  lines_.delay_ms(1);
  SendResult result =
      SendResult::SEND_ABORTED;  // set to the frame's result: a peer's link is never busy
  send_text(lines_, text, &result);
  return result;
}

RecvResult Peer::receive_reply(std::string& text) {
  RecvResult result = RecvResult::RECV_FAILED;  // likewise
  receive_command(lines_, text, &result);
  return result;
}

std::string Peer::reply() {
  std::string text;
  const RecvResult r = receive_reply(text);
  return r == RecvResult::RECV_OK ? text : "<failed " + std::to_string(static_cast<int>(r)) + ">";
}

RecvResult Peer::receive_data(int32_t number, std::string* payload) {
  FrameBuffer frame;
  frame.number = number;
  const RecvResult r = receive_frame(lines_, frame);
  if (r == RecvResult::RECV_OK && payload)
    payload->assign(reinterpret_cast<char*>(frame.data), frame.length);
  return r;
}

SendResult Peer::send_data(int32_t number, std::string_view payload, bool hold) {
  FrameBuffer frame;
  if (payload.size() > FRAME_MAX_PAYLOAD) payload = payload.substr(0, FRAME_MAX_PAYLOAD);
  std::memcpy(frame.data, payload.data(), payload.size());
  frame.length = static_cast<int32_t>(payload.size());
  frame.number = number;
  if (hold) lines_.delay_ms(1);
  return send_frame(lines_, frame);
}

bool Peer::wait_for_status(uint8_t masked_status, unsigned ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if ((lines_.read_status() & Lines::kStatusLines) == masked_status) return true;
    std::this_thread::yield();
  }
  return false;
}

bool Peer::expect_bad_command() {
  // Handshake line high with nibble 0xE: status bit 7 clear, nibble bits 0x70.
  constexpr uint8_t kSignalShown = Lines::kSignalNibble << Lines::kStatusNibbleShift;
  if (!wait_for_status(kSignalShown, 2500)) return false;
  // Back to rest (handshake low, nibble 0), and staying there. After a frame
  // that failed, the abort signal comes first, with the same pattern, and
  // the lines are at rest only for an instant before the bad-command signal.
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  while (std::chrono::steady_clock::now() < end) {
    if (!wait_for_status(Lines::kStatusHandshake, 1000)) return false;
    const auto quiet_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
    bool quiet = true;
    while (quiet && std::chrono::steady_clock::now() < quiet_until) {
      quiet = (lines_.read_status() & Lines::kStatusLines) == Lines::kStatusHandshake;
      std::this_thread::yield();
    }
    if (quiet) return true;
  }
  return false;
}

}  // namespace tarnel::testing

// The turn of the cable after a frame: a receiver that accepts the last byte
// and at once begins its own frame.
#include <gtest/gtest.h>

#include "link/send.h"
#include "testing/scripted_port.h"

namespace tarnel {
namespace {

using testing::ScriptedPort;

constexpr uint16_t kBase = 0x378;

// A receiver that acknowledges every nibble at once; after the last byte's
// high nibble it shows `after_last` instead of its second acknowledgement.
ScriptedPort receiver_that_shows(int data_writes_in_frame, uint8_t after_last) {
  ScriptedPort port;
  port.status = [=](const ScriptedPort& p) -> uint8_t {
    std::vector<uint8_t> data = p.written_to(kBase);
    if (data.empty()) return 0x87;
    if (static_cast<int>(data.size()) >= data_writes_in_frame) return after_last;
    // Sender's handshake high: first acknowledgement (receiver's line high,
    // bit 7 reads 0); low: second acknowledgement with REPLY_ACCEPT.
    return (data.back() & 0x10) ? 0x07 : 0x87;
  };
  return port;
}

TEST(SendFrame, ReceiverStartingItsNextFrameCountsAsAcceptance) {
  // 0x18 on the receiver's lines: handshake high, nibble 8 (status 0x47).
  ScriptedPort port = receiver_that_shows(32, 0x47);
  Lines lines(port, kBase, Waiting::kServer);
  FrameBuffer frame;
  frame.length = 0;
  frame.number = 0;
  EXPECT_EQ(send_frame(lines, frame), SEND_OK);
  EXPECT_TRUE(port.sleeps.empty()) << "the start of the next frame was not recognised at once";
}

TEST(SendFrame, OtherHandshakeHighAfterLastByteIsNoAcceptance) {
  // The receiver's abort pattern (0x1E: handshake high, nibble 0xE) is not a
  // frame start: the wait runs out.
  ScriptedPort port = receiver_that_shows(32, 0x77);
  Lines lines(port, kBase, Waiting::kServer);
  FrameBuffer frame;
  frame.length = 0;
  frame.number = 0;
  EXPECT_EQ(send_frame(lines, frame), SEND_TIMEOUT);
}

TEST(SendFrame, FrameStartBeforeLastByteIsNoAcceptance) {
  // Nibble 8 with the handshake high in the middle of a frame is the
  // receiver's first acknowledgement with stray nibble lines, not a frame.
  ScriptedPort port = receiver_that_shows(10, 0x47);
  Lines lines(port, kBase, Waiting::kServer);
  FrameBuffer frame;
  frame.length = 0;
  frame.number = 0;
  EXPECT_EQ(send_frame(lines, frame), SEND_TIMEOUT);
}

}  // namespace
}  // namespace tarnel

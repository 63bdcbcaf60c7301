// The turn of the cable after a frame: a receiver that accepts the last byte
// and at once begins its own frame.
#include <gtest/gtest.h>

#include "link/send.h"
#include "testing/result_printing.h"
#include "testing/scripted_port.h"

namespace tarnel {
namespace {

using testing::ScriptedPort;

constexpr uint16_t kBase = 0x378;
constexpr int kEmptyFrameWrites = 32;  // 16 bytes, two nibbles each

// A receiver that acknowledges every nibble at once; after `writes` data
// register writes of the sender it shows `status` instead.
ScriptedPort receiver_that_shows(int writes, uint8_t status) {
  ScriptedPort port;
  port.status = [=](const ScriptedPort& p) -> uint8_t {
    std::vector<uint8_t> data = p.written_to(kBase);
    if (data.empty()) return 0x87;
    if (static_cast<int>(data.size()) >= writes) return status;
    // Sender's handshake high: first acknowledgement (receiver's line high,
    // bit 7 reads 0); low: second acknowledgement with REPLY_ACCEPT.
    return (data.back() & 0x10) ? 0x07 : 0x87;
  };
  return port;
}

struct HandoverCase {
  const char* name;
  int writes;      // when the receiver changes its lines
  uint8_t status;  // what the sender then reads
  SendResult result;
};

class SendFrameHandover : public ::testing::TestWithParam<HandoverCase> {};

TEST_P(SendFrameHandover, OnlyAFrameStartAfterTheLastByteCountsAsAcceptance) {
  const HandoverCase& c = GetParam();
  ScriptedPort port = receiver_that_shows(c.writes, c.status);
  Lines lines(port, kBase, Waiting::kServer);
  FrameBuffer frame;
  frame.length = 0;
  frame.number = 0;
  EXPECT_EQ(send_frame(lines, frame), c.result);
  if (c.result == SendResult::SEND_OK) {
    EXPECT_TRUE(port.sleeps.empty()) << "the start of the next frame was not seen at once";
    EXPECT_TRUE(port.us_sleeps.empty()) << "the start of the next frame was not seen at once";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SendFrameHandover,
    ::testing::Values(
        // 0x18 on the receiver's lines (handshake high, nibble 8): its next frame.
        HandoverCase{"NextFrameAfterLastByte", kEmptyFrameWrites, 0x47, SendResult::SEND_OK},
        // 0x1E (handshake high, nibble 0xE) is the abort pattern, not a frame.
        HandoverCase{"AbortPatternAfterLastByte", kEmptyFrameWrites, 0x77,
                     SendResult::SEND_TIMEOUT},
        // Nibble 8 in the middle of the frame is a first acknowledgement with
        // stray nibble lines: the second acknowledgement never comes.
        HandoverCase{"NibbleEightMidFrame", 10, 0x47, SendResult::SEND_TIMEOUT}),
    [](const ::testing::TestParamInfo<HandoverCase>& row) { return row.param.name; });

}  // namespace
}  // namespace tarnel

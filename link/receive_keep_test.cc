// The keeper of receive_frame: a frame's data is kept before the frame is
// accepted, and a frame whose data cannot be kept is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/receive.h"
#include "testing/cable_pair.h"
#include "testing/recording_port.h"
#include "testing/result_printing.h"
#include "testing/wire_peer.h"

namespace tarnel {
namespace {

using testing::CablePair;
using testing::WireBytes;
using testing::WireSender;

constexpr uint32_t kBusNs = 1000;

/// What the keeper saw of each call.
struct Call {
  std::string payload;
  size_t writes_before;  // data register writes of the receiver until then
};

struct Outcome {
  RecvResult result;
  std::vector<Call> calls;
  std::vector<uint8_t> writes;          // the receiver's data register writes
  std::vector<uint8_t> sender_replies;  // the reply codes the sender saw
};

Outcome receive_with_keeper(std::vector<WireBytes> copies, int32_t expected, bool keeps) {
  CablePair cable(kBusNs);
  testing::RecordedServerEnd server(cable);
  WireSender sender(cable, std::move(copies));
  FrameBuffer frame;
  frame.number = expected;
  Outcome out;
  sender.start();
  out.result = receive_frame(server.lines, frame, [&](const FrameBuffer& f) {
    out.calls.push_back({std::string(reinterpret_cast<const char*>(f.data), f.length),
                         server.data_writes().size()});
    return keeps;
  });
  sender.join();
  out.writes = server.data_writes();
  out.sender_replies = sender.replies();
  return out;
}

TEST(ReceiveFrameKeeper, KeepsThePayloadBeforeTheLastByteIsAnswered) {
  const WireBytes wire = testing::frame_bytes(3, "data");
  const Outcome out = receive_with_keeper({wire}, 3, true);
  EXPECT_EQ(out.result, RecvResult::RECV_OK);
  ASSERT_EQ(out.calls.size(), 1u);
  EXPECT_EQ(out.calls[0].payload, "data");
  // Every byte is answered with two writes; the keeper ran after the first
  // acknowledgement of the last byte, before its reply code.
  EXPECT_EQ(out.calls[0].writes_before, 2 * wire.size() - 1);
  EXPECT_EQ(out.writes.back(), REPLY_ACCEPT);
  EXPECT_EQ(out.sender_replies, std::vector<uint8_t>(wire.size(), REPLY_ACCEPT));
}

TEST(ReceiveFrameKeeper, FrameWhoseDataCannotBeKeptIsRefused) {
  const WireBytes wire = testing::frame_bytes(1, std::string(100, 'x'));
  const Outcome out = receive_with_keeper({wire}, 1, false);
  EXPECT_EQ(out.result, RecvResult::RECV_REFUSED);
  EXPECT_EQ(out.calls.size(), 1u);
  // Refused after the last byte, without the abort signal.
  std::vector<uint8_t> writes;
  for (size_t i = 0; i + 1 < wire.size(); ++i) writes.insert(writes.end(), {0x10, REPLY_ACCEPT});
  writes.insert(writes.end(), {0x10, REPLY_REFUSE});
  EXPECT_EQ(out.writes, writes);
  ASSERT_EQ(out.sender_replies.size(), wire.size());
  EXPECT_EQ(out.sender_replies.back(), REPLY_REFUSE);
}

TEST(ReceiveFrameKeeper, OnlyTheFrameThatIsAcceptedIsKept) {
  const WireBytes good = testing::frame_bytes(5, "abc");
  struct {
    const char* name;
    std::vector<WireBytes> copies;
    RecvResult result;
    size_t calls;
  } const cases[] = {
      {"bad copy, then the good one", testing::bad_copies_then_good(good, 2), RecvResult::RECV_OK,
       1},
      {"number one away", {testing::frame_bytes(6, "abc")}, RecvResult::RECV_REFUSED, 0},
      {"cancel frame", {testing::cancel_frame_bytes()}, RecvResult::RECV_REFUSED, 0},
  };
  for (const auto& c : cases) {
    const Outcome out = receive_with_keeper(c.copies, 5, true);
    EXPECT_EQ(out.result, c.result) << c.name;
    EXPECT_EQ(out.calls.size(), c.calls) << c.name;
  }
}

}  // namespace
}  // namespace tarnel

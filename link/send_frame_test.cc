#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <string>

#include "link/send.h"
#include "link/text.h"
#include "testing/cable_pair.h"
#include "testing/peer.h"
#include "testing/recording_port.h"
#include "testing/scripted_port.h"
#include "testing/wire_peer.h"

namespace tarnel {
namespace {

using std::chrono::milliseconds;
using testing::CablePair;
using testing::kTestPortBase;
using testing::RecordingPort;
using testing::WireBytes;
using testing::WireClock;
using testing::WireReceiver;

// Cables between the server's end and a peer thread run at the speed of a
// real port: the server's first burst of 10000 reads then lasts 10 ms, as
// designed, and a peer thread that the scheduler holds up for a moment costs
// only short sleeps.
constexpr uint32_t kBusNs = 1000;

using ServerEnd = testing::RecordedServerEnd;

FrameBuffer make_frame(int32_t number, const std::string& payload) {
  FrameBuffer frame;
  std::memset(&frame, 0xA5, sizeof frame);
  frame.magic = 0xDEADBEEF;
  frame.number = number;
  frame.length = static_cast<int32_t>(payload.size());
  std::memcpy(frame.data, payload.data(), payload.size());
  return frame;
}

// What the sender must write to its data register for `bytes`: per byte the
// low nibble with the handshake line high, then the high nibble with it low.
std::vector<uint8_t> nibble_writes(const WireBytes& bytes) {
  std::vector<uint8_t> out;
  for (uint8_t b : bytes) {
    out.push_back(static_cast<uint8_t>(0x10 | (b & 0x0F)));
    out.push_back(static_cast<uint8_t>(b >> 4));
  }
  return out;
}

WireBytes concat(WireBytes a, const WireBytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const WireBytes kOkFrame = {0x18, 0x24, 0x42, 0x81, 0x02, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x4F, 0x4B, 0x9B, 0x00, 0xEB, 0x00};

struct WireCase {
  const char* name;
  int32_t number;
  std::string payload;
  WireBytes expected;
};

class SendFrameWire : public ::testing::TestWithParam<WireCase> {};

TEST_P(SendFrameWire, PutsExactBytesOnTheWire) {
  const WireCase& c = GetParam();
  CablePair cable(kBusNs);
  ServerEnd server(cable);
  WireReceiver receiver(cable);
  receiver.start();
  FrameBuffer frame = make_frame(c.number, c.payload);
  const FrameBuffer before = frame;

  EXPECT_EQ(send_frame(server.lines, frame), SendResult::SEND_OK);
  receiver.join();

  EXPECT_EQ(receiver.bytes(), c.expected) << testing::hex(receiver.bytes());
  EXPECT_EQ(server.data_writes(), nibble_writes(c.expected));
  EXPECT_EQ(server.port.written_to(kTestPortBase + 2), std::vector<uint8_t>{0x04});
  EXPECT_TRUE(server.port.sleeps().empty()) << "only the short sleeps of a wait";
  EXPECT_EQ(cable.cable().high_bit_writes(VirtualCable::kEndA), 0u);
  // Idle afterwards: the high nibble of the last checksum byte, handshake low.
  EXPECT_EQ(cable.cable().data_register(VirtualCable::kEndA), c.expected.back() >> 4);
  // The magic is written into the buffer; nothing else in it changes.
  EXPECT_EQ(frame.magic, FRAME_MAGIC);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(&frame) + 4,
                        reinterpret_cast<const char*>(&before) + 4, sizeof frame - 4),
            0);
}

WireBytes full_block_frame() {
  WireBytes out = {0x18, 0x24, 0x42, 0x81, 0x00, 0x10, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00};
  out.insert(out.end(), 4096, 0xFF);
  out.insert(out.end(), {0x01, 0xF0, 0x00, 0x08});
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    SendFrame, SendFrameWire,
    ::testing::Values(WireCase{"OkReply", 0, "OK", kOkFrame},
                      WireCase{"CancelFrame",
                               -1,
                               "",
                               {0x18, 0x24, 0x42, 0x81, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF,
                                0xFF, 0x01, 0x00, 0x00, 0x00}},
                      WireCase{"EmptyFrame",
                               7,
                               "",
                               {0x18, 0x24, 0x42, 0x81, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00,
                                0x00, 0x01, 0x00, 0x00, 0x00}},
                      WireCase{"FullBlockOfFF", 3, std::string(4096, '\xFF'), full_block_frame()}),
    [](const auto& row) { return std::string(row.param.name); });

struct ResendCase {
  const char* name;
  std::vector<size_t> resend_after;  // byte indexes, over everything received
  std::vector<size_t> copy_sizes;    // what the receiver gets, copy by copy
};

class SendFrameResend : public ::testing::TestWithParam<ResendCase> {};

TEST_P(SendFrameResend, StartsAgainFromTheFirstMagicByteWithFreshSums) {
  const ResendCase& c = GetParam();
  CablePair cable(kBusNs);
  ServerEnd server(cable);
  WireReceiver receiver(cable);
  for (size_t i : c.resend_after) receiver.answer(i, REPLY_RESEND);
  receiver.start();
  FrameBuffer frame = make_frame(0, "OK");

  EXPECT_EQ(send_frame(server.lines, frame), SendResult::SEND_OK);
  receiver.join();

  std::vector<WireBytes> copies = receiver.copies();
  ASSERT_EQ(copies.size(), c.copy_sizes.size());
  WireBytes all;
  for (size_t i = 0; i < copies.size(); ++i) {
    EXPECT_EQ(copies[i], WireBytes(kOkFrame.begin(), kOkFrame.begin() + c.copy_sizes[i]))
        << "copy " << i << ": " << testing::hex(copies[i]);
    all = concat(all, copies[i]);
  }
  EXPECT_EQ(server.data_writes(), nibble_writes(all));
  EXPECT_EQ(cable.cable().high_bit_writes(VirtualCable::kEndA), 0u);
}

INSTANTIATE_TEST_SUITE_P(SendFrame, SendFrameResend,
                         ::testing::Values(ResendCase{"AfterLastByteTwice", {17, 35}, {18, 18, 18}},
                                           // Asked again after the first payload byte: the checksum
                                           // of the next copy must not include that byte twice.
                                           ResendCase{"AfterFirstPayloadByte", {12}, {13, 18}}),
                         [](const auto& row) { return std::string(row.param.name); });

struct StopCase {
  const char* name;
  uint8_t code;
  SendResult result;
};

class SendFrameStop : public ::testing::TestWithParam<StopCase> {};

TEST_P(SendFrameStop, SendsNoFurtherByteClearsLinesAndReturnsAfter50Ms) {
  const StopCase& c = GetParam();
  CablePair cable(kBusNs);
  ServerEnd server(cable);
  WireReceiver receiver(cable);
  receiver.answer(5, c.code);
  receiver.start();
  FrameBuffer frame = make_frame(0, "OK");

  EXPECT_EQ(send_frame(server.lines, frame), c.result);
  const auto returned = WireClock::now();
  receiver.join();

  EXPECT_EQ(receiver.bytes(), WireBytes(kOkFrame.begin(), kOkFrame.begin() + 6));
  WireBytes expected = nibble_writes(WireBytes(kOkFrame.begin(), kOkFrame.begin() + 6));
  expected.push_back(0x00);
  EXPECT_EQ(server.data_writes(), expected);
  ASSERT_FALSE(server.port.events.empty());
  EXPECT_EQ(server.port.sleeps().back(), 50u);
  EXPECT_EQ(server.port.events.back().kind, RecordingPort::Event::kSleep);
  EXPECT_EQ(cable.cable().data_register(VirtualCable::kEndA), 0x00);
  EXPECT_GE(returned - receiver.reply_times()[5], milliseconds(50));
  EXPECT_LT(returned - receiver.reply_times()[5], milliseconds(1000));
}

INSTANTIATE_TEST_SUITE_P(
    SendFrame, SendFrameStop,
    ::testing::Values(StopCase{"WrongNumber", REPLY_WRONG_NUMBER, SendResult::SEND_ABORTED},
                      StopCase{"Refuse", REPLY_REFUSE, SendResult::SEND_REFUSED}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(SendFrame, IgnoresReplyCodesItDoesNotKnow) {
  // Nibble 0x1 reads as 0x08 on the sender's status, 0x8 as 0x40.
  for (uint8_t code : {uint8_t{0x01}, uint8_t{0x08}}) {
    CablePair cable(kBusNs);
    ServerEnd server(cable);
    WireReceiver receiver(cable);
    receiver.answer(5, code);
    receiver.start();
    FrameBuffer frame = make_frame(0, "OK");
    EXPECT_EQ(send_frame(server.lines, frame), SendResult::SEND_OK) << "code " << int(code);
    receiver.join();
    EXPECT_EQ(receiver.bytes(), kOkFrame) << "code " << int(code);
  }
}

TEST(SendFrame, TimesOutWhenReceiverWalksAwayAndSendsAgainAfterwards) {
  CablePair cable(kBusNs);
  ServerEnd server(cable);
  {
    WireReceiver receiver(cable);
    receiver.walk_away_after(3);
    receiver.start();
    FrameBuffer frame = make_frame(0, "OK");
    const auto start = WireClock::now();
    EXPECT_EQ(send_frame(server.lines, frame), SendResult::SEND_TIMEOUT);
    const auto took = WireClock::now() - start;
    receiver.join();
    EXPECT_EQ(receiver.bytes().size(), 4u);
    EXPECT_GE(took, milliseconds(2000));
    EXPECT_LT(took, milliseconds(8000));
    // The wait that ran out watched with short sleeps; then the 50 ms of
    // giving up.
    EXPECT_GT(server.port.us_sleeps, 0u);
    EXPECT_EQ(server.port.sleeps(), std::vector<unsigned>{50});
    EXPECT_EQ(cable.cable().data_register(VirtualCable::kEndA), 0x00);
  }
  // The next exchange is not disturbed by the one that failed.
  testing::Peer peer(cable);
  std::string got;
  RecvResult peer_result = kNoRecvResult;
  std::thread t([&] { peer_result = peer.receive_reply(got); });
  FrameBuffer frame = make_frame(0, "OK");
  EXPECT_EQ(send_frame(server.lines, frame), SendResult::SEND_OK);
  t.join();
  EXPECT_EQ(peer_result, RecvResult::RECV_OK);
  EXPECT_EQ(got, "OK");
}

struct AbortCase {
  const char* name;
  std::vector<size_t> resend_after;
  size_t abort_after;
};

class SendFrameAbort : public ::testing::TestWithParam<AbortCase> {};

TEST_P(SendFrameAbort, ReturnsAbortedSoonAfterReceiverSignalsAbort) {
  const AbortCase& c = GetParam();
  CablePair cable(kBusNs);
  ServerEnd server(cable);
  WireReceiver receiver(cable);
  for (size_t i : c.resend_after) receiver.answer(i, REPLY_RESEND);
  receiver.abort_after(c.abort_after);
  receiver.start();
  FrameBuffer frame = make_frame(0, "OK");
  EXPECT_EQ(send_frame(server.lines, frame), SendResult::SEND_ABORTED);
  const auto returned = WireClock::now();
  receiver.join();
  // The abort's second edge comes 100 ms after its first (a sender that sees
  // it in a retry burst sleeps 100 ms more); then the sender's 50 ms.
  EXPECT_LT(returned - receiver.abort_started(), milliseconds(1000));
  EXPECT_EQ(receiver.bytes().size(), c.abort_after + 1);
  EXPECT_EQ(cable.cable().data_register(VirtualCable::kEndA), 0x00);
}

std::vector<size_t> last_bytes_of_copies(int copies) {
  std::vector<size_t> out;
  for (int i = 0; i < copies; ++i) out.push_back(17 + 18 * static_cast<size_t>(i));
  return out;
}

INSTANTIATE_TEST_SUITE_P(SendFrame, SendFrameAbort,
                         ::testing::Values(AbortCase{"InTheMiddle", {}, 5},
                                           // A receiver whose 11th checksum mismatch ends its call:
                                           // REPLY_RESEND and at once the abort signal. The frame
                                           // must not count as delivered.
                                           AbortCase{"AfterEleventhResend",
                                                     last_bytes_of_copies(11), 17 + 18 * 10}),
                         [](const auto& row) { return std::string(row.param.name); });

// A receiver simulated on a scripted port, with the port's time as its clock:
// it answers every nibble at once and accepts every byte until the sender's
// data write number `give_up_after`; then it gives up as a receiver does,
// with the abort signal (0x1E for 100 ms, 0x0E for 100 ms) and cleared
// lines. A server-waiting sender sees the 0x0E only after its first burst.
class GivingUpReceiver {
 public:
  explicit GivingUpReceiver(size_t give_up_after) : give_up_after_(give_up_after) {}
  uint8_t status(const testing::ScriptedPort& port) {
    size_t data_writes = 0;
    uint8_t last = 0;
    for (auto& [address, value] : port.writes) {
      if (address != kTestPortBase) continue;
      ++data_writes;
      last = value;
    }
    uint8_t lines;
    if (data_writes < give_up_after_) {
      lines = (last & 0x10) ? 0x10 : REPLY_ACCEPT;
    } else {
      if (gave_up_at.count() < 0) gave_up_at = port.elapsed();
      const auto elapsed = port.elapsed() - gave_up_at;
      lines = elapsed < milliseconds(100) ? 0x1E : elapsed < milliseconds(200) ? 0x0E : 0x00;
    }
    return static_cast<uint8_t>(0x07 | (lines & 0x0F) << 3 | ((lines & 0x10) ? 0x00 : 0x80));
  }

  /// The port's time when it gave up; -1 before.
  std::chrono::nanoseconds gave_up_at{-1};

 private:
  size_t give_up_after_;
};

TEST(SendFrame, SeesAbortSignalThatComesAfterTheFirstBurst) {
  struct Case {
    const char* name;
    size_t give_up_after;  // data writes: two per byte
  };
  // "OK" is 18 bytes: after the 36th write the receiver judges the frame; a
  // receiver that gives up there (its 11th checksum mismatch) must not leave
  // the frame counted as delivered. After the 12th it gives up mid-frame.
  for (Case c : {Case{"AfterTheLastByte", 36}, Case{"InTheMiddle", 12}}) {
    testing::ScriptedPort port;
    GivingUpReceiver receiver(c.give_up_after);
    port.status = [&](const testing::ScriptedPort& p) { return receiver.status(p); };
    Lines lines(port, kTestPortBase);
    FrameBuffer frame = make_frame(0, "OK");
    EXPECT_EQ(send_frame(lines, frame), SendResult::SEND_ABORTED) << c.name;
    const std::vector<uint8_t> data = port.written_to(kTestPortBase);
    EXPECT_EQ(data.size(), c.give_up_after + 1) << c.name << ": no byte after the one answered";
    EXPECT_EQ(data.back(), 0x00) << c.name;
    // The abort's second edge is seen within a short sleep, then the 50 ms.
    EXPECT_EQ(port.sleeps, std::vector<unsigned>{50}) << c.name;
    EXPECT_LE(port.elapsed() - receiver.gave_up_at,
              milliseconds(100 + 50 + 1) + std::chrono::microseconds(Lines::kWatchSleepUs))
        << c.name;
  }
}

TEST(SendFrame, RefusesLengthOutsideFrameWithoutTouchingTheLines) {
  for (int32_t length : {-1, FRAME_MAX_PAYLOAD + 1, INT32_MIN, INT32_MAX}) {
    testing::ScriptedPort port;
    Lines lines(port, kTestPortBase);
    FrameBuffer frame = make_frame(0, "");
    frame.length = length;
    EXPECT_NE(send_frame(lines, frame), SendResult::SEND_OK) << length;
    EXPECT_TRUE(port.written_to(kTestPortBase).empty()) << length;
    EXPECT_EQ(port.reads, 0u) << length;
    EXPECT_EQ(frame.length, length);
  }
}

}  // namespace
}  // namespace tarnel

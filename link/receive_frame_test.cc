#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "link/receive.h"
#include "testing/cable_pair.h"
#include "testing/recording_port.h"
#include "testing/result_printing.h"
#include "testing/wire_peer.h"

namespace tarnel {
namespace {

using std::chrono::milliseconds;
using testing::CablePair;
using testing::kTestPortBase;
using testing::RecordingPort;
using testing::WireBytes;
using testing::WireClock;
using testing::WireSender;

// As a real port: the server's first burst of reads lasts 10 ms, so a peer
// thread held up by the scheduler for a moment does not cost a retry sleep.
constexpr uint32_t kBusNs = 1000;

constexpr uint8_t kSentinel = 0xA5;
constexpr int32_t kLengthSentinel = 77;

using ServerEnd = testing::RecordedServerEnd;

// On the heap, exactly the buffer's size, so that the address sanitizer
// catches a write past `data`.
std::unique_ptr<FrameBuffer> expecting(int32_t number) {
  auto frame = std::make_unique<FrameBuffer>();
  std::memset(frame.get(), kSentinel, sizeof(FrameBuffer));
  frame->magic = 0xDEADBEEF;
  frame->length = kLengthSentinel;
  frame->number = number;
  return frame;
}

// The receiver's writes for `bytes` bytes answered with REPLY_ACCEPT.
std::vector<uint8_t> accepted(size_t bytes) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < bytes; ++i) out.insert(out.end(), {0x10, REPLY_ACCEPT});
  return out;
}

std::vector<uint8_t> then(std::vector<uint8_t> a, std::initializer_list<uint8_t> b) {
  a.insert(a.end(), b);
  return a;
}

// The abort signal and the cleared lines that follow it.
constexpr std::initializer_list<uint8_t> kAbort = {0x1E, 0x0E, 0x00};

bool all_sentinel(const FrameBuffer& frame, size_t from) {
  for (size_t i = from; i < sizeof frame.data; ++i)
    if (frame.data[i] != kSentinel) return false;
  return true;
}

// Sends `copies` from end B while the server receives into `frame`.
RecvResult receive_from(CablePair& cable, ServerEnd& server, WireSender& sender,
                        FrameBuffer& frame) {
  sender.start();
  const RecvResult result = receive_frame(server.lines, frame);
  sender.join();
  EXPECT_EQ(cable.cable().high_bit_writes(VirtualCable::kEndA), 0u);
  return result;
}

const WireBytes kOk = testing::frame_bytes(0, "OK");

struct SyncCase {
  const char* name;
  WireBytes wire;
  size_t bytes_acknowledged;
};

class ReceiveFrameSync : public ::testing::TestWithParam<SyncCase> {};

TEST_P(ReceiveFrameSync, AcceptsFrameShiftedByOneByte) {
  const SyncCase& c = GetParam();
  CablePair cable(kBusNs);
  ServerEnd server(cable);
  WireSender sender(cable, c.wire);
  auto frame = expecting(0);

  EXPECT_EQ(receive_from(cable, server, sender, *frame), RecvResult::RECV_OK);
  EXPECT_EQ(frame->length, 2);
  const uint8_t expected[] = {0x4F, 0x4B, 0x9B, 0x00, 0xEB, 0x00};
  EXPECT_EQ(std::memcmp(frame->data, expected, sizeof expected), 0);
  EXPECT_TRUE(all_sentinel(*frame, sizeof expected));
  EXPECT_EQ(frame->magic, 0xDEADBEEFu) << "magic is never written";
  EXPECT_EQ(frame->number, 0);
  EXPECT_EQ(server.data_writes(), accepted(c.bytes_acknowledged));
  EXPECT_EQ(server.port.written_to(kTestPortBase + 2), std::vector<uint8_t>{0x04});
  EXPECT_EQ(sender.replies(), std::vector<uint8_t>(c.bytes_acknowledged, REPLY_ACCEPT));
}

INSTANTIATE_TEST_SUITE_P(
    ReceiveFrame, ReceiveFrameSync,
    ::testing::Values(SyncCase{"InStep", kOk, 18},
                      SyncCase{"OneStrayByte", testing::with_stray_bytes(kOk, 1), 19},
                      SyncCase{"OneStray18", testing::with_stray_bytes(kOk, 1, 0x18), 19},
                      SyncCase{"LostFirstMagicByte", testing::without_first_magic_byte(kOk), 17}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(ReceiveFrame, FailsAfterFifthByteWhenTwoStrayBytesCameFirst) {
  CablePair cable(kBusNs);
  ServerEnd server(cable);
  WireSender sender(cable, testing::with_stray_bytes(kOk, 2));
  auto frame = expecting(0);
  const auto start = WireClock::now();

  EXPECT_EQ(receive_from(cable, server, sender, *frame), RecvResult::RECV_FAILED);
  EXPECT_GE(WireClock::now() - start, milliseconds(200));
  // Five bytes acknowledged, the fifth with 0x00, then the abort signal.
  EXPECT_EQ(server.data_writes(), then(accepted(5), kAbort));
  EXPECT_EQ(frame->length, kLengthSentinel);
  EXPECT_TRUE(all_sentinel(*frame, 0));
  // The sender learns it from nibble 0xE: with the fifth byte's reply when it
  // reads the lines after the abort has begun, else with the sixth byte.
  ASSERT_GE(sender.replies().size(), 5u);
  EXPECT_LE(sender.replies().size(), 6u);
  EXPECT_EQ(sender.replies().back(), REPLY_WRONG_NUMBER);
  EXPECT_EQ(cable.cable().data_register(VirtualCable::kEndA), 0x00);
}

TEST(ReceiveFrame, TakesEmptyFrame) {
  CablePair cable(kBusNs);
  ServerEnd server(cable);
  WireSender sender(cable, testing::frame_bytes(4, ""));
  auto frame = expecting(4);
  EXPECT_EQ(receive_from(cable, server, sender, *frame), RecvResult::RECV_OK);
  EXPECT_EQ(frame->length, 0);
  const uint8_t expected[] = {0x01, 0x00, 0x00, 0x00};
  EXPECT_EQ(std::memcmp(frame->data, expected, sizeof expected), 0);
  EXPECT_TRUE(all_sentinel(*frame, 4));
}

TEST(ReceiveFrame, TakesFullBlock) {
  CablePair cable(kBusNs);
  ServerEnd server(cable);
  const std::string block(4096, '\xFF');
  WireSender sender(cable, testing::frame_bytes(1, block));
  auto frame = expecting(1);
  EXPECT_EQ(receive_from(cable, server, sender, *frame), RecvResult::RECV_OK);
  EXPECT_EQ(frame->length, 4096);
  EXPECT_EQ(std::memcmp(frame->data, block.data(), block.size()), 0);
  const uint8_t checksum[] = {0x01, 0xF0, 0x00, 0x08};
  EXPECT_EQ(std::memcmp(frame->data + 4096, checksum, 4), 0);
}

TEST(ReceiveFrame, ResendsAfterChecksumMismatchUpToTenTimes) {
  CablePair cable(kBusNs);
  ServerEnd server(cable);
  WireSender sender(cable, testing::bad_copies_then_good(kOk, 10));
  auto frame = expecting(0);

  EXPECT_EQ(receive_from(cable, server, sender, *frame), RecvResult::RECV_OK);
  EXPECT_EQ(frame->length, 2);
  EXPECT_EQ(std::memcmp(frame->data, "OK", 2), 0);
  std::vector<uint8_t> expected;
  for (int i = 0; i < 10; ++i) {
    std::vector<uint8_t> copy = accepted(17);
    copy.insert(copy.end(), {0x10, REPLY_RESEND});
    expected.insert(expected.end(), copy.begin(), copy.end());
  }
  std::vector<uint8_t> good = accepted(18);
  expected.insert(expected.end(), good.begin(), good.end());
  EXPECT_EQ(server.data_writes(), expected);
  EXPECT_EQ(sender.copies_started(), 11);
  EXPECT_EQ(sender.replies().back(), REPLY_ACCEPT);
}

TEST(ReceiveFrame, GivesUpRightAfterEleventhResend) {
  CablePair cable(kBusNs);
  ServerEnd server(cable);
  WireSender sender(cable, testing::bad_copies_then_good(kOk, 11));
  auto frame = expecting(0);

  EXPECT_EQ(receive_from(cable, server, sender, *frame), RecvResult::RECV_FAILED);
  std::vector<uint8_t> expected;
  for (int i = 0; i < 11; ++i) {
    std::vector<uint8_t> copy = accepted(17);
    copy.insert(copy.end(), {0x10, REPLY_RESEND});
    expected.insert(expected.end(), copy.begin(), copy.end());
  }
  EXPECT_EQ(server.data_writes(), then(expected, kAbort));
  EXPECT_EQ(frame->length, kLengthSentinel);
  // The sender stops on nibble 0xE: read with the 11th REPLY_RESEND when the
  // abort follows it at once, or on the first byte of its 12th copy.
  EXPECT_EQ(sender.replies().back(), REPLY_WRONG_NUMBER);
  EXPECT_LE(sender.copies_started(), 12);
}

struct NumberCase {
  const char* name;
  int32_t expected;
  WireBytes wire;
  RecvResult result;
  uint8_t reply;
  bool aborts;
};

class ReceiveFrameNumber : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ReceiveFrameNumber, JudgesFrameNumber) {
  const NumberCase& c = GetParam();
  CablePair cable(kBusNs);
  ServerEnd server(cable);
  WireSender sender(cable, c.wire);
  auto frame = expecting(c.expected);

  EXPECT_EQ(receive_from(cable, server, sender, *frame), c.result);
  std::vector<uint8_t> expected = then(accepted(c.wire.size() - 1), {0x10, c.reply});
  if (c.aborts) expected = then(expected, kAbort);
  EXPECT_EQ(server.data_writes(), expected);
  EXPECT_EQ(frame->length, kLengthSentinel);
  EXPECT_EQ(frame->number, c.expected);
  EXPECT_EQ(sender.replies().back(), c.reply);
  EXPECT_EQ(sender.sent(), c.wire);
  EXPECT_EQ(cable.cable().data_register(VirtualCable::kEndA), c.aborts ? 0x00 : c.reply);
}

INSTANTIATE_TEST_SUITE_P(
    ReceiveFrame, ReceiveFrameNumber,
    ::testing::Values(NumberCase{"OneAhead", 5, testing::frame_bytes(6, "data"),
                                 RecvResult::RECV_REFUSED, REPLY_WRONG_NUMBER, false},
                      NumberCase{"TwoBehind", 5, testing::frame_bytes(3, "data"),
                                 RecvResult::RECV_REFUSED, REPLY_WRONG_NUMBER, false},
                      NumberCase{"ThreeAhead", 5, testing::frame_bytes(8, "data"),
                                 RecvResult::RECV_FAILED, REPLY_WRONG_NUMBER, true},
                      NumberCase{"FarNegative", 5, testing::frame_bytes(INT32_MIN, "data"),
                                 RecvResult::RECV_FAILED, REPLY_WRONG_NUMBER, true},
                      // One apart in 32 bits with wrap-around, 2^32 - 1 apart in truth.
                      NumberCase{"WrapsIn32Bits", INT32_MAX,
                                 testing::frame_bytes(INT32_MIN, "data"), RecvResult::RECV_FAILED,
                                 REPLY_WRONG_NUMBER, true},
                      NumberCase{"CancelWithBadChecksum", 5,
                                 testing::with_bad_checksum(testing::cancel_frame_bytes()),
                                 RecvResult::RECV_REFUSED, REPLY_REFUSE, false},
                      NumberCase{"CancelFrame", 0, testing::cancel_frame_bytes(),
                                 RecvResult::RECV_REFUSED, REPLY_REFUSE, false},
                      NumberCase{"AnyNumberWhileExpectingCancel", -1,
                                 testing::frame_bytes(3, "data"), RecvResult::RECV_REFUSED,
                                 REPLY_REFUSE, false}),
    [](const auto& row) { return std::string(row.param.name); });

struct LengthCase {
  const char* name;
  WireBytes wire;
};

class ReceiveFrameLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(ReceiveFrameLength, RefusesLengthOutsideBufferWhenItsFieldIsComplete) {
  const LengthCase& c = GetParam();
  CablePair cable(kBusNs);
  ServerEnd server(cable);
  WireSender sender(cable, c.wire);
  auto frame = expecting(0);

  EXPECT_EQ(receive_from(cable, server, sender, *frame), RecvResult::RECV_FAILED);
  // The whole length field is acknowledged, the last byte with 0x00; then
  // the abort signal, before any payload byte is taken.
  const size_t header_bytes = c.wire[0] == 0x18 ? 8 : 7;
  EXPECT_EQ(server.data_writes(), then(accepted(header_bytes), kAbort));
  EXPECT_EQ(frame->length, kLengthSentinel);
  EXPECT_TRUE(all_sentinel(*frame, 0)) << "nothing is stored";
  EXPECT_EQ(sender.replies().back(), REPLY_WRONG_NUMBER);
}

// A length field that lies, followed by more bytes than `data` can hold: a
// receiver that stored them would write past the buffer.
WireBytes lying_frame(int32_t length) {
  return testing::raw_frame_bytes(length, 0, std::string(4200, 'x'), 0x12345678);
}

INSTANTIATE_TEST_SUITE_P(
    ReceiveFrame, ReceiveFrameLength,
    ::testing::Values(LengthCase{"JustAbove", lying_frame(4097)},
                      LengthCase{"Largest", lying_frame(INT32_MAX)},
                      LengthCase{"MinusOne", lying_frame(-1)},
                      LengthCase{"Smallest", lying_frame(INT32_MIN)},
                      LengthCase{"AboveAfterLostMagicByte",
                                 testing::without_first_magic_byte(lying_frame(5000))}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(ReceiveFrame, FailsWhenSenderStopsMidFrameAndReceivesAgainAfterwards) {
  CablePair cable(kBusNs);
  ServerEnd server(cable);
  {
    WireSender sender(cable, testing::cut_after(kOk, 7));
    auto frame = expecting(0);
    const auto start = WireClock::now();
    EXPECT_EQ(receive_from(cable, server, sender, *frame), RecvResult::RECV_FAILED);
    const auto took = WireClock::now() - start;
    EXPECT_GE(took, milliseconds(2000 + 200));  // the wait's sleeps, then the abort signal
    EXPECT_LT(took, milliseconds(8000));
    EXPECT_EQ(server.data_writes(), then(accepted(7), kAbort));
  }
  WireSender sender(cable, kOk);
  auto frame = expecting(0);
  EXPECT_EQ(receive_from(cable, server, sender, *frame), RecvResult::RECV_OK);
  EXPECT_EQ(frame->length, 2);
}

}  // namespace
}  // namespace tarnel

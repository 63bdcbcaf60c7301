#include "soak/fault_port.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "link/receive.h"
#include "link/send.h"
#include "testing/cable_pair.h"
#include "testing/result_printing.h"

namespace tarnel::soak {
namespace {

using testing::CablePair;
using testing::kTestPortBase;

constexpr uint32_t kBusNs = 1000;

FrameBuffer make_frame(int32_t number, const std::string& payload) {
  FrameBuffer frame;
  std::memset(&frame, 0, sizeof frame);
  frame.number = number;
  frame.length = static_cast<int32_t>(payload.size());
  std::memcpy(frame.data, payload.data(), payload.size());
  return frame;
}

std::string payload_of(const FrameBuffer& frame) {
  return std::string(reinterpret_cast<const char*>(frame.data), static_cast<size_t>(frame.length));
}

struct Result {
  SendResult sent = SendResult::SEND_TIMEOUT;  // until the exchange sets them
  RecvResult received = RecvResult::RECV_FAILED;
  std::string payload;
};

// The peer (end B, through `noisy`) sends one frame to the server's end, or
// the server's end sends one to the peer.
Result exchange(CablePair& cable, FaultPort& noisy, bool peer_sends, const std::string& payload) {
  Lines server = cable.server_lines();
  Lines peer(noisy, kTestPortBase, Waiting::kPatient);
  Lines& sender = peer_sends ? peer : server;
  Lines& receiver = peer_sends ? server : peer;
  Result r;
  FrameBuffer in = make_frame(1, "");
  std::thread t([&] { r.received = receive_frame(receiver, in); });
  FrameBuffer out = make_frame(1, payload);
  r.sent = send_frame(sender, out);
  t.join();
  if (r.received == RecvResult::RECV_OK) r.payload = payload_of(in);
  return r;
}

std::string test_payload(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 37 + 11);
  return s;
}

TEST(FaultPort, AtRateZeroFindsFramesBothWaysAndSpoilsNone) {
  CablePair cable(kBusNs);
  FaultPort noisy(cable.peer_port(), kTestPortBase, 7, 0.0);
  const std::string payload = test_payload(300);
  for (bool peer_sends : {true, false}) {
    Result r = exchange(cable, noisy, peer_sends, payload);
    EXPECT_EQ(r.sent, SendResult::SEND_OK) << peer_sends;
    EXPECT_EQ(r.received, RecvResult::RECV_OK) << peer_sends;
    EXPECT_EQ(r.payload, payload) << peer_sends;
  }
  EXPECT_EQ(noisy.frames(), 2u);
  EXPECT_EQ(noisy.faults(), 0u);
}

// Each kind on its own at rate 1: every frame meets that fault, in either
// direction, and no spoilt frame is ever taken as whole.
class FaultKind : public ::testing::TestWithParam<FaultPort::Kind> {};

TEST_P(FaultKind, SpoilsFramesThatAreNeverTakenAsWhole) {
  const FaultPort::Kind kind = GetParam();
  const std::string payload = test_payload(200);
  for (bool peer_sends : {true, false}) {
    CablePair cable(kBusNs);
    FaultPort noisy(cable.peer_port(), kTestPortBase, 11, 1.0, 1u << kind);
    Result r = exchange(cable, noisy, peer_sends, payload);
    EXPECT_GE(noisy.faults(), 1u) << peer_sends;
    EXPECT_EQ(noisy.faults(), noisy.faults_of(kind)) << peer_sends;
    EXPECT_LE(noisy.faults(), noisy.frames()) << peer_sends;
    if (r.received == RecvResult::RECV_OK) {
      EXPECT_EQ(r.payload, payload) << peer_sends;
    }
  }
}

std::string kind_name(const ::testing::TestParamInfo<FaultPort::Kind>& info) {
  static const char* const names[] = {"FlipWritten", "FlipRead", "ExtraEdge", "LostEdge", "Stall"};
  return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Kinds, FaultKind,
                         ::testing::Values(FaultPort::kFlipWritten, FaultPort::kFlipRead,
                                           FaultPort::kExtraEdge, FaultPort::kLostEdge),
                         kind_name);

TEST(FaultPort, BitFlipsAtRateOneLetNoFrameThrough) {
  // Every copy of the frame is spoilt by one flipped bit, which the sums
  // always catch: the receiver asks again until it gives up.
  CablePair cable(kBusNs);
  FaultPort noisy(cable.peer_port(), kTestPortBase, 3, 1.0, 1u << FaultPort::kFlipWritten);
  Result r = exchange(cable, noisy, true, test_payload(100));
  EXPECT_NE(r.received, RecvResult::RECV_OK);
  EXPECT_GE(noisy.faults(), 2u);
}

TEST(FaultPort, FlipsThatCancelInBothSumsPassTheReceiver) {
  // The one spoiling the frame's two sums cannot see: the receiver takes
  // the spoilt frame as whole.
  // Bytes that do not repeat every 256: the two flipped bits need opposite values.
  std::string payload(4096, '\0');
  std::mt19937 rng(9);
  for (char& c : payload) c = static_cast<char>(rng());
  for (bool peer_sends : {true, false}) {
    CablePair cable(kBusNs);
    FaultPort noisy(cable.peer_port(), kTestPortBase, 5, 0.0);
    noisy.set_forge_rate(1.0);
    Result r = exchange(cable, noisy, peer_sends, payload);
    EXPECT_EQ(r.sent, SendResult::SEND_OK) << peer_sends;
    ASSERT_EQ(r.received, RecvResult::RECV_OK) << peer_sends;
    EXPECT_EQ(noisy.forged(), 1u) << peer_sends;
    ASSERT_EQ(r.payload.size(), payload.size());
    size_t differ = 0;
    for (size_t i = 0; i < payload.size(); ++i) differ += r.payload[i] != payload[i];
    EXPECT_EQ(differ, 2u) << peer_sends;
  }
}

}  // namespace
}  // namespace tarnel::soak

#include "link/text.h"

#include <gtest/gtest.h>

#include <thread>

#include "testing/cable_pair.h"
#include "testing/peer.h"
#include "testing/recording_port.h"
#include "testing/wire_peer.h"

namespace tarnel {
namespace {

using testing::CablePair;
using testing::Peer;
using testing::WireBytes;
using testing::WireReceiver;
using testing::WireSender;

// As a real port, so that the server's first burst of reads outlasts a
// moment in which the scheduler holds the peer thread up.
constexpr uint32_t kBusNs = 1000;

TEST(SendText, DeliversTextToPatientPeer) {
  CablePair cable(0);
  Lines server = cable.server_lines();
  Peer peer(cable);
  std::string got;
  RecvResult peer_result = kNoRecvResult;
  std::thread t([&] { peer_result = peer.receive_reply(got); });
  EXPECT_TRUE(send_text(server, "OK"));
  t.join();
  EXPECT_EQ(peer_result, RecvResult::RECV_OK);
  EXPECT_EQ(got, "OK");
}

TEST(ReceiveCommand, TakesCommandFromPatientPeer) {
  CablePair cable(1000);
  Lines server = cable.server_lines();
  Peer peer(cable);
  SendResult peer_result = kNoSendResult;
  std::thread t([&] { peer_result = peer.send_command(std::string(255, 'x')); });
  std::string text;
  EXPECT_EQ(receive_command(server, text), CommandResult::COMMAND_OK);
  t.join();
  EXPECT_EQ(peer_result, SendResult::SEND_OK);
  EXPECT_EQ(text, std::string(255, 'x'));
}

struct SendCase {
  const char* name;
  std::string text;
  size_t frame_size;
};

class SendTextWire : public ::testing::TestWithParam<SendCase> {};

TEST_P(SendTextWire, SendsTextAsFrameNumberZero) {
  const SendCase& c = GetParam();
  CablePair cable(kBusNs);
  Lines server = cable.server_lines();
  WireReceiver receiver(cable);
  receiver.start();
  EXPECT_TRUE(send_text(server, c.text));
  receiver.join();
  EXPECT_FALSE(server.busy());
  EXPECT_EQ(receiver.bytes().size(), c.frame_size);
  EXPECT_EQ(receiver.bytes(), testing::frame_bytes(0, c.text.substr(0, TEXT_MAX)));
}

INSTANTIATE_TEST_SUITE_P(SendText, SendTextWire,
                         ::testing::Values(SendCase{"Empty", "", 16}, SendCase{"Ok", "OK", 18},
                                           SendCase{"Longest", std::string(255, 'a'), 271},
                                           SendCase{"CutTo255", std::string(300, 'b'), 271}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(SendText, ReturnsFalseWhenClientRefusesReply) {
  CablePair cable(kBusNs);
  Lines server = cable.server_lines();
  WireReceiver receiver(cable);
  receiver.answer(17, REPLY_REFUSE);
  receiver.start();
  SendResult sent = kNoSendResult;
  EXPECT_FALSE(send_text(server, "OK", &sent));
  receiver.join();
  EXPECT_FALSE(server.busy());
  EXPECT_EQ(sent, SendResult::SEND_REFUSED);
  EXPECT_EQ(receiver.bytes().size(), 18u);
}

struct CommandCase {
  const char* name;
  std::string payload;
  std::string text;
};

// 255 bytes from 0xFF down to 0x01.
std::string every_byte_value() {
  std::string s;
  for (int i = 0; i < 255; ++i) s += static_cast<char>(255 - i);
  return s;
}

class ReceiveCommandWire : public ::testing::TestWithParam<CommandCase> {};

TEST_P(ReceiveCommandWire, TurnsPayloadIntoText) {
  const CommandCase& c = GetParam();
  CablePair cable(kBusNs);
  Lines server = cable.server_lines();
  WireSender sender(cable, testing::frame_bytes(0, c.payload));
  sender.start();
  std::string text = "left from before";
  EXPECT_EQ(receive_command(server, text), CommandResult::COMMAND_OK);
  sender.join();
  EXPECT_FALSE(server.busy());
  EXPECT_EQ(text, c.text);
  EXPECT_EQ(sender.replies().back(), REPLY_ACCEPT);
}

INSTANTIATE_TEST_SUITE_P(
    ReceiveCommand, ReceiveCommandWire,
    ::testing::Values(CommandCase{"Empty", "", ""},
                      CommandCase{"KeepsZeroByte", std::string("DEL a\0b", 7),
                                  std::string("DEL a\0b", 7)},
                      CommandCase{"CutTo255", std::string(300, 'c'), std::string(255, 'c')},
                      CommandCase{"AllByteValues", every_byte_value(), every_byte_value()}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(ReceiveCommand, AnswersDataFrameWithWrongNumberAndFails) {
  CablePair cable(kBusNs);
  testing::RecordingPort port(cable.server_port());
  Lines server(port, testing::kTestPortBase, Waiting::kServer);
  const WireBytes wire = testing::frame_bytes(1, "LIST \\");
  WireSender sender(cable, wire);
  sender.start();
  std::string text = "left from before";
  EXPECT_EQ(receive_command(server, text), CommandResult::COMMAND_FAILED);
  sender.join();
  EXPECT_FALSE(server.busy());
  EXPECT_EQ(text, "left from before");
  EXPECT_EQ(sender.sent(), wire);
  EXPECT_EQ(sender.replies().back(), REPLY_WRONG_NUMBER);
  EXPECT_EQ(port.written_to(testing::kTestPortBase).back(), REPLY_WRONG_NUMBER);
}

TEST(LinkBusy, KeepsTextExchangesOffThePort) {
  CablePair cable(0);
  Lines server = cable.server_lines();
  server.set_busy(true);
  SendResult sent = kNoSendResult;
  RecvResult received = kNoRecvResult;
  EXPECT_FALSE(send_text(server, "OK", &sent));
  std::string text = "unchanged";
  EXPECT_EQ(receive_command(server, text, &received), CommandResult::COMMAND_BUSY);
  EXPECT_TRUE(server.busy());
  EXPECT_EQ(text, "unchanged");
  EXPECT_EQ(sent, kNoSendResult) << "no frame was sent";
  EXPECT_EQ(received, kNoRecvResult) << "no frame was received";
  EXPECT_EQ(cable.cable().reads(VirtualCable::kEndA), 0u);
  EXPECT_EQ(cable.cable().writes(VirtualCable::kEndA), 0u);
}

}  // namespace
}  // namespace tarnel

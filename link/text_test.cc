#include "link/text.h"

#include <gtest/gtest.h>

#include <thread>

#include "testing/cable_pair.h"
#include "testing/peer.h"

namespace tarnel {
namespace {

using testing::CablePair;
using testing::Peer;

TEST(SendText, DeliversTextToPatientPeer) {
  CablePair cable(0);
  Lines server = cable.server_lines();
  Peer peer(cable);
  std::string got;
  int peer_result = -1;
  std::thread t([&] { peer_result = peer.receive_reply(got); });
  link_busy = false;
  EXPECT_TRUE(send_text(server, "OK"));
  t.join();
  EXPECT_EQ(peer_result, RECV_OK);
  EXPECT_EQ(got, "OK");
}

TEST(ReceiveCommand, TakesCommandFromPatientPeer) {
  CablePair cable(1000);
  Lines server = cable.server_lines();
  Peer peer(cable);
  int peer_result = -1;
  std::thread t([&] { peer_result = peer.send_command(std::string(255, 'x')); });
  std::string text;
  link_busy = false;
  EXPECT_EQ(receive_command(server, text), COMMAND_OK);
  t.join();
  EXPECT_EQ(peer_result, SEND_OK);
  EXPECT_EQ(text, std::string(255, 'x'));
}

}  // namespace
}  // namespace tarnel

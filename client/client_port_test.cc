#include "client/client_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "testing/cable_pair.h"

namespace tarnel::client {
namespace {

using Clock = std::chrono::steady_clock;
using testing::CablePair;
using testing::kTestPortBase;

TEST(ClientPort, ReadsTheStartOfAReplyAsTheAcceptanceOnlyWhileSending) {
  CablePair cable(0);
  ClientPort port(cable.peer_port(), kTestPortBase, &cable.cable());
  const uint16_t status = kTestPortBase + 1;
  cable.server_port().port_out(kTestPortBase, 0x18);  // the server starts a frame
  EXPECT_EQ(port.port_in(status) & 0xF8, 0x40);
  port.set_sending(true);
  EXPECT_EQ(port.port_in(status), 0x87);
  // Every other level reads as it is.
  for (uint8_t value : {0x00, 0x10, 0x0D, 0x0E, 0x1E, 0x0F}) {
    cable.server_port().port_out(kTestPortBase, value);
    EXPECT_EQ(port.port_in(status), VirtualCable::status_for(value)) << int(value);
  }
  port.set_sending(false);
  cable.server_port().port_out(kTestPortBase, 0x18);
  EXPECT_EQ(port.port_in(status) & 0xF8, 0x40);
}

TEST(ClientPort, HoldsTheReplyCodeUntilTheServerHasReadIt) {
  CablePair cable(0);
  ClientPort port(cable.peer_port(), kTestPortBase, &cable.cable());
  port.port_out(kTestPortBase, 0x00);  // this end's acceptance
  std::atomic<bool> done{false};
  std::thread server([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    cable.server_port().port_in(kTestPortBase + 1);
    done = true;
  });
  const auto start = Clock::now();
  port.hold_reply_code();
  const auto held = Clock::now() - start;
  server.join();
  EXPECT_TRUE(done.load());
  EXPECT_GE(held, std::chrono::milliseconds(55));
  EXPECT_LT(held, std::chrono::milliseconds(240));

  // A server that has read already: about a millisecond.
  port.port_out(kTestPortBase, 0x00);
  cable.server_port().port_in(kTestPortBase + 1);
  const auto again = Clock::now();
  port.hold_reply_code();
  EXPECT_LT(Clock::now() - again, std::chrono::milliseconds(50));
}

}  // namespace
}  // namespace tarnel::client

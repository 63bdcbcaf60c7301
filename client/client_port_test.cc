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

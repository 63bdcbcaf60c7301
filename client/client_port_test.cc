#include "client/client_port.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "testing/cable_pair.h"

namespace tarnel::client {
namespace {

using testing::CablePair;
using testing::kTestPortBase;

/// The client's end of the cable with its sleeps counted instead of taken:
/// a test runs the server's side of the story from the sleeps, so that what
/// happens while the client waits does not depend on how fast the machine is.
class CountedSleeps : public PortWrapper {
 public:
  using PortWrapper::PortWrapper;

  void sleep_ms(unsigned ms) override {
    sleeps.push_back(ms);
    if (during_sleep) during_sleep(sleeps.size());
  }

  std::vector<unsigned> sleeps;
  /// Runs in each sleep, with the number of sleeps so far.
  std::function<void(size_t)> during_sleep;
};

TEST(ClientPort, HoldsTheReplyCodeUntilTheServerHasReadIt) {
  CablePair cable(0);
  CountedSleeps client_end(cable.peer_port());
  ClientPort port(client_end, kTestPortBase, &cable.cable());
  port.port_out(kTestPortBase, 0x00);  // this end's acceptance
  const uint64_t writes = cable.cable().writes(VirtualCable::kEndB);
  // The server reads its status once, while the client sleeps for the fifth time.
  uint64_t server_reads_before = 0;
  client_end.during_sleep = [&](size_t n) {
    if (n != 5) return;
    server_reads_before = cable.cable().reads(VirtualCable::kEndA);
    cable.server_port().port_in(kTestPortBase + 1);
  };
  port.hold_reply_code();
  // No return before the server's read, and none later than the next look.
  EXPECT_EQ(client_end.sleeps, std::vector<unsigned>(5, 1));
  EXPECT_EQ(cable.cable().reads(VirtualCable::kEndA), server_reads_before + 1);
  // Held: nothing written over the acceptance meanwhile.
  EXPECT_EQ(cable.cable().writes(VirtualCable::kEndB), writes);
  EXPECT_EQ(cable.cable().data_register(VirtualCable::kEndB), 0x00);
}

TEST(ClientPort, ReturnsAfterOneMillisecondWhenTheServerHasReadAlready) {
  CablePair cable(0);
  CountedSleeps client_end(cable.peer_port());
  ClientPort port(client_end, kTestPortBase, &cable.cable());
  port.port_out(kTestPortBase, 0x00);
  cable.server_port().port_in(kTestPortBase + 1);
  port.hold_reply_code();
  EXPECT_EQ(client_end.sleeps, std::vector<unsigned>{1});
}

TEST(ClientPort, OnAPrinterPortHoldsALateAcceptancePastTheServersSleep) {
  // A printer port shows nothing of the server: an acceptance written well
  // after this end's previous write may have found the server asleep.
  CablePair cable(0);
  CountedSleeps client_end(cable.peer_port());
  ClientPort port(client_end, kTestPortBase, nullptr);
  port.port_out(kTestPortBase, 0x10);
  select_sleep_ms(10);  // the server's reply frame, as long as it may take: more than 3 ms
  port.port_out(kTestPortBase, 0x00);
  port.hold_reply_code();
  EXPECT_EQ(client_end.sleeps, (std::vector<unsigned>{1, 110}));
}

}  // namespace
}  // namespace tarnel::client

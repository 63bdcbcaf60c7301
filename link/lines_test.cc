#include "link/lines.h"

#include <gtest/gtest.h>

#include <vector>

#include "testing/scripted_port.h"

namespace tarnel {
namespace {

using testing::ScriptedPort;

constexpr uint16_t kBase = 0x378;

// Also notes how many writes came before each sleep, to check their order.
class TimelinePort : public ScriptedPort {
 public:
  std::vector<size_t> writes_before_sleep;
  void sleep_ms(unsigned ms) override {
    writes_before_sleep.push_back(writes.size());
    ScriptedPort::sleep_ms(ms);
  }
};

TEST(WaitHandshake, ValuePresentAtOnceCostsOneReadAndNoSleep) {
  for (bool want : {false, true}) {
    ScriptedPort port;
    // Status bits 0-6 all set, bit 7 as wanted: only bit 7 may count.
    port.status = [want](const ScriptedPort&) -> uint8_t { return want ? 0xFF : 0x7F; };
    Lines lines(port, kBase);
    EXPECT_TRUE(lines.wait_handshake(want));
    EXPECT_EQ(port.reads, 1u);
    EXPECT_TRUE(port.sleeps.empty());
    EXPECT_TRUE(port.writes.empty());
  }
}

TEST(WaitHandshake, ValueSeenInThirdRetryBurstSleepsAfterSeeingIt) {
  ScriptedPort port;
  // First burst 10000 reads, two retry bursts of 10000, then the value turns
  // up at the 18th read of the third retry burst.
  constexpr uint64_t kSeenAt = 10000 + 2 * 10000 + 17;
  size_t sleeps_when_seen = 99;
  port.status = [&](const ScriptedPort& p) -> uint8_t {
    if (p.reads < kSeenAt) return 0x7F;
    if (sleeps_when_seen == 99) sleeps_when_seen = p.sleeps.size();
    return 0x80;
  };
  Lines lines(port, kBase);
  EXPECT_TRUE(lines.wait_handshake(true));
  EXPECT_EQ(port.reads, kSeenAt + 1);
  EXPECT_EQ(port.sleeps, (std::vector<unsigned>{100, 100, 100}));
  EXPECT_EQ(sleeps_when_seen, 2u);  // the third sleep came after the value was seen
}

TEST(WaitHandshake, ValueNeverSeenGivesUpAfter21BurstsAndTwoSecondsOfSleep) {
  ScriptedPort port;
  port.status = [](const ScriptedPort&) -> uint8_t { return 0x00; };
  Lines lines(port, kBase);
  EXPECT_FALSE(lines.wait_handshake(true));
  EXPECT_EQ(port.reads, 21u * 10000u);
  EXPECT_EQ(port.sleeps, std::vector<unsigned>(20, 100));
  EXPECT_EQ(port.slept_ms(), 2000u);
  EXPECT_TRUE(port.writes.empty());
}

TEST(WaitHandshake, PatientEndNeverSleeps) {
  ScriptedPort port;
  port.status = [](const ScriptedPort& p) -> uint8_t { return p.reads < 50000 ? 0x80 : 0x00; };
  Lines lines(port, kBase, Waiting::kPatient);
  EXPECT_TRUE(lines.wait_handshake(false));
  EXPECT_EQ(port.reads, 50001u);
  EXPECT_TRUE(port.sleeps.empty());
}

struct SignalCase {
  const char* name;
  void (Lines::*signal)();
  std::vector<uint8_t> data_values;
  std::vector<unsigned> sleeps;
};

class TimedSignal : public ::testing::TestWithParam<SignalCase> {};

TEST_P(TimedSignal, WritesItsPatternWithoutWaitingForThePeer) {
  const SignalCase& c = GetParam();
  TimelinePort port;
  Lines lines(port, kBase);
  (lines.*c.signal)();
  EXPECT_EQ(port.written_to(kBase), c.data_values);
  EXPECT_EQ(port.writes.size(), c.data_values.size()) << "only the data register is written";
  EXPECT_EQ(port.sleeps, c.sleeps);
  EXPECT_EQ(port.slept_ms(), 200u);
  // Each write is followed by its sleep.
  std::vector<size_t> order;
  for (size_t i = 1; i <= c.sleeps.size(); ++i) order.push_back(i);
  EXPECT_EQ(port.writes_before_sleep, order);
  EXPECT_EQ(port.reads, 0u) << "the signal does not wait for the peer";
  for (uint8_t v : c.data_values) EXPECT_EQ(v & 0xE0, 0) << "bit 5-7 set in " << int(v);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, TimedSignal,
    ::testing::Values(SignalCase{"Abort", &Lines::signal_abort, {0x1E, 0x0E}, {100, 100}},
                      SignalCase{"BadCommand",
                                 &Lines::signal_bad_command,
                                 {0x0E, 0x1E, 0x0E, 0x1E},
                                 {50, 50, 50, 50}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(Lines, RestValuesGoToTheirRegisters) {
  ScriptedPort port;
  Lines lines(port, kBase);
  lines.init_control_lines();
  lines.clear_data_lines();
  EXPECT_EQ(port.writes,
            (std::vector<std::pair<uint16_t, uint8_t>>{{kBase + 2, 0x04}, {kBase, 0x00}}));
}

}  // namespace
}  // namespace tarnel

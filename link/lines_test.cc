#include "link/lines.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
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

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

struct LateCase {
  const char* name;
  uint64_t read_ns;       // the port's time of one read
  milliseconds shows_at;  // when the wanted value turns up, in the port's time
  bool sleeps_before;     // whether the wait may have slept before it turned up
};

class WaitHandshakeLate : public ::testing::TestWithParam<LateCase> {};

TEST_P(WaitHandshakeLate, ReturnsWithinASleepOfTheValueAndNeverSleepsAfterIt) {
  const LateCase& c = GetParam();
  ScriptedPort port;
  port.read_ns = c.read_ns;
  nanoseconds seen_at{-1};
  size_t sleeps_when_seen = 0;
  port.status = [&](const ScriptedPort& p) -> uint8_t {
    if (p.elapsed() < c.shows_at) return 0x7F;
    if (seen_at.count() < 0) {
      seen_at = p.elapsed();
      sleeps_when_seen = p.us_sleeps.size();
    }
    return 0x80;
  };
  Lines lines(port, kBase);
  EXPECT_TRUE(lines.wait_handshake(true));
  ASSERT_GE(seen_at.count(), 0);
  EXPECT_EQ(port.us_sleeps.size(), sleeps_when_seen) << "a sleep after the value was seen";
  EXPECT_EQ(port.elapsed(), seen_at + nanoseconds(c.read_ns)) << "more after the read that saw it";
  EXPECT_LE(seen_at - c.shows_at, microseconds(Lines::kWatchSleepUs) + nanoseconds(c.read_ns));
  EXPECT_TRUE(port.sleeps.empty()) << "no sleep of a millisecond or more";
  EXPECT_EQ(port.us_sleeps.empty(), !c.sleeps_before);
  for (unsigned us : port.us_sleeps) EXPECT_EQ(us, Lines::kWatchSleepUs);
  EXPECT_TRUE(port.writes.empty());
}

INSTANTIATE_TEST_SUITE_P(WaitHandshake, WaitHandshakeLate,
                         ::testing::Values(
                             // Within the first burst on a real port's pace, and on a port ten
                             // times quicker: no sleep at all.
                             LateCase{"WithinFirstBurst", 1000, milliseconds(9), false},
                             LateCase{"WithinFirstBurstOfAQuickPort", 10, milliseconds(9), false},
                             LateCase{"AfterFirstBurst", 1000, milliseconds(11), true},
                             LateCase{"AfterFirstBurstOfAQuickPort", 10, milliseconds(11), true},
                             LateCase{"WhereTheThirdRetryBurstWas", 1000,
                                      milliseconds(10 + 2 * 110 + 3), true},
                             LateCase{"JustBeforeGivingUp", 1000, milliseconds(2200), true}),
                         [](const auto& row) { return std::string(row.param.name); });

struct GiveUpCase {
  const char* name;
  uint64_t read_ns;
  // 21 bursts of 10000 reads (counted as 10 ms at least, 30 ms at most) and 20 x 100 ms
  milliseconds gives_up_at;
};

class WaitHandshakeNever : public ::testing::TestWithParam<GiveUpCase> {};

TEST_P(WaitHandshakeNever, GivesUpWhenTwentyRetriesOf100MsWouldHaveEnded) {
  const GiveUpCase& c = GetParam();
  ScriptedPort port;
  port.read_ns = c.read_ns;
  port.status = [](const ScriptedPort&) -> uint8_t { return 0x00; };
  Lines lines(port, kBase);
  EXPECT_FALSE(lines.wait_handshake(true));
  EXPECT_GE(port.elapsed(), c.gives_up_at);
  EXPECT_LE(port.elapsed(), c.gives_up_at + microseconds(Lines::kWatchSleepUs) + milliseconds(1));
  EXPECT_TRUE(port.sleeps.empty()) << "no sleep of a millisecond or more";
  // After the first burst, one read a sleep: the wait costs little processor time.
  const uint64_t first_burst = std::max<uint64_t>(Lines::kBurstReads, 10'000'000 / c.read_ns + 64);
  EXPECT_LE(port.reads, first_burst + port.us_sleeps.size());
  EXPECT_TRUE(port.writes.empty());
}

INSTANTIATE_TEST_SUITE_P(WaitHandshake, WaitHandshakeNever,
                         ::testing::Values(GiveUpCase{"RealPort", 1000, milliseconds(2210)},
                                           GiveUpCase{"SlowPort", 3000, milliseconds(2630)},
                                           GiveUpCase{"QuickPort", 10, milliseconds(2210)},
                                           // 100 ms for the first burst, as when the
                                           // scheduler holds it up: the bursts count as
                                           // 30 ms at most.
                                           GiveUpCase{"FirstBurstHeldUp", 10000,
                                                      milliseconds(21 * 30 + 2000)}),
                         [](const auto& row) { return std::string(row.param.name); });

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

// The GPIO backend over a fake chip: the line requests, one call per
// register access, the inverted BUSY line, every refusal with its line and
// nothing left requested, the release on every way out, the pin map's text.
#include "link/gpio_port.h"

#include <gtest/gtest.h>
#include <linux/gpio.h>

#include <cerrno>
#include <string>
#include <vector>

#include "link/lines.h"
#include "testing/fake_gpio.h"

namespace tarnel {
namespace {

using testing::FakeGpioChip;
using Calls = std::vector<std::string>;

constexpr uint16_t kBase = 0x378;
const Calls kClaim = {"open /dev/gpiochip0", "CHIPINFO", "request outputs 17,27,22,23,24 tarnel",
                      "request inputs 5,6,13,19,26 tarnel", "close chip"};

TEST(GpioPort, RequestsFiveOutputsThenFiveInputsInOneRequestEach) {
  FakeGpioChip chip;
  GpioPort port("/dev/gpiochip0", kRaspberryPiLines, chip);
  std::string why;
  ASSERT_TRUE(port.claim(1, kBase, &why)) << why;
  EXPECT_TRUE(port.claimed());
  EXPECT_TRUE(why.empty());
  EXPECT_EQ(chip.calls(), kClaim);
  EXPECT_EQ(chip.open_descriptors(), 2u) << "the two requests, the chip closed";
  for (uint32_t line : kRaspberryPiLines.outputs) EXPECT_FALSE(chip.output_level(line)) << line;
  EXPECT_EQ(port.own_file(), "/dev/gpiochip0");
}

TEST(GpioPort, OtherLinesAreRequestedAsGiven) {
  FakeGpioChip chip;
  GpioLines lines;
  ASSERT_TRUE(parse_gpio_lines("0,1,2,3,4:10,9,8,7,6", &lines, nullptr));
  GpioPort port("/dev/gpiochip2", lines, chip);
  ASSERT_TRUE(port.claim(2, 0x3BC, nullptr));
  EXPECT_EQ(chip.calls(),
            (Calls{"open /dev/gpiochip2", "CHIPINFO", "request outputs 0,1,2,3,4 tarnel",
                   "request inputs 10,9,8,7,6 tarnel", "close chip"}));
  // D2 is line 2; BUSY is line 6.
  port.port_out(0x3BC, 0x04);
  EXPECT_TRUE(chip.output_level(2));
  EXPECT_FALSE(chip.output_level(0));
  chip.inputs = [](uint32_t line) { return line == 6; };
  EXPECT_EQ(port.port_in(0x3BD), 0x07);
}

TEST(GpioPort, EachRegisterAccessIsOneCallAtMost) {
  FakeGpioChip chip;
  GpioPort port("/dev/gpiochip0", kRaspberryPiLines, chip);
  ASSERT_TRUE(port.claim(1, kBase, nullptr));
  const size_t claim_calls = chip.calls().size();

  port.port_out(kBase, 0x1E);  // handshake high, nibble 0xE
  EXPECT_EQ(chip.value_writes(), 1u);
  EXPECT_EQ(chip.last_write(), (std::pair<uint64_t, uint64_t>{0x1E, 0x1F}));
  const bool levels[] = {false, true, true, true, true};  // D0-D4
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(chip.output_level(kRaspberryPiLines.outputs[i]), levels[i]) << "D" << i;
  }
  port.port_out(kBase, 0xE1);  // bits 5-7 have no lines
  EXPECT_EQ(chip.value_writes(), 2u);
  EXPECT_EQ(chip.last_write(), (std::pair<uint64_t, uint64_t>{0x01, 0x1F}));
  port.port_out(kBase + 2, 0x04);  // the control register: no lines
  port.port_out(kBase + 1, 0x55);
  EXPECT_EQ(chip.value_writes(), 2u);

  EXPECT_EQ(port.port_in(kBase + 1), 0x87);
  EXPECT_EQ(chip.value_reads(), 1u);
  EXPECT_EQ(port.port_in(kBase), 0xFF);
  EXPECT_EQ(port.port_in(kBase + 2), 0xFF);
  EXPECT_EQ(chip.value_reads(), 1u);
  EXPECT_EQ(chip.calls().size(), claim_calls) << "no other call";
  EXPECT_EQ(port.failed_calls(), 0u);
}

// The status register as a printer port's hardware shows the five inputs:
// ERROR, SELECT, PAPER END and ACK as they are (bits 3-6), BUSY inverted
// (bit 7), bits 0-2 set.
TEST(GpioPort, StatusShowsTheInputsWithBusyInverted) {
  struct Case {
    std::vector<size_t> high;  // inputs high: 0 ERROR ... 4 BUSY
    uint8_t status;
  };
  const Case cases[] = {
      {{}, 0x87},
      {{4}, 0x07},
      {{0}, 0x8F},
      {{1}, 0x97},
      {{2}, 0xA7},
      {{3}, 0xC7},
      {{1, 2, 3}, 0xF7},     // nibble 0xE, handshake low
      {{1, 2, 3, 4}, 0x77},  // nibble 0xE, handshake high
      {{0, 1, 2, 3, 4}, 0x7F},
      {{0, 1, 2, 3}, 0xFF},
  };
  FakeGpioChip chip;
  GpioPort port("/dev/gpiochip0", kRaspberryPiLines, chip);
  ASSERT_TRUE(port.claim(1, kBase, nullptr));
  for (const Case& c : cases) {
    chip.inputs = [&](uint32_t line) {
      for (size_t i : c.high) {
        if (kRaspberryPiLines.inputs[i] == line) return true;
      }
      return false;
    };
    EXPECT_EQ(port.port_in(kBase + 1), c.status) << ::testing::PrintToString(c.high);
  }
  EXPECT_EQ(chip.value_reads(), std::size(cases));
}

TEST(GpioPort, TwoChipsJoinedCrosswiseCarryTheLinesOfTheLink) {
  FakeGpioChip a_chip, b_chip;
  testing::join_crosswise(a_chip, b_chip, kRaspberryPiLines.outputs, kRaspberryPiLines.inputs);
  GpioPort a("/dev/gpiochip0", kRaspberryPiLines, a_chip);
  GpioPort b("/dev/gpiochip0", kRaspberryPiLines, b_chip);
  ASSERT_TRUE(a.claim(1, kBase, nullptr));
  ASSERT_TRUE(b.claim(1, kBase, nullptr));
  Lines a_lines(a, kBase);
  Lines b_lines(b, kBase);
  EXPECT_EQ(b_lines.read_status(), 0x87) << "the other side at rest";
  for (uint8_t value = 0; value < 0x20; ++value) {
    a_lines.write_data(value);
    const uint8_t status = b_lines.read_status();
    EXPECT_EQ((status >> 3) & 0x0F, value & 0x0F) << int{value};
    EXPECT_EQ((status & 0x80) == 0, (value & 0x10) != 0) << int{value};
  }
  a_lines.write_data(0x10);
  EXPECT_TRUE(b_lines.wait_handshake(false));
  a_lines.clear_data_lines();
  EXPECT_TRUE(b_lines.wait_handshake(true));
}

TEST(GpioPort, ReleasesBothRequestsOnceWhenItGoesAway) {
  FakeGpioChip chip;
  {
    GpioPort port("/dev/gpiochip0", kRaspberryPiLines, chip);
    ASSERT_TRUE(port.claim(1, kBase, nullptr));
  }
  Calls expected = kClaim;
  expected.insert(expected.end(), {"close outputs", "close inputs"});
  EXPECT_EQ(chip.calls(), expected);
  EXPECT_EQ(chip.open_descriptors(), 0u);
}

TEST(GpioPort, SignalPathReleasesTheClaimedLines) {
  FakeGpioChip chip;
  GpioPort port("/dev/gpiochip0", kRaspberryPiLines, chip);
  ASSERT_TRUE(port.claim(1, kBase, nullptr));
  release_gpio_on_signal();
  Calls expected = kClaim;
  expected.insert(expected.end(), {"close outputs", "close inputs"});
  EXPECT_EQ(chip.calls(), expected);
  EXPECT_FALSE(port.claimed());
  // Released already: neither a register access nor the end makes a call.
  port.port_out(kBase, 0x1E);
  EXPECT_EQ(port.port_in(kBase + 1), 0xFF);
  port.release();
  release_gpio_on_signal();
  EXPECT_EQ(chip.calls(), expected);
  EXPECT_EQ(chip.value_reads() + chip.value_writes(), 0u);
}

TEST(GpioPort, RegisterCallsTheKernelRefusesAreCounted) {
  FakeGpioChip chip;
  GpioPort port("/dev/gpiochip0", kRaspberryPiLines, chip);
  ASSERT_TRUE(port.claim(1, kBase, nullptr));
  chip.refuse[GPIO_V2_LINE_GET_VALUES_IOCTL] = ENODEV;
  chip.refuse[GPIO_V2_LINE_SET_VALUES_IOCTL] = ENODEV;
  EXPECT_EQ(port.port_in(kBase + 1), 0xFF) << "as inputs with nothing attached";
  port.port_out(kBase, 0x10);
  EXPECT_EQ(port.failed_calls(), 2u);
}

struct Refusal {
  const char* name;
  std::function<void(FakeGpioChip&)> set_up;
  const char* lines;  // --gpio-lines; nullptr: the default
  const char* line;
  Calls calls;
};

class GpioRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(GpioRefusal, EndsTheClaimWithOneLineAndNothingLeftRequested) {
  const Refusal& r = GetParam();
  FakeGpioChip chip;
  r.set_up(chip);
  GpioLines lines = kRaspberryPiLines;
  if (r.lines) {
    ASSERT_TRUE(parse_gpio_lines(r.lines, &lines, nullptr));
  }
  std::string why;
  {
    GpioPort port("/dev/gpiochip0", lines, chip);
    EXPECT_FALSE(port.claim(1, kBase, &why));
    EXPECT_FALSE(port.claimed());
    // An unclaimed port touches nothing.
    port.port_out(kBase, 0x1E);
    EXPECT_EQ(port.port_in(kBase + 1), 0xFF);
  }
  EXPECT_EQ(why, r.line);
  EXPECT_EQ(why.find('\n'), std::string::npos);
  EXPECT_EQ(chip.calls(), r.calls);
  EXPECT_EQ(chip.open_descriptors(), 0u);
  EXPECT_EQ(chip.value_reads() + chip.value_writes(), 0u);
}

const Calls kUpToInfo = {"open /dev/gpiochip0", "CHIPINFO"};
const Calls kOutputsRefused = {"open /dev/gpiochip0", "CHIPINFO",
                               "request outputs 17,27,22,23,24 tarnel", "close chip"};
const Calls kInputsRefused = {"open /dev/gpiochip0",
                              "CHIPINFO",
                              "request outputs 17,27,22,23,24 tarnel",
                              "request inputs 5,6,13,19,26 tarnel",
                              "close outputs",
                              "close chip"};

INSTANTIATE_TEST_SUITE_P(
    Table, GpioRefusal,
    ::testing::Values(
        Refusal{"NoSuchChip",
                [](FakeGpioChip& c) { c.open_error = ENOENT; },
                nullptr,
                "Cannot use the GPIO chip /dev/gpiochip0: No such file or directory",
                {"open /dev/gpiochip0"}},
        Refusal{"NoAccess",
                [](FakeGpioChip& c) { c.open_error = EACCES; },
                nullptr,
                "Cannot use the GPIO chip /dev/gpiochip0: Permission denied (the user needs "
                "access to the chip, usually through the gpio group)",
                {"open /dev/gpiochip0"}},
        Refusal{"NotAChip",
                [](FakeGpioChip& c) { c.refuse[GPIO_GET_CHIPINFO_IOCTL] = ENOTTY; },
                nullptr,
                "Cannot use the GPIO chip /dev/gpiochip0: not a GPIO chip",
                {"open /dev/gpiochip0", "CHIPINFO", "close chip"}},
        Refusal{"OutputBeyondTheChip",
                [](FakeGpioChip& c) { c.lines = 24; },
                nullptr,
                "Cannot use the GPIO chip /dev/gpiochip0: line 27 is beyond the chip's 24 "
                "lines (0 to 23)",
                {"open /dev/gpiochip0", "CHIPINFO", "close chip"}},
        Refusal{"InputBeyondTheChip",
                [](FakeGpioChip& c) { c.lines = 8; },
                "0,1,2,3,4:5,6,7,8,9",
                "Cannot use the GPIO chip /dev/gpiochip0: line 8 is beyond the chip's 8 lines "
                "(0 to 7)",
                {"open /dev/gpiochip0", "CHIPINFO", "close chip"}},
        Refusal{"OutputBusy", [](FakeGpioChip& c) { c.busy = {22}; }, nullptr,
                "Cannot use the GPIO chip /dev/gpiochip0: the output lines 17,27,22,23,24 are "
                "busy: another driver or program holds one of them",
                kOutputsRefused},
        Refusal{"InputBusy", [](FakeGpioChip& c) { c.busy = {26}; }, nullptr,
                "Cannot use the GPIO chip /dev/gpiochip0: the input lines 5,6,13,19,26 are "
                "busy: another driver or program holds one of them",
                kInputsRefused},
        Refusal{"RequestRefused",
                [](FakeGpioChip& c) { c.refuse[GPIO_V2_GET_LINE_IOCTL] = EINVAL; }, nullptr,
                "Cannot use the GPIO chip /dev/gpiochip0: the chip refuses the output lines "
                "17,27,22,23,24",
                kOutputsRefused},
        Refusal{"RequestFailsOtherwise",
                [](FakeGpioChip& c) { c.refuse[GPIO_V2_GET_LINE_IOCTL] = EIO; }, nullptr,
                "Cannot use the GPIO chip /dev/gpiochip0: cannot request the output lines "
                "17,27,22,23,24: Input/output error",
                kOutputsRefused}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(GpioLines, ReadsFiveOutputsAndFiveInputs) {
  GpioLines lines;
  std::string error;
  ASSERT_TRUE(parse_gpio_lines("17,27,22,23,24:5,6,13,19,26", &lines, &error)) << error;
  EXPECT_EQ(lines.outputs, kRaspberryPiLines.outputs);
  EXPECT_EQ(lines.inputs, kRaspberryPiLines.inputs);
  EXPECT_EQ(gpio_lines_text(kRaspberryPiLines), "17,27,22,23,24:5,6,13,19,26");
  ASSERT_TRUE(parse_gpio_lines("100,0,1,2,3:4,5,6,7,99999", &lines, &error)) << error;
  EXPECT_EQ(lines.outputs[0], 100u);
  EXPECT_EQ(lines.inputs[4], 99999u);
}

TEST(GpioLines, RefusesMissingBadAndRepeatedLines) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"", "--gpio-lines needs OUT0,...,OUT4:IN3,...,IN7, not \"\""},
      {"1,2,3,4,5", "--gpio-lines needs OUT0,...,OUT4:IN3,...,IN7, not \"1,2,3,4,5\""},
      {"1,2,3,4,5:6,7,8,9,10:11",
       "--gpio-lines needs OUT0,...,OUT4:IN3,...,IN7, not "
       "\"1,2,3,4,5:6,7,8,9,10:11\""},
      {"1,2,3,4:6,7,8,9,10", "--gpio-lines needs five output lines, not \"1,2,3,4\""},
      {"1,2,3,4,5:6,7,8,9,10,11", "--gpio-lines needs five input lines, not \"6,7,8,9,10,11\""},
      {"1,2,3,4,5:", "--gpio-lines needs five input lines, not \"\""},
      {"1,2,,4,5:6,7,8,9,10", "--gpio-lines: \"\" is no line number"},
      {"1,2,x,4,5:6,7,8,9,10", "--gpio-lines: \"x\" is no line number"},
      {"1,2,-3,4,5:6,7,8,9,10", "--gpio-lines: \"-3\" is no line number"},
      {"1,2,3,4,5:6,7,8,9,123456", "--gpio-lines: \"123456\" is no line number"},
      {"1,2,3,4,1:6,7,8,9,10", "--gpio-lines names line 1 twice"},
      {"1,2,3,4,5:6,7,8,9,9", "--gpio-lines names line 9 twice"},
      {"1,2,3,4,5:6,7,3,9,10", "--gpio-lines names line 3 twice"},
  };
  for (const Case& c : cases) {
    GpioLines lines = kRaspberryPiLines;
    std::string error;
    EXPECT_FALSE(parse_gpio_lines(c.text, &lines, &error)) << c.text;
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(lines.outputs, kRaspberryPiLines.outputs) << "unchanged on a refusal";
  }
}

TEST(GpioLines, ChipNamesBecomeDevicePaths) {
  EXPECT_EQ(gpio_chip_path("0"), "/dev/gpiochip0");
  EXPECT_EQ(gpio_chip_path("gpiochip4"), "/dev/gpiochip4");
  EXPECT_EQ(gpio_chip_path("/dev/gpiochip1"), "/dev/gpiochip1");
  EXPECT_EQ(gpio_chip_path("./chip"), "./chip");
}

}  // namespace
}  // namespace tarnel

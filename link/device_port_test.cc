// The parallel-port device backend over a fake device: the claim, the
// registers, the release on every way out, each failure's line; the real
// calls on files that are not the device; the card's base address.
#include "link/device_port.h"

#include <gtest/gtest.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "link/lines.h"
#include "testing/fake_device.h"
#include "testing/temp_dir.h"

namespace tarnel {
namespace {

using testing::FakeDevice;
using testing::TempDir;
using testing::write_file;
using Calls = std::vector<std::string>;

const Calls kClaim = {"open /dev/parport0", "PPEXCL", "PPCLAIM", "PPDATADIR 0"};
constexpr uint16_t kBase = 0xD010;  // a PCI Express card

TEST(DevicePort, ClaimsExclusivelyThenDrivesTheDataLines) {
  FakeDevice device;
  DevicePort port("/dev/parport0", device);
  std::string why;
  ASSERT_TRUE(port.claim(1, kBase, &why)) << why;
  EXPECT_TRUE(port.claimed());
  EXPECT_EQ(device.calls(), kClaim);
  EXPECT_TRUE(why.empty());
}

TEST(DevicePort, RegistersAreTheDeviceCalls) {
  FakeDevice device;
  uint8_t status = 0x87;
  device.status = [&] { return status; };
  DevicePort port("/dev/parport0", device);
  ASSERT_TRUE(port.claim(1, kBase, nullptr));
  Lines lines(port, kBase);
  lines.init_control_lines();
  lines.write_data(0x1E);
  lines.clear_data_lines();
  EXPECT_EQ(lines.read_status(), 0x87);
  status = 0x7F;  // the peer's handshake line high, nibble 0xF
  EXPECT_EQ(lines.read_status(), 0x7F);
  EXPECT_TRUE(lines.wait_handshake(false));
  EXPECT_EQ(device.status_reads(), 3u);
  // Addresses that are not a register the link uses reach no call.
  EXPECT_EQ(port.port_in(kBase), 0xFF);
  EXPECT_EQ(port.port_in(kBase + 2), 0xFF);
  port.port_out(kBase + 1, 0x55);
  port.port_out(0x378, 0x55);
  EXPECT_EQ(device.status_reads(), 3u);
  Calls expected = kClaim;
  expected.insert(expected.end(), {"PPWCONTROL 0x04", "PPWDATA 0x1E", "PPWDATA 0x00"});
  EXPECT_EQ(device.calls(), expected);
  EXPECT_EQ(port.failed_calls(), 0u);
}

TEST(DevicePort, ReleasesAndClosesOnceWhenItGoesAway) {
  FakeDevice device;
  {
    DevicePort port("/dev/parport0", device);
    ASSERT_TRUE(port.claim(1, kBase, nullptr));
    port.port_out(kBase, 0x00);
  }
  Calls expected = kClaim;
  expected.insert(expected.end(), {"PPWDATA 0x00", "PPRELEASE", "close"});
  EXPECT_EQ(device.calls(), expected);
  EXPECT_FALSE(device.is_open());
}

TEST(DevicePort, SignalPathReleasesTheClaimedPort) {
  FakeDevice device;
  DevicePort port("/dev/parport0", device);
  ASSERT_TRUE(port.claim(1, kBase, nullptr));
  release_device_on_signal();
  Calls expected = kClaim;
  expected.insert(expected.end(), {"PPRELEASE", "close"});
  EXPECT_EQ(device.calls(), expected);
  EXPECT_FALSE(port.claimed());
  // Released already: neither a register access nor the end makes a call.
  port.port_out(kBase, 0x1E);
  EXPECT_EQ(port.port_in(kBase + 1), 0xFF);
  port.release();
  release_device_on_signal();
  EXPECT_EQ(device.calls(), expected);
  EXPECT_EQ(device.status_reads(), 0u);
}

TEST(DevicePort, SignalPathLeavesAPortReleasedBeforeAlone) {
  FakeDevice first_device, second_device;
  DevicePort first("/dev/parport0", first_device);
  ASSERT_TRUE(first.claim(1, kBase, nullptr));
  first.release();
  {
    DevicePort second("/dev/parport0", second_device);
    ASSERT_TRUE(second.claim(1, kBase, nullptr));
  }
  const size_t first_calls = first_device.calls().size();
  const size_t second_calls = second_device.calls().size();
  release_device_on_signal();
  EXPECT_EQ(first_device.calls().size(), first_calls);
  EXPECT_EQ(second_device.calls().size(), second_calls);
}

struct Failure {
  const char* name;
  int open_error;
  unsigned long refused;  // 0: none
  int error;
  const char* line;
  Calls calls;
};

class DeviceFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(DeviceFailure, EndsTheClaimWithOneLineAndNothingLeftOpen) {
  const Failure& f = GetParam();
  FakeDevice device;
  device.open_error = f.open_error;
  if (f.refused != 0) device.refuse[f.refused] = f.error;
  std::string why;
  {
    DevicePort port("/dev/parport9", device);
    EXPECT_FALSE(port.claim(1, kBase, &why));
    EXPECT_FALSE(port.claimed());
    // An unclaimed port touches nothing.
    port.port_out(kBase, 0x1E);
    EXPECT_EQ(port.port_in(kBase + 1), 0xFF);
  }
  EXPECT_EQ(why, f.line);
  EXPECT_EQ(why.find('\n'), std::string::npos);
  EXPECT_EQ(device.calls(), f.calls);
  EXPECT_FALSE(device.is_open());
  EXPECT_EQ(device.status_reads(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceFailure,
    ::testing::Values(
        Failure{"NoSuchDevice",
                ENOENT,
                0,
                0,
                "Cannot use the parallel-port device /dev/parport9: No such file or directory",
                {"open /dev/parport9"}},
        Failure{"PermissionDenied",
                EACCES,
                0,
                0,
                "Cannot use the parallel-port device /dev/parport9: Permission denied (the user "
                "needs access to the device, usually through the lp group)",
                {"open /dev/parport9"}},
        Failure{"NotTheDevice",
                0,
                PPEXCL,
                ENOTTY,
                "Cannot use the parallel-port device /dev/parport9: not a parallel-port device",
                {"open /dev/parport9", "PPEXCL", "close"}},
        Failure{"HeldByLp",
                0,
                PPCLAIM,
                ENXIO,
                "Cannot use the parallel-port device /dev/parport9: the kernel does not grant the "
                "port: another driver such as lp, or another program, holds it, or no port is "
                "behind the device",
                {"open /dev/parport9", "PPEXCL", "PPCLAIM", "close"}},
        Failure{"Busy",
                0,
                PPCLAIM,
                EBUSY,
                "Cannot use the parallel-port device /dev/parport9: the port is busy: another "
                "driver such as lp, or another program, holds it",
                {"open /dev/parport9", "PPEXCL", "PPCLAIM", "close"}},
        Failure{"DataLinesRefused",
                0,
                PPDATADIR,
                EIO,
                "Cannot use the parallel-port device /dev/parport9: cannot drive the data lines: "
                "Input/output error",
                {"open /dev/parport9", "PPEXCL", "PPCLAIM", "PPDATADIR 0", "PPRELEASE", "close"}}),
    [](const ::testing::TestParamInfo<Failure>& row) { return std::string(row.param.name); });

TEST(DevicePort, RefusedRegisterCallsAreCounted) {
  FakeDevice device;
  DevicePort port("/dev/parport0", device);
  ASSERT_TRUE(port.claim(1, kBase, nullptr));
  device.refuse[PPRSTATUS] = EIO;
  device.refuse[PPWDATA] = EIO;
  EXPECT_EQ(port.port_in(kBase + 1), 0xFF);
  port.port_out(kBase, 0x00);
  EXPECT_EQ(port.failed_calls(), 2u);
}

// The system's calls on things that are not the parallel-port device.
TEST(DevicePort, SystemCallsOnOtherFilesFailWithTheirReason) {
  TempDir dir;
  write_file(dir.file("plain"), "x");
  ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0755), 0);
  struct Case {
    std::string path;
    std::string what;
  };
  const Case cases[] = {
      {"/dev/null", "not a parallel-port device"},
      {dir.file("plain"), "not a parallel-port device"},
      {dir.file("absent"), "No such file or directory"},
      {dir.file("folder"), "Is a directory"},
  };
  for (const Case& c : cases) {
    DevicePort port(c.path);
    std::string why;
    EXPECT_FALSE(port.claim(1, 0x378, &why)) << c.path;
    EXPECT_EQ(why, "Cannot use the parallel-port device " + c.path + ": " + c.what);
  }
}

class BaseAddress : public ::testing::Test {
 protected:
  void put(const std::string& relative, const std::string& text) {
    const std::string path = dir_.file(relative);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    write_file(path, text);
  }
  uint16_t base(const std::string& device) { return device_base_address(device, dir_.path()); }
  TempDir dir_;
};

TEST_F(BaseAddress, FromSysfsInHexOrDecimal) {
  put("sys/class/parport/parport2/base_addr", "0xd010\n");
  put("sys/class/parport/parport3/base_addr", "888\n");
  EXPECT_EQ(base("/dev/parport2"), 0xD010);
  EXPECT_EQ(base("/dev/parport3"), 888);
}

TEST_F(BaseAddress, FromProcWhenSysfsHasNone) {
  put("proc/sys/dev/parport/parport0/base-addr", "53264\t53268\n");
  EXPECT_EQ(base("/dev/parport0"), 53264);
  put("sys/class/parport/parport0/base_addr", "not a number\n");
  EXPECT_EQ(base("/dev/parport0"), 53264);
  put("sys/class/parport/parport0/base_addr", "0xe000\n");
  EXPECT_EQ(base("/dev/parport0"), 0xE000) << "sysfs comes first";
}

TEST_F(BaseAddress, UnknownOrUnusableGivesZero) {
  EXPECT_EQ(base("/dev/parport0"), 0) << "no records at all";
  put("proc/sys/dev/parport/parport1/base-addr", "0\t0\n");
  EXPECT_EQ(base("/dev/parport1"), 0);
  put("proc/sys/dev/parport/parport4/base-addr", "65534\n");
  EXPECT_EQ(base("/dev/parport4"), 0) << "its registers would pass 0xFFFF";
  put("proc/sys/dev/parport/parport5/base-addr", "0x1g\n");
  EXPECT_EQ(base("/dev/parport5"), 0);
  put("proc/sys/dev/parport/parport0/base-addr", "888\n");
  EXPECT_EQ(base("/dev/parport"), 0) << "a name without a number";
  EXPECT_EQ(base("/dev/lp0x"), 0);
}

TEST_F(BaseAddress, PortFallsBackToTheUsualAddress) {
  FakeDevice device;
  DevicePort unknown("/dev/parport0", device, dir_.path());
  EXPECT_EQ(unknown.base_address(2, 0x3BC), 0x3BC);
  put("sys/class/parport/parport0/base_addr", "0xd010\n");
  EXPECT_EQ(unknown.base_address(2, 0x3BC), 0xD010);
}

}  // namespace
}  // namespace tarnel

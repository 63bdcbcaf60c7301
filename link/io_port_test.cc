// The I/O ports' claim: a refusal keeps the kernel's reason.
#include "link/io_port.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "link/port_allocation.h"
#include "testing/temp_dir.h"

namespace tarnel {
namespace {

TEST(IoPort, RefusalLineNamesThePortAndTheKernelsReason) {
  struct Case {
    int error;
    int number;
    uint16_t base;
    std::string line;
  };
  const Case cases[] = {
      {EPERM, 1, 0x378,
       "Cannot claim the I/O ports of LPT1 at 0x378: Operation not permitted (root rights are "
       "needed; to root as well, a kernel in lockdown refuses them: see dmesg)"},
      {EINVAL, 3, 0x278, "Cannot claim the I/O ports of LPT3 at 0x278: Invalid argument"},
      {ENOMEM, 2, 0x3BC, "Cannot claim the I/O ports of LPT2 at 0x3BC: Cannot allocate memory"},
      {ENOSYS, 1, 0x378,
       "Cannot claim the I/O ports of LPT1 at 0x378: Function not implemented (this machine has "
       "no x86 I/O ports: use --device or --gpio)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ioperm_problem(c.error, c.number, c.base), c.line);
  }
}

// On this machine: either the kernel grants the ports, or the claim says
// why, and nothing else is claimed on the way.
TEST(IoPort, ClaimThroughTheLinkKeepsTheReason) {
  IoPort port;
  const PortAllocation a = allocate_port(port, 2);
  if (a.claimed()) {
    EXPECT_EQ(a.base, 0x3BC);
    EXPECT_TRUE(a.why.empty());
    GTEST_SKIP() << "this kernel grants ioperm to the test";
  }
  EXPECT_EQ(a.why.rfind("Cannot claim the I/O ports of LPT2 at 0x3BC: ", 0), 0u) << a.why;
  EXPECT_GT(a.why.size(), std::string("Cannot claim the I/O ports of LPT2 at 0x3BC: ").size());
  EXPECT_TRUE(a.own_file.empty());
}

TEST(ClaimPort, ReturnsThePortItsBaseAndItsFile) {
  testing::TempDir dir;
  const std::string path = dir.file("c.cable");
  PortRequest request;
  request.cable = path;
  request.end = VirtualCable::kEndB;
  ClaimedPort c = claim_port(request, 3);
  ASSERT_TRUE(c.allocation.claimed()) << c.allocation.why;
  EXPECT_EQ(c.allocation.base, 0x278);
  EXPECT_EQ(c.allocation.own_file, path);
  EXPECT_STREQ(c.backend->name, "cable");
  EXPECT_NE(c.cable, nullptr);
  // A second claim of the same end fails and says why; nothing is returned
  // as claimed.
  ClaimedPort second = claim_port(request, 3);
  EXPECT_FALSE(second.allocation.claimed());
  EXPECT_NE(second.allocation.why.find(path), std::string::npos) << second.allocation.why;
  EXPECT_EQ(second.cable, nullptr);
  EXPECT_TRUE(second.allocation.own_file.empty());
}

}  // namespace
}  // namespace tarnel

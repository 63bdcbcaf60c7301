#include "link/virtual_cable.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testing/temp_dir.h"

namespace tarnel {
namespace {

using testing::TempDir;
using End = VirtualCable::End;

constexpr uint16_t kBase = 0x378;

std::unique_ptr<VirtualCable> open_cable(const std::string& path, uint32_t bus_ns = 0) {
  std::string why;
  auto cable = VirtualCable::open(path, bus_ns, &why);
  EXPECT_TRUE(cable) << why;
  return cable;
}

TEST(VirtualCable, CreatesFileInItsFormat) {
  TempDir dir;
  const std::string path = dir.file("new.cable");
  auto cable = open_cable(path, 1234);
  ASSERT_TRUE(cable);
  EXPECT_EQ(cable->bus_ns(), 1234u);
  std::string expected(4096, '\0');
  expected.replace(0, 8, "LPTCABL1");
  expected[8] = static_cast<char>(1234 & 0xFF);
  expected[9] = static_cast<char>(1234 >> 8);
  EXPECT_EQ(testing::read_file(path), expected);

  // Attaching keeps what the creator wrote.
  auto other = open_cable(path, 99);
  ASSERT_TRUE(other);
  EXPECT_EQ(other->bus_ns(), 1234u);
}

TEST(VirtualCable, StatusShowsPeerNibbleAndInvertedHandshake) {
  TempDir dir;
  CablePort a(dir.file("c"), VirtualCable::kEndA, 0);
  CablePort b(dir.file("c"), VirtualCable::kEndB, 0);
  std::string why;
  ASSERT_TRUE(a.claim(1, kBase, &why)) << why;
  ASSERT_TRUE(b.claim(1, kBase, &why)) << why;
  for (CablePort* writer : {&a, &b}) {
    CablePort* reader = writer == &a ? &b : &a;
    for (int v = 0; v < 32; ++v) {
      const uint8_t nibble = v & 0x0F;
      const bool handshake_high = v & 0x10;
      const uint8_t expected = 0x07 | nibble << 3 | (handshake_high ? 0x00 : 0x80);
      writer->port_out(kBase, static_cast<uint8_t>(v));
      EXPECT_EQ(reader->port_in(kBase + 1), expected) << "value " << v;
      // Bits 5-7 of the data register reach no line.
      writer->port_out(kBase, static_cast<uint8_t>(v | 0xE0));
      EXPECT_EQ(reader->port_in(kBase + 1), expected) << "value " << (v | 0xE0);
    }
  }
}

TEST(VirtualCable, CountsEveryAccessOfItsOwnEnd) {
  TempDir dir;
  const std::string path = dir.file("c");
  CablePort a(path, VirtualCable::kEndA, 0);
  std::string why;
  ASSERT_TRUE(a.claim(1, kBase, &why)) << why;
  a.port_in(kBase + 1);
  a.port_in(kBase + 1);
  EXPECT_EQ(a.port_in(kBase), 0xFF) << "nothing drives the data register's inputs";
  a.port_out(kBase, 0x05);
  a.port_out(kBase, 0x25);
  a.port_out(kBase + 2, 0x04);
  a.port_out(kBase + 3, 0x01);  // lost, but counted

  VirtualCable& c = *a.cable();
  EXPECT_EQ(c.reads(VirtualCable::kEndA), 3u);
  EXPECT_EQ(c.writes(VirtualCable::kEndA), 4u);
  EXPECT_EQ(c.high_bit_writes(VirtualCable::kEndA), 1u);
  EXPECT_EQ(c.data_register(VirtualCable::kEndA), 0x25);
  EXPECT_EQ(c.control_register(VirtualCable::kEndA), 0x04);
  EXPECT_EQ(c.reads(VirtualCable::kEndB) + c.writes(VirtualCable::kEndB), 0u);

  // Another end attaching leaves all of it alone.
  CablePort b(path, VirtualCable::kEndB, 0);
  ASSERT_TRUE(b.claim(1, kBase, &why)) << why;
  b.port_in(kBase + 1);
  EXPECT_EQ(c.reads(VirtualCable::kEndA), 3u);
  EXPECT_EQ(c.writes(VirtualCable::kEndA), 4u);
  EXPECT_EQ(c.data_register(VirtualCable::kEndA), 0x25);
  EXPECT_EQ(c.reads(VirtualCable::kEndB), 1u);
}

TEST(VirtualCable, AccessTakesAtLeastBusTime) {
  TempDir dir;
  auto cable = open_cable(dir.file("c"), 100000);  // 100 us an access
  ASSERT_TRUE(cable);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 100; ++i) {
    cable->read_status(VirtualCable::kEndA);
    cable->write_data(VirtualCable::kEndA, 0);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

TEST(VirtualCable, TwoProcessesSeeEachOthersLines) {
  TempDir dir;
  const std::string path = dir.file("c");
  auto cable = open_cable(path);
  ASSERT_TRUE(cable);
  auto sees = [](VirtualCable& c, End me, uint8_t status) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
      if (c.read_status(me) == status) return true;
      std::this_thread::yield();
    }
    return false;
  };
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // End B in another process: answer 0x15 with 0x0A.
    auto b = VirtualCable::open(path, 0, nullptr);
    if (!b) _exit(2);
    if (!sees(*b, VirtualCable::kEndB, 0x07 | 0x5 << 3)) _exit(3);  // A wrote 0x15
    b->write_data(VirtualCable::kEndB, 0x0A);
    _exit(0);
  }
  cable->write_data(VirtualCable::kEndA, 0x15);
  EXPECT_TRUE(sees(*cable, VirtualCable::kEndA, 0x07 | 0xA << 3 | 0x80));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_GE(cable->reads(VirtualCable::kEndB), 1u) << "the child's counters are in the file";
  EXPECT_EQ(cable->writes(VirtualCable::kEndB), 1u);
}

TEST(VirtualCable, EndsRacingToCreateShareOneCable) {
  for (int round = 0; round < 20; ++round) {
    TempDir dir;
    const std::string path = dir.file("c");
    std::unique_ptr<VirtualCable> ends[2];
    std::string why[2];
    std::thread t([&] { ends[1] = VirtualCable::open(path, 0, &why[1]); });
    ends[0] = VirtualCable::open(path, 0, &why[0]);
    t.join();
    ASSERT_TRUE(ends[0]) << why[0];
    ASSERT_TRUE(ends[1]) << why[1];
    ends[1]->write_data(VirtualCable::kEndB, 0x1F);
    EXPECT_EQ(ends[0]->read_status(VirtualCable::kEndA), 0x7F);
  }
}

struct BadFile {
  const char* name;
  std::string content;
  const char* reason;  // a word the message must hold
};

class VirtualCableBadFile : public ::testing::TestWithParam<BadFile> {};

TEST_P(VirtualCableBadFile, IsRefusedAndLeftAsItIs) {
  const BadFile& c = GetParam();
  TempDir dir;
  const std::string path = dir.file("bad.cable");
  testing::write_file(path, c.content);
  std::string why;
  EXPECT_FALSE(VirtualCable::open(path, 0, &why));
  EXPECT_NE(why.find(path), std::string::npos) << why;
  EXPECT_NE(why.find(c.reason), std::string::npos) << why;
  EXPECT_EQ(testing::read_file(path), c.content);
}

std::string with_magic(const char* magic) {
  std::string s(4096, '\0');
  s.replace(0, 8, magic);
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    VirtualCable, VirtualCableBadFile,
    ::testing::Values(BadFile{"TooSmall", std::string(100, 'x'), "100 bytes"},
                      BadFile{"TooLarge", with_magic("LPTCABL1") + std::string(4096, '\0'),
                              "8192 bytes"},
                      BadFile{"WrongMagic", with_magic("LPTCABL2"), "magic"},
                      // A creator that never wrote its magic: refused after a wait.
                      BadFile{"NoMagic", std::string(4096, '\0'), "magic"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(CablePort, ClaimFailsWithTheCablesReason) {
  TempDir dir;
  const std::string path = dir.file("bad.cable");
  testing::write_file(path, "short");
  CablePort port(path, VirtualCable::kEndA, 0);
  std::string why;
  EXPECT_FALSE(port.claim(1, kBase, &why));
  EXPECT_NE(why.find("5 bytes"), std::string::npos) << why;
  EXPECT_EQ(port.port_in(kBase + 1), 0xFF) << "an unclaimed port reads as nothing attached";
  EXPECT_EQ(testing::read_file(path), "short");
}

// Two servers (or two clients) on one cable would take turns at the same
// lines and split the exchange between them: an end is claimed by one
// process at a time, and the other end stays free.
TEST(CablePort, EachEndIsClaimedByOneHolderAtATime) {
  TempDir dir;
  const std::string path = dir.file("c");
  std::string why;
  auto a = std::make_unique<CablePort>(path, VirtualCable::kEndA, 0);
  ASSERT_TRUE(a->claim(1, kBase, &why)) << why;
  CablePort b(path, VirtualCable::kEndB, 0);
  ASSERT_TRUE(b.claim(1, kBase, &why)) << why;
  const std::string before = testing::read_file(path);

  for (const auto end : {VirtualCable::kEndA, VirtualCable::kEndB}) {
    CablePort second(path, end, 0);
    why.clear();
    EXPECT_FALSE(second.claim(1, kBase, &why));
    EXPECT_NE(why.find(path), std::string::npos) << why;
    EXPECT_NE(why.find(end == VirtualCable::kEndA ? "end A" : "end B"), std::string::npos) << why;
    EXPECT_EQ(second.port_in(kBase + 1), 0xFF) << "a refused end reads as nothing attached";
  }
  EXPECT_TRUE(testing::read_file(path) == before) << "the claims changed the file";

  // Given up with its holder.
  a.reset();
  CablePort again(path, VirtualCable::kEndA, 0);
  EXPECT_TRUE(again.claim(1, kBase, &why)) << why;
}

TEST(CablePort, ClaimIsFreedWhenItsProcessIsKilled) {
  TempDir dir;
  const std::string path = dir.file("c");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CablePort a(path, VirtualCable::kEndA, 0);
    if (!a.claim(1, kBase, nullptr)) _exit(1);
    if (write(ready[1], "r", 1) != 1) _exit(2);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  std::string why;
  {
    CablePort taken(path, VirtualCable::kEndA, 0);
    EXPECT_FALSE(taken.claim(1, kBase, &why));
  }
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  CablePort a(path, VirtualCable::kEndA, 0);
  EXPECT_TRUE(a.claim(1, kBase, &why)) << why;
}

// A cable is created only as a new file of its own: never through a
// symbolic link, which could point anywhere.
TEST(VirtualCable, DoesNotCreateThroughASymbolicLink) {
  TempDir dir;
  const std::string link = dir.file("link.cable");
  const std::string target = dir.file("elsewhere");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  std::string why;
  EXPECT_FALSE(VirtualCable::open(link, 0, &why));
  EXPECT_NE(why.find(link), std::string::npos) << why;
  struct stat st;
  EXPECT_NE(lstat(target.c_str(), &st), 0) << "the link's target was created";
}

TEST(VirtualCable, ExistingCableMayBeReachedThroughASymbolicLink) {
  TempDir dir;
  const std::string link = dir.file("link.cable");
  const std::string target = dir.file("real.cable");
  ASSERT_TRUE(open_cable(target, 77));
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  auto cable = open_cable(link, 0);
  ASSERT_TRUE(cable);
  EXPECT_EQ(cable->bus_ns(), 77u);
}

TEST(VirtualCable, RefusesFileWithoutPermission) {
  if (geteuid() == 0) GTEST_SKIP() << "root is not held back by file permissions";
  TempDir dir;
  const std::string path = dir.file("ro.cable");
  const std::string content = with_magic("LPTCABL1");
  testing::write_file(path, content);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  std::string why;
  EXPECT_FALSE(VirtualCable::open(path, 0, &why));
  EXPECT_NE(why.find(path), std::string::npos) << why;
  EXPECT_NE(why.find("Permission denied"), std::string::npos) << why;
  EXPECT_EQ(testing::read_file(path), content);
}

}  // namespace
}  // namespace tarnel

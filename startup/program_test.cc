// Start-up as the console shows it, with fake port, console and identity.
#include "startup/program.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "link/port_allocation.h"
#include "testing/fake_console.h"
#include "testing/scripted_port.h"
#include "testing/temp_dir.h"

namespace tarnel {
namespace {

using testing::FakeConsole;
using testing::ScriptedPort;

const std::string kBanner =
    "TARNEL:parallel port server for Kestrel Navigator. Usage: TARNEL <portnr> (1..3)"
    "Press any key to abort!                                                         "
    "================================================================================";

const std::string kWarning =
    "WARNING: You should run this program as a normal user with\n"
    "suid root. This is done with the following commands:\n"
    "\n"
    "su\n"
    "chown root tarnel\n"
    "chmod +s tarnel\n"
    "logout\n"
    "\n";

// A port whose claim succeeds or fails as told, with the status lines idle.
class ClaimPort : public ScriptedPort {
 public:
  explicit ClaimPort(bool grant, std::string why = "") : grant_(grant), why_(std::move(why)) {}
  bool claim(int number, uint16_t base, std::string* why) override {
    claimed_number = number;
    claimed_base = base;
    if (!grant_) *why = why_;
    return grant_;
  }
  int claimed_number = 0;
  uint16_t claimed_base = 0;

 private:
  bool grant_;
  std::string why_;
};

class FakeIdentity : public Identity {
 public:
  FakeIdentity(uid_t real, uid_t effective, bool drop_works = true)
      : real_(real), effective_(effective), drop_works_(drop_works) {}
  uid_t real_uid() override { return real_; }
  uid_t effective_uid() override { return effective_; }
  bool drop_root(std::string* why) override {
    ++drops;
    if (!drop_works_) {
      *why = "Cannot give up root rights: Operation not permitted";
      return false;
    }
    effective_ = real_;
    return true;
  }
  int drops = 0;

 private:
  uid_t real_, effective_;
  bool drop_works_;
};

struct Outcome {
  std::string output;
  int status;
  int claimed_number;
  uint16_t claimed_base;
};

Outcome run(const std::vector<std::string>& args, ClaimPort& port, Identity& identity,
            const std::string& device = "") {
  FakeConsole console;
  console.press_key();  // ends the command loop at its first poll
  int status = run_program(args, port, console, identity, device);
  return {console.output(), status, port.claimed_number, port.claimed_base};
}

struct ArgCase {
  std::vector<std::string> args;
  int number;
  const char* address;
};

class PortArgument : public ::testing::TestWithParam<ArgCase> {};

TEST_P(PortArgument, ChoosesPortByFirstCharacterOfSoleArgument) {
  ClaimPort port(true);
  FakeIdentity root(0, 0);
  Outcome r = run(GetParam().args, port, root);
  std::string expected = "Accepting connections through port LPT" +
                         std::to_string(GetParam().number) + ", port addr: " + GetParam().address +
                         "\n";
  EXPECT_NE(r.output.find(expected), std::string::npos) << r.output;
  EXPECT_EQ(r.claimed_number, GetParam().number);
  EXPECT_EQ(r.claimed_base, port_base_for(GetParam().number));
}

INSTANTIATE_TEST_SUITE_P(Table, PortArgument,
                         ::testing::Values(ArgCase{{}, 1, "888"}, ArgCase{{"1"}, 1, "888"},
                                           ArgCase{{"2"}, 2, "956"}, ArgCase{{"3"}, 3, "632"},
                                           ArgCase{{"0"}, 1, "888"}, ArgCase{{"4"}, 1, "888"},
                                           ArgCase{{"x"}, 1, "888"}, ArgCase{{""}, 1, "888"},
                                           ArgCase{{"23"}, 2, "956"}, ArgCase{{"12"}, 1, "888"},
                                           ArgCase{{"2", "3"}, 1, "888"},
                                           ArgCase{{"3", "x"}, 1, "888"}));

TEST(StartUp, StartedByRootPrintsWarningAndServes) {
  ClaimPort port(true);
  FakeIdentity root(0, 0);
  Outcome r = run({"3"}, port, root);
  EXPECT_EQ(r.output, kBanner + "Current effective user ID: 0, ID of calling user: 0\n" + kWarning +
                          "Trying to allocate port: Success!\n"
                          "Accepting connections through port LPT3, port addr: 632\n"
                          "Program aborted.\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(root.drops, 0);
}

TEST(StartUp, BannerLinesAreEightyCharactersEach) {
  ASSERT_EQ(kBanner.size(), 240u);
  ClaimPort port(true);
  FakeIdentity root(0, 0);
  Outcome r = run({}, port, root);
  EXPECT_EQ(r.output.substr(0, 240), kBanner);
}

TEST(StartUp, SetUserIdProgramReportsTwiceAndDropsRoot) {
  ClaimPort port(true);
  FakeIdentity user(500, 0);
  Outcome r = run({}, port, user);
  EXPECT_EQ(r.output, kBanner +
                          "Current effective user ID: 0, ID of calling user: 500\n"
                          "Trying to allocate port: Success!\n"
                          "Current effective user ID: 500, ID of calling user: 500\n"
                          "Accepting connections through port LPT1, port addr: 888\n"
                          "Program aborted.\n");
  EXPECT_EQ(user.drops, 1);
}

TEST(StartUp, FailedAllocationEndsWithoutServing) {
  ClaimPort port(false);
  FakeIdentity root(0, 0);
  Outcome r = run({"2"}, port, root);
  EXPECT_EQ(r.output, kBanner + "Current effective user ID: 0, ID of calling user: 0\n" + kWarning +
                          "Trying to allocate port: Failed!\n"
                          "Program aborted.\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(port.writes.empty()) << "the lines of an unclaimed port were touched";
}

// Under `claim`, with no file system shared.
Outcome run_as(PortClaim claim, ClaimPort& port, Identity& identity, FakeConsole& console) {
  console.press_key();
  ServerOptions options;
  const int status = run_program(options, claim, port, console, identity);
  return {console.output(), status, port.claimed_number, port.claimed_base};
}

TEST(StartUp, FailedAllocationWithReasonSaysWhyFirst) {
  ClaimPort port(false, "Cannot use the virtual cable x: wrong magic (not a cable file)");
  FakeIdentity user(500, 0);
  FakeConsole console;
  Outcome r = run_as(PortClaim::kCable, port, user, console);
  EXPECT_EQ(r.output, kBanner +
                          "Current effective user ID: 0, ID of calling user: 500\n"
                          "Cannot use the virtual cable x: wrong magic (not a cable file)\n"
                          "Trying to allocate port: Failed!\n"
                          "Current effective user ID: 500, ID of calling user: 500\n"
                          "Program aborted.\n");
  EXPECT_EQ(user.drops, 1) << "root is given up on the failed path too";
  EXPECT_EQ(console.errors(), "");
}

// The I/O ports' console keeps "Failed!" alone; the kernel's reason goes to
// standard error.
TEST(StartUp, RefusedIoPortsGiveTheReasonOnStandardError) {
  const std::string reason =
      "Cannot claim the I/O ports of LPT1 at 0x378: Operation not permitted (...)";
  ClaimPort port(false, reason);
  FakeIdentity user(500, 0);
  FakeConsole console;
  Outcome r = run_as(PortClaim::kIoPorts, port, user, console);
  EXPECT_EQ(r.output, kBanner +
                          "Current effective user ID: 0, ID of calling user: 500\n"
                          "Trying to allocate port: Failed!\n"
                          "Current effective user ID: 500, ID of calling user: 500\n"
                          "Program aborted.\n");
  EXPECT_EQ(console.errors(), reason + "\n");
  EXPECT_EQ(r.status, 0);
}

// A port that stands on a file the server cannot keep out of the client's
// reach: the start fails before anything is served.
class FilePort : public ClaimPort {
 public:
  explicit FilePort(std::string file) : ClaimPort(true), file_(std::move(file)) {}
  std::string own_file() const override { return file_; }

 private:
  std::string file_;
};

TEST(StartUp, OwnFileThatCannotBeProtectedFailsTheStart) {
  std::string why;
  std::unique_ptr<SharedFiles> shared = SharedFiles::make(Sharing{}, &why);
  ASSERT_TRUE(shared) << why;
  for (const bool service : {false, true}) {
    FilePort port("/nonexistent-tarnel-dir/cable");
    FakeIdentity user(1000, 1000);
    FakeConsole console;
    console.press_key();
    ServerOptions options;
    options.service = service;
    const int status = run_program(options, PortClaim::kCable, port, console, user, shared.get());
    const std::string tail =
        "Trying to allocate port: Success!\n"
        "Cannot keep /nonexistent-tarnel-dir/cable out of the client's reach\n"
        "Program aborted.\n";
    const std::string out = console.output();
    ASSERT_GE(out.size(), tail.size()) << out;
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(out.find("Accepting"), std::string::npos);
    EXPECT_TRUE(port.writes.empty()) << "nothing served";
    EXPECT_EQ(status, service ? kExitStartFailed : 0);
  }
  // The same start with a file that exists serves.
  testing::TempDir dir;
  testing::write_file(dir.file("cable"), "x");
  FilePort port(dir.file("cable"));
  FakeIdentity user(1000, 1000);
  FakeConsole console;
  console.press_key();
  EXPECT_EQ(run_program(ServerOptions(), PortClaim::kCable, port, console, user, shared.get()), 0);
  EXPECT_NE(console.output().find("Accepting connections"), std::string::npos) << console.output();
}

TEST(StartUp, FailedPrivilegeDropEndsWithoutServing) {
  ClaimPort port(true);
  FakeIdentity user(500, 0, /*drop_works=*/false);
  Outcome r = run({}, port, user);
  EXPECT_EQ(r.output, kBanner +
                          "Current effective user ID: 0, ID of calling user: 500\n"
                          "Trying to allocate port: Success!\n"
                          "Cannot give up root rights: Operation not permitted\n"
                          "Program aborted.\n");
  EXPECT_EQ(r.output.find("Accepting"), std::string::npos);
  EXPECT_TRUE(port.writes.empty()) << "nothing may be served with root rights left over";
}

// A card whose registers are not at one of the three usual addresses.
class CardPort : public ClaimPort {
 public:
  CardPort() : ClaimPort(true) {}
  uint16_t base_address(int, uint16_t) override { return 0xD010; }
};

TEST(StartUp, PortAddressIsTheOneTheBackendKnows) {
  CardPort port;
  FakeIdentity user(1000, 1000);
  Outcome r = run({"2"}, port, user, "/dev/parport0");
  EXPECT_NE(r.output.find("Accepting connections through port LPT2, port addr: 53264\n"),
            std::string::npos)
      << r.output;
  EXPECT_EQ(r.claimed_number, 2);
  EXPECT_EQ(r.claimed_base, 0xD010);
}

// Through the parallel-port device root rights are not needed: no advice to
// install the program set-user-ID root.
TEST(StartUp, DeviceStartedByUserNeedsNoWarning) {
  ClaimPort port(true);
  FakeIdentity user(1000, 1000);
  Outcome r = run({}, port, user, "/dev/parport0");
  EXPECT_EQ(r.output, kBanner +
                          "Current effective user ID: 1000, ID of calling user: 1000\n"
                          "Trying to allocate port: Success!\n"
                          "Accepting connections through port LPT1, port addr: 888\n"
                          "Program aborted.\n");
  EXPECT_EQ(user.drops, 0);
}

TEST(StartUp, DeviceStartedByRootWarnsOfServingAsRoot) {
  ClaimPort port(false,
                 "Cannot use the parallel-port device /dev/parport9: No such file or directory");
  FakeIdentity root(0, 0);
  Outcome r = run({}, port, root, "/dev/parport9");
  EXPECT_EQ(r.output, kBanner +
                          "Current effective user ID: 0, ID of calling user: 0\n"
                          "WARNING: You should run this program as a normal user who may use\n"
                          "/dev/parport9 (usually a member of the lp group); it needs no root "
                          "rights.\n"
                          "\n"
                          "Cannot use the parallel-port device /dev/parport9: No such file or "
                          "directory\n"
                          "Trying to allocate port: Failed!\n"
                          "Program aborted.\n");
  EXPECT_EQ(r.status, 0);
}

TEST(StartUp, DeviceInSetUserIdProgramStillDropsRoot) {
  ClaimPort port(true);
  FakeIdentity user(500, 0);
  Outcome r = run({}, port, user, "/dev/parport0");
  EXPECT_EQ(r.output, kBanner +
                          "Current effective user ID: 0, ID of calling user: 500\n"
                          "Trying to allocate port: Success!\n"
                          "Current effective user ID: 500, ID of calling user: 500\n"
                          "Accepting connections through port LPT1, port addr: 888\n"
                          "Program aborted.\n");
  EXPECT_EQ(user.drops, 1);
}

}  // namespace
}  // namespace tarnel

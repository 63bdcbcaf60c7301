// The ready message to a service manager: its socket named by path or in
// the abstract namespace, the names refused, and when the server sends it
// (under --service only, once it accepts connections, never after a failed
// start); and the banner as lines a journal can show under --service.
#include "startup/service_notify.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "startup/program.h"
#include "testing/fake_console.h"
#include "testing/scripted_port.h"
#include "testing/temp_dir.h"

namespace tarnel {
namespace {

/// A datagram socket bound to `name` (a path, or '@' and an abstract name),
/// which NOTIFY_SOCKET names while it lives.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& name) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (name[0] == '@') address.sun_path[0] = '\0';
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<const sockaddr*>(&address), size) == 0;
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
  }
  ~NotifySocket() {
    unsetenv("NOTIFY_SOCKET");
    if (fd_ >= 0) close(fd_);
  }
  bool bound() const { return bound_; }
  /// The datagrams that have come, each followed by "|".
  std::string received() {
    std::string all;
    char buf[256];
    ssize_t n;
    while ((n = recv(fd_, buf, sizeof buf, 0)) >= 0) {
      all.append(buf, static_cast<size_t>(n)).append("|");
    }
    return all;
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

std::string abstract_name() {
  static int serial = 0;
  return "@tarnel-notify-test-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
}

TEST(NotifyServiceManager, SendsTheStateToAPathOrAnAbstractName) {
  testing::TempDir dir;
  for (const std::string& name : {dir.file("notify"), abstract_name()}) {
    SCOPED_TRACE(name);
    NotifySocket manager(name);
    ASSERT_TRUE(manager.bound());
    EXPECT_TRUE(notify_service_manager("READY=1"));
    EXPECT_EQ(manager.received(), "READY=1|");
  }
}

TEST(NotifyServiceManager, RefusesWhatNamesNoSocket) {
  testing::TempDir dir;
  NotifySocket manager(dir.file("notify"));
  ASSERT_TRUE(manager.bound());
  const std::string too_long = "/" + std::string(sizeof(sockaddr_un::sun_path), 'x');
  const std::string nobody = dir.file("nobody");
  for (const char* name : {"", "notify", "@", "/", too_long.c_str(), nobody.c_str()}) {
    SCOPED_TRACE(name);
    setenv("NOTIFY_SOCKET", name, 1);
    EXPECT_FALSE(notify_service_manager("READY=1"));
  }
  unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(notify_service_manager("READY=1"));
  EXPECT_EQ(manager.received(), "");
}

// A port whose claim succeeds or fails as told.
class ClaimPort : public testing::ScriptedPort {
 public:
  explicit ClaimPort(bool grant) : grant_(grant) {}
  bool claim(int, uint16_t, std::string* why) override {
    if (!grant_) *why = "no port here";
    return grant_;
  }

 private:
  bool grant_;
};

class SetUserId : public Identity {
 public:
  uid_t real_uid() override { return 500; }
  uid_t effective_uid() override { return effective_; }
  bool drop_root(std::string*) override {
    effective_ = 500;
    return true;
  }

 private:
  uid_t effective_ = 0;
};

/// A console that looks at the manager's socket when the server says it
/// accepts connections and when the command loop first looks for a key
/// (which it finds, so the loop ends at once).
class WatchingConsole : public testing::FakeConsole {
 public:
  explicit WatchingConsole(NotifySocket& manager) : manager_(manager) {}
  void write(std::string_view text) override {
    if (text.find("Accepting connections") != std::string_view::npos) {
      at_accepting += manager_.received();
    }
    FakeConsole::write(text);
  }
  bool key_pending() override {
    at_first_poll += manager_.received();
    return true;
  }
  std::string at_accepting, at_first_poll;

 private:
  NotifySocket& manager_;
};

struct ServerRun {
  std::string output, at_accepting, at_first_poll, after;
  int status;
};

ServerRun run_server(bool service, bool grant) {
  testing::TempDir dir;
  NotifySocket manager(dir.file("notify"));
  EXPECT_TRUE(manager.bound());
  WatchingConsole console(manager);
  ClaimPort port(grant);
  SetUserId identity;
  ServerOptions options;
  options.service = service;
  const int status = run_program(options, PortClaim::kIoPorts, port, console, identity);
  return {console.output(), console.at_accepting, console.at_first_poll, manager.received(),
          status};
}

const std::string kReport =
    "Current effective user ID: 0, ID of calling user: 500\n"
    "Trying to allocate port: Success!\n"
    "Current effective user ID: 500, ID of calling user: 500\n"
    "Accepting connections through port LPT1, port addr: 888\n"
    "Program aborted.\n";

TEST(ServiceStart, JournalLinesAndReadyOnceItAcceptsConnections) {
  const ServerRun r = run_server(true, true);
  EXPECT_EQ(r.output,
            "TARNEL:parallel port server for Kestrel Navigator. Usage: TARNEL <portnr> (1..3)\n"
            "Press any key to abort!\n" +
                std::string(80, '=') + "\n" + kReport);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.at_accepting, "") << "ready before the server accepts connections";
  EXPECT_EQ(r.at_first_poll, "READY=1|");
  EXPECT_EQ(r.after, "");
}

TEST(ServiceStart, FailedStartSendsNoReady) {
  const ServerRun r = run_server(true, false);
  EXPECT_EQ(r.status, kExitStartFailed);
  EXPECT_NE(r.output.find("Trying to allocate port: Failed!\n"), std::string::npos) << r.output;
  EXPECT_EQ(r.at_first_poll + r.after, "");
}

// Without --service the environment is not read and the banner keeps its
// three 80-character rows without line ends.
TEST(ServiceStart, WithoutServiceNoReadyAndTheBannerStays) {
  const ServerRun r = run_server(false, true);
  EXPECT_EQ(r.output,
            "TARNEL:parallel port server for Kestrel Navigator. Usage: TARNEL <portnr> (1..3)"
            "Press any key to abort!" +
                std::string(57, ' ') + std::string(80, '=') + kReport);
  EXPECT_EQ(r.at_first_poll + r.after, "");
}

}  // namespace
}  // namespace tarnel

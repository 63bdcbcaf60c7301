// The command loop on end A of a cable, like ServerThread, but on a port
// that can be told to wait for the peer: while pacing is on, none of the
// server's sleeps ends before the peer has read its status twice since the
// server's last data write. A level the server holds for a while, such as a
// refused frame's reply code, is then seen by the peer however late the
// peer's thread runs, and a test can expect the one result the server gave
// instead of also accepting the one a held-up peer reads.
#ifndef TARNEL_TESTING_PACED_SERVER_H_
#define TARNEL_TESTING_PACED_SERVER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "base/console.h"
#include "commands/command_loop.h"
#include "files/file_state.h"
#include "link/lines.h"
#include "link/port.h"
#include "link/virtual_cable.h"
#include "testing/cable_pair.h"
#include "testing/fake_console.h"
#include "testing/server_thread.h"

namespace tarnel::testing {

/// Passes every access on to the server's end of the cable; see above.
class PeerPacedPort : public PortWrapper {
 public:
  /// How long a sleep waits for the peer at most, so that a test that
  /// leaves pacing on while the peer is idle does not hang.
  static constexpr auto kLimit = std::chrono::seconds(10);

  /// `inner` is end A of `cable`; both must outlive this port.
  PeerPacedPort(Port& inner, VirtualCable& cable) : PortWrapper(inner), cable_(cable) {}

  void port_out(uint16_t address, uint8_t value) override {
    PortWrapper::port_out(address, value);
    if (address == kTestPortBase) peer_reads_at_write_ = cable_.reads(VirtualCable::kEndB);
  }
  /// Only sleep_ms is paced; the short sleeps of a wait for the peer are
  /// not: the server is reading its lines meanwhile.
  void sleep_ms(unsigned ms) override {
    PortWrapper::sleep_ms(ms);
    // Two reads: the first may have begun before the write and been counted
    // after it; the second began after the first had ended.
    const auto limit = std::chrono::steady_clock::now() + kLimit;
    while (pacing && cable_.reads(VirtualCable::kEndB) < peer_reads_at_write_ + 2 &&
           std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }

  /// Set and cleared by the test's thread.
  std::atomic<bool> pacing{false};

 private:
  VirtualCable& cable_;
  uint64_t peer_reads_at_write_ = 0;
};

class PacedServerThread {
 public:
  explicit PacedServerThread(CablePair& cable)
      : port_(cable.server_port(), cable.cable()), lines_(port_, kTestPortBase, Waiting::kServer) {
    // A new run of the server starts from the start values, as ServerThread's.
    abort_flag = false;
    reset_file_state();
    thread_ = std::thread([this] { command_loop(lines_, console_, fs_); });
  }
  ~PacedServerThread() { stop(); }
  PacedServerThread(const PacedServerThread&) = delete;
  PacedServerThread& operator=(const PacedServerThread&) = delete;

  PeerPacedPort& port() { return port_; }
  FakeConsole& console() { return console_; }
  /// Presses the key and waits until the loop has ended.
  void stop() {
    if (!thread_.joinable()) return;
    port_.pacing = false;
    console_.press_key();
    thread_.join();
  }

 private:
  PeerPacedPort port_;
  Lines lines_;
  WholeFileSystem fs_;
  FakeConsole console_;
  std::thread thread_;
};

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_PACED_SERVER_H_

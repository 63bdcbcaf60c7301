// A port that passes every access on to another port and keeps a timeline of
// the writes and sleeps, so that a test can check what an end put on its
// lines, in order, over a real cable. Reads are only counted (a wait makes
// hundreds of thousands of them), and so are the short sleeps of the
// server's watch for a late peer (thousands). Use it from one thread.
#ifndef TARNEL_TESTING_RECORDING_PORT_H_
#define TARNEL_TESTING_RECORDING_PORT_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "link/lines.h"
#include "link/port.h"
#include "testing/cable_pair.h"

namespace tarnel::testing {

class RecordingPort : public PortWrapper {
 public:
  using Clock = std::chrono::steady_clock;
  struct Event {
    enum Kind { kWrite, kSleep } kind;
    uint16_t address;      // kWrite
    unsigned value;        // the byte written, or the milliseconds slept (sleep_ms)
    Clock::time_point at;  // when the access or the sleep began
  };

  /// `inner` must stay alive while this port is used.
  explicit RecordingPort(Port& inner) : PortWrapper(inner) {}

  uint8_t port_in(uint16_t address) override {
    ++reads;
    return PortWrapper::port_in(address);
  }
  void port_out(uint16_t address, uint8_t value) override {
    events.push_back({Event::kWrite, address, value, Clock::now()});
    PortWrapper::port_out(address, value);
  }
  void sleep_ms(unsigned ms) override {
    events.push_back({Event::kSleep, 0, ms, Clock::now()});
    PortWrapper::sleep_ms(ms);
  }
  void sleep_us(unsigned us) override {
    ++us_sleeps;
    PortWrapper::sleep_us(us);
  }

  /// The values written to `address`, in order.
  std::vector<uint8_t> written_to(uint16_t address) const {
    std::vector<uint8_t> out;
    for (const Event& e : events)
      if (e.kind == Event::kWrite && e.address == address)
        out.push_back(static_cast<uint8_t>(e.value));
    return out;
  }
  std::vector<unsigned> sleeps() const {
    std::vector<unsigned> out;
    for (const Event& e : events)
      if (e.kind == Event::kSleep) out.push_back(e.value);
    return out;
  }

  uint64_t reads = 0;
  uint64_t us_sleeps = 0;
  std::vector<Event> events;
};

/// The server's end of a test cable, waiting as the server does, with every
/// write and sleep on record.
struct RecordedServerEnd {
  explicit RecordedServerEnd(CablePair& cable) : port(cable.server_port()) {}
  RecordingPort port;
  Lines lines{port, kTestPortBase, Waiting::kServer};
  std::vector<uint8_t> data_writes() const { return port.written_to(kTestPortBase); }
};

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_RECORDING_PORT_H_

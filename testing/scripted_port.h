// A port whose status reads follow a script; it records every write and
// counts sleeps instead of taking them. Its clock is its own: each read
// takes `read_ns` (1 us, a real port's pace, unless changed) and each sleep
// its length, and nothing else takes any time.
#ifndef TARNEL_TESTING_SCRIPTED_PORT_H_
#define TARNEL_TESTING_SCRIPTED_PORT_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "link/port.h"

namespace tarnel::testing {

class ScriptedPort : public Port {
 public:
  /// The status value of the next read; sees the port as it is before the
  /// read (reads so far, sleeps so far). Default: 0xFF.
  std::function<uint8_t(const ScriptedPort&)> status;

  uint64_t reads = 0;
  std::vector<std::pair<uint16_t, uint8_t>> writes;
  std::vector<unsigned> sleeps;     // sleep_ms, in ms
  std::vector<unsigned> us_sleeps;  // sleep_us, in us
  uint64_t read_ns = 1000;

  bool claim(int, uint16_t, std::string*) override { return true; }
  uint8_t port_in(uint16_t) override {
    uint8_t v = status ? status(*this) : 0xFF;
    ++reads;
    return v;
  }
  void port_out(uint16_t address, uint8_t value) override { writes.emplace_back(address, value); }
  void sleep_ms(unsigned ms) override {
    sleeps.push_back(ms);
    slept_ns_ += uint64_t{ms} * 1000000;
  }
  void sleep_us(unsigned us) override {
    us_sleeps.push_back(us);
    slept_ns_ += uint64_t{us} * 1000;
  }
  std::chrono::steady_clock::time_point now() override {
    return std::chrono::steady_clock::time_point() + elapsed();
  }
  /// The port's time since it was made.
  std::chrono::nanoseconds elapsed() const {
    return std::chrono::nanoseconds(static_cast<int64_t>(reads * read_ns + slept_ns_));
  }

  unsigned slept_ms() const {
    unsigned total = 0;
    for (unsigned s : sleeps) total += s;
    return total;
  }
  /// The values written to address `address`, in order.
  std::vector<uint8_t> written_to(uint16_t address) const {
    std::vector<uint8_t> out;
    for (auto& [a, v] : writes)
      if (a == address) out.push_back(v);
    return out;
  }

 private:
  uint64_t slept_ns_ = 0;
};

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_SCRIPTED_PORT_H_

// A port whose status reads follow a script; it records every write and
// counts sleeps instead of taking them.
#ifndef TARNEL_TESTING_SCRIPTED_PORT_H_
#define TARNEL_TESTING_SCRIPTED_PORT_H_

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
  std::vector<unsigned> sleeps;

  bool claim(int, uint16_t, std::string*) override { return true; }
  uint8_t port_in(uint16_t) override {
    uint8_t v = status ? status(*this) : 0xFF;
    ++reads;
    return v;
  }
  void port_out(uint16_t address, uint8_t value) override { writes.emplace_back(address, value); }
  void sleep_ms(unsigned ms) override { sleeps.push_back(ms); }

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
};

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_SCRIPTED_PORT_H_

// The one way the program reaches the printer port's registers.
//
// Three backends implement it: IoPort (x86 byte port I/O after ioperm),
// DevicePort (the kernel's parallel-port device, /dev/parportN) and
// CablePort (the virtual cable, a shared 4096-byte file). Tests add a
// scripted fake. Sleeping and the clock that the waits measure their limits
// by go through the same seam, so that a fake can count sleeps instead of
// taking them and keep a time of its own.
#ifndef TARNEL_LINK_PORT_H_
#define TARNEL_LINK_PORT_H_

#include <chrono>
#include <cstdint>
#include <string>

namespace tarnel {

class Port {
 public:
  virtual ~Port() = default;

  /// The I/O address of port `port_number`'s data register: `usual` (the
  /// number's usual address) unless the backend learns the real one.
  virtual uint16_t base_address(int /*port_number*/, uint16_t usual) { return usual; }

  /// Claims the three registers base, base + 1 and base + 2 for this
  /// process. On failure returns false and, where there is more to say than
  /// "Failed!", puts one line of explanation into *why.
  virtual bool claim(int port_number, uint16_t base, std::string* why) = 0;

  /// The file the claimed port stands on (the cable file, the device), which
  /// the server keeps out of the client's reach; empty when none.
  virtual std::string own_file() const { return ""; }

  virtual uint8_t port_in(uint16_t address) = 0;
  virtual void port_out(uint16_t address, uint8_t value) = 0;

  /// Sleeps for ms milliseconds (a select() with no descriptors).
  virtual void sleep_ms(unsigned ms);
  /// Sleeps for us microseconds, the same way: the short sleeps with which
  /// the server watches for a late peer.
  virtual void sleep_us(unsigned us);
  /// The time the waits on this port go by (the monotonic clock).
  virtual std::chrono::steady_clock::time_point now();
};

/// A port that passes every call on to another port: a decorator derives
/// from it and overrides only the calls it changes, so that a call added to
/// Port later reaches the backend through every decorator.
class PortWrapper : public Port {
 public:
  /// `target` must stay alive while this port is used.
  explicit PortWrapper(Port& target) : target_(target) {}

  Port& target() { return target_; }

  uint16_t base_address(int port_number, uint16_t usual) override {
    return target_.base_address(port_number, usual);
  }
  bool claim(int port_number, uint16_t base, std::string* why) override {
    return target_.claim(port_number, base, why);
  }
  std::string own_file() const override { return target_.own_file(); }
  uint8_t port_in(uint16_t address) override { return target_.port_in(address); }
  void port_out(uint16_t address, uint8_t value) override { target_.port_out(address, value); }
  void sleep_ms(unsigned ms) override { target_.sleep_ms(ms); }
  void sleep_us(unsigned us) override { target_.sleep_us(us); }
  std::chrono::steady_clock::time_point now() override { return target_.now(); }

 private:
  Port& target_;
};

/// The select() sleeps behind Port::sleep_ms and Port::sleep_us.
void select_sleep_ms(unsigned ms);
void select_sleep_us(unsigned us);

}  // namespace tarnel

#endif  // TARNEL_LINK_PORT_H_

// The client's view of its port: every access goes to the backend (the
// virtual cable or the printer port), while one moment of a role swap that
// the frame layer cannot see by itself is watched.
//
// This end receives a reply and then sends the next command. Its acceptance
// of the reply's last byte is a level that the server must see before the
// command's first nibble replaces it; a server that went into its 100 ms
// sleep while waiting for it sees it only when it wakes. hold_reply_code()
// keeps the level until the server has read it (on the virtual cable, whose
// read counters show that), or long enough.
#ifndef TARNEL_CLIENT_CLIENT_PORT_H_
#define TARNEL_CLIENT_CLIENT_PORT_H_

#include <chrono>
#include <cstdint>

#include "link/port.h"
#include "link/virtual_cable.h"

namespace tarnel::client {

class ClientPort : public PortWrapper {
 public:
  /// `inner` is claimed already, at `base`. `cable` is its virtual cable,
  /// or nullptr for a printer port. Both must outlive this object.
  ClientPort(Port& inner, uint16_t base, VirtualCable* cable)
      : PortWrapper(inner), base_(base), cable_(cable) {}

  void port_out(uint16_t address, uint8_t value) override;

  /// Keeps this end's last reply code on its lines until the server has
  /// seen it.
  void hold_reply_code();

 private:
  using Clock = std::chrono::steady_clock;

  uint16_t base_;
  VirtualCable* cable_;
  /// The server's read count when this end last wrote its data register.
  uint64_t server_reads_at_write_ = 0;
  Clock::time_point last_write_{};
  /// Time between this end's last two data-register writes.
  Clock::duration write_gap_{};
};

}  // namespace tarnel::client

#endif  // TARNEL_CLIENT_CLIENT_PORT_H_

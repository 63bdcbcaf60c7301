// The printer port itself: x86 byte port I/O after the kernel has opened the
// three registers to the process with ioperm. A refused claim keeps the
// kernel's reason (errno), so that root under a kernel lockdown is not told
// to get root rights.
#ifndef TARNEL_LINK_IO_PORT_H_
#define TARNEL_LINK_IO_PORT_H_

#include "link/port.h"

namespace tarnel {

class IoPort : public Port {
 public:
  bool claim(int port_number, uint16_t base, std::string* why) override;
  uint8_t port_in(uint16_t address) override;
  void port_out(uint16_t address, uint8_t value) override;
};

/// The line for a refused ioperm of port `port_number` at `base`, from its
/// errno.
std::string ioperm_problem(int error, int port_number, uint16_t base);

}  // namespace tarnel

#endif  // TARNEL_LINK_IO_PORT_H_

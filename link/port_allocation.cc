#include "link/port_allocation.h"

namespace tarnel {

uint16_t port_base_for(int number) {
  switch (number) {
    case 1:
      return 0x378;
    case 2:
      return 0x3BC;
    default:
      return 0x278;
  }
}

int port_number_from_args(const std::vector<std::string>& args) {
  if (args.size() != 1 || args[0].empty()) return 1;
  switch (args[0][0]) {
    case '2':
      return 2;
    case '3':
      return 3;
    default:
      return 1;
  }
}

PortAllocation allocate_port(Port& port, int number) {
  PortAllocation a;
  const uint16_t base = port.base_address(number, port_base_for(number));
  if (port.claim(number, base, &a.why)) {
    a.base = base;
    a.own_file = port.own_file();
    a.why.clear();
  }
  return a;
}

ClaimedPort claim_port(const PortRequest& request, int number) {
  MadePort made = make_port(request);
  ClaimedPort c;
  c.allocation = allocate_port(*made.port, number);
  // The cable is the one backend whose other end is this machine: the
  // client watches the server's reads of it.
  if (c.allocation.claimed() && made.backend->claim == PortClaim::kCable) {
    c.cable = static_cast<CablePort*>(made.port.get())->cable();
  }
  c.port = std::move(made.port);
  c.backend = made.backend;
  return c;
}

}  // namespace tarnel

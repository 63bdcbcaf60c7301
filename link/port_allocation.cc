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

uint16_t allocate_port(Port& port, int number, std::string* why) {
  const uint16_t base = port.base_address(number, port_base_for(number));
  return port.claim(number, base, why) ? base : 0;
}

}  // namespace tarnel

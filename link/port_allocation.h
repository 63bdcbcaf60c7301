// The printer port chosen on the command line and its claim.
#ifndef TARNEL_LINK_PORT_ALLOCATION_H_
#define TARNEL_LINK_PORT_ALLOCATION_H_

#include <cstdint>
#include <string>
#include <vector>

#include "link/port.h"

namespace tarnel {

/// 0x378 for port 1, 0x3BC for port 2, 0x278 for any other number.
uint16_t port_base_for(int number);

/// The port number from the arguments (program name excluded): with exactly
/// one argument its first character "1", "2" or "3" chooses; anything else,
/// no argument or several, gives 1.
int port_number_from_args(const std::vector<std::string>& args);

/// Claims the three registers of port `number` (at the backend's base
/// address for it, else the usual one); returns the port base, or 0
/// on failure with a reason in *why when the backend has one.
uint16_t allocate_port(Port& port, int number, std::string* why);

}  // namespace tarnel

#endif  // TARNEL_LINK_PORT_ALLOCATION_H_

// The printer port chosen on the command line and its claim.
#ifndef TARNEL_LINK_PORT_ALLOCATION_H_
#define TARNEL_LINK_PORT_ALLOCATION_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/port.h"
#include "link/port_factory.h"

namespace tarnel {

/// 0x378 for port 1, 0x3BC for port 2, 0x278 for any other number.
uint16_t port_base_for(int number);

/// The port number from the arguments (program name excluded): with exactly
/// one argument its first character "1", "2" or "3" chooses; anything else,
/// no argument or several, gives 1.
int port_number_from_args(const std::vector<std::string>& args);

/// A port's claim as the rest of the program needs it.
struct PortAllocation {
  /// The port base; 0 when the port is not claimed.
  uint16_t base = 0;
  /// The file the port stands on (the cable file, the device): kept out of
  /// the client's reach by the server. Empty for the I/O ports.
  std::string own_file;
  /// Why the claim failed, one line; empty when the backend has nothing
  /// more to say than "Failed!".
  std::string why;

  bool claimed() const { return base != 0; }
};

/// Claims the three registers of port `number` (at the backend's base
/// address for it, else the usual one).
PortAllocation allocate_port(Port& port, int number);

/// A port made from the command line's request and claimed.
struct ClaimedPort {
  std::unique_ptr<Port> port;
  const PortBackend* backend = nullptr;
  PortAllocation allocation;
  /// The virtual cable behind the port, when it is one (claimed).
  VirtualCable* cable = nullptr;
};

/// Makes the port that `request` asks for and claims it as port `number`:
/// the one call with which a program gets its port.
ClaimedPort claim_port(const PortRequest& request, int number);

}  // namespace tarnel

#endif  // TARNEL_LINK_PORT_ALLOCATION_H_

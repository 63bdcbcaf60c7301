// The one place that picks a port backend: a table of the backends (a name
// and a make function each) and the function that makes the port the
// command line asks for. A new backend is one entry and one file pair.
#ifndef TARNEL_LINK_PORT_FACTORY_H_
#define TARNEL_LINK_PORT_FACTORY_H_

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "link/gpio_port.h"
#include "link/port.h"
#include "link/virtual_cable.h"

namespace tarnel {

/// What the command line says about the port.
struct PortRequest {
  /// The kernel's parallel-port device (--device); chosen whenever given.
  std::string device;
  /// A GPIO chip (--gpio) and the lines that make the port (--gpio-lines).
  std::string gpio_chip;
  GpioLines gpio_lines = kRaspberryPiLines;
  /// The printer port's I/O registers through ioperm (tarnel without
  /// --device, tarnel-client --port).
  bool io_ports = false;
  /// Otherwise the virtual cable: its file ("" : tarnel-lpt<portnr>.cable),
  /// the end this program holds, and the bus time of a cable made here.
  std::string cable;
  VirtualCable::End end = VirtualCable::kEndA;
  uint32_t bus_ns_if_created = 1000;
};

/// What claiming a backend's port takes, for the start-up warnings.
enum class PortClaim {
  kIoPorts,  // ioperm: root rights (a set-user-ID install)
  kDevice,   // access to the device (usually the lp group), no root
  kGpio,     // access to the GPIO chip (usually the gpio group), no root
  kCable,    // a file; the simulated server shows the I/O-port start-up
};

struct PortBackend {
  const char* name;
  PortClaim claim;
  bool (*chosen)(const PortRequest& request);
  std::unique_ptr<Port> (*make)(const PortRequest& request);
  /// Gives the port back from a signal that ends the program; nullptr when
  /// the kernel takes it back by itself. Async-signal-safe.
  void (*release_on_signal)();
};

/// The backends, in the order they are tried; the last is always chosen.
std::span<const PortBackend> port_backends();

struct MadePort {
  std::unique_ptr<Port> port;
  const PortBackend* backend = nullptr;
};

/// The port of the first backend that `request` chooses, not yet claimed.
MadePort make_port(const PortRequest& request);

}  // namespace tarnel

#endif  // TARNEL_LINK_PORT_FACTORY_H_

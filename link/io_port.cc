#include "link/io_port.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define TARNEL_HAVE_PORT_IO 1
#endif

namespace tarnel {

std::string ioperm_problem(int error, int port_number, uint16_t base) {
  char address[8];
  std::snprintf(address, sizeof address, "0x%X", base);
  std::string line = "Cannot claim the I/O ports of LPT" + std::to_string(port_number) + " at " +
                     address + ": " + std::strerror(error);
  if (error == EPERM) {
    line +=
        " (root rights are needed; to root as well, a kernel in lockdown refuses them: "
        "see dmesg)";
  } else if (error == ENOSYS) {
    line += " (this machine has no x86 I/O ports: use --device or --gpio)";
  }
  return line;
}

#ifdef TARNEL_HAVE_PORT_IO

bool IoPort::claim(int port_number, uint16_t base, std::string* why) {
  if (ioperm(base, 3, 1) == 0) return true;
  if (why) *why = ioperm_problem(errno, port_number, base);
  return false;
}

uint8_t IoPort::port_in(uint16_t address) { return inb(address); }

void IoPort::port_out(uint16_t address, uint8_t value) { outb(value, address); }

#else

// No x86 port I/O on this machine: the port can never be claimed, so the
// register functions are never reached.
bool IoPort::claim(int port_number, uint16_t base, std::string* why) {
  if (why) *why = ioperm_problem(ENOSYS, port_number, base);
  return false;
}
uint8_t IoPort::port_in(uint16_t) { return 0xFF; }
void IoPort::port_out(uint16_t, uint8_t) {}

#endif

}  // namespace tarnel

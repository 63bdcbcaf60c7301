#include "link/io_port.h"

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define TARNEL_HAVE_PORT_IO 1
#endif

namespace tarnel {

#ifdef TARNEL_HAVE_PORT_IO

bool IoPort::claim(int, uint16_t base, std::string*) { return ioperm(base, 3, 1) == 0; }

uint8_t IoPort::port_in(uint16_t address) { return inb(address); }

void IoPort::port_out(uint16_t address, uint8_t value) { outb(value, address); }

#else

// No x86 port I/O on this machine: the port can never be claimed, so the
// register functions are never reached.
bool IoPort::claim(int, uint16_t, std::string*) { return false; }
uint8_t IoPort::port_in(uint16_t) { return 0xFF; }
void IoPort::port_out(uint16_t, uint8_t) {}

#endif

}  // namespace tarnel

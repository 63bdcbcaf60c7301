// The printer port through the kernel's parallel-port device, /dev/parportN
// (the ppdev driver): the kernel claims the port for this process alone,
// whatever the card's address and under lockdown too, and an ordinary user
// with access to the device (usually the lp group) may use it.
//
//   register  access                 device call
//   data      port_out(base)         PPWDATA
//   status    port_in(base + 1)      PPRSTATUS
//   control   port_out(base + 2)     PPWCONTROL
//
// The claim: open, PPEXCL (no sharing with lp or any other driver), PPCLAIM,
// PPDATADIR 0 (the data lines driven as outputs). The release: PPRELEASE and
// close, when the port goes away, after a failed claim, and from a signal
// that ends the program (release_device_on_signal).
#ifndef TARNEL_LINK_DEVICE_PORT_H_
#define TARNEL_LINK_DEVICE_PORT_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "link/port.h"

namespace tarnel {

/// The system calls the backend makes on the device, so that a test can
/// stand in for the kernel. Each returns what the call returns, or -errno.
/// The system's own calls are async-signal-safe.
class DeviceCalls {
 public:
  virtual ~DeviceCalls() = default;
  /// Opens `path` for reading and writing (close-on-exec), with the rights
  /// of the user who started the program (the real user ID).
  virtual int open(const std::string& path) = 0;
  virtual int ioctl(int fd, unsigned long request, void* arg) = 0;
  virtual int close(int fd) = 0;
};

/// open(2), ioctl(2) and close(2).
DeviceCalls& system_device_calls();

class DevicePort : public Port {
 public:
  /// `device`: the device path, such as "/dev/parport0". `calls` must
  /// outlive the port. `sys_root` is where the kernel's records of the
  /// ports are looked for ("/" on a running system).
  explicit DevicePort(std::string device, DeviceCalls& calls = system_device_calls(),
                      std::string sys_root = "/");
  ~DevicePort() override;
  DevicePort(const DevicePort&) = delete;
  DevicePort& operator=(const DevicePort&) = delete;

  /// The card's real base address where the kernel tells it (see
  /// device_base_address), else `usual`.
  uint16_t base_address(int port_number, uint16_t usual) override;
  /// Opens and claims the device. On failure everything done is undone and
  /// *why names the device and the reason.
  bool claim(int port_number, uint16_t base, std::string* why) override;
  std::string own_file() const override { return device_; }
  uint8_t port_in(uint16_t address) override;
  void port_out(uint16_t address, uint8_t value) override;

  /// Gives the port back to the kernel and closes the device; harmless when
  /// not claimed. Async-signal-safe with the system's calls.
  void release();

  bool claimed() const { return fd_.load() >= 0; }
  const std::string& device() const { return device_; }
  /// Register calls that the kernel refused (a port that went away).
  uint64_t failed_calls() const { return failed_calls_; }

 private:
  std::string device_;
  DeviceCalls& calls_;
  std::string sys_root_;
  std::atomic<int> fd_{-1};
  uint16_t base_ = 0;
  uint64_t failed_calls_ = 0;
};

/// Releases the port of the DevicePort claimed last, if any: for a handler
/// of a signal that ends the program.
void release_device_on_signal();

/// The I/O address of the data register of the port behind `device`, as
/// the kernel records it under `sys_root`: sys/class/parport/parportN/base_addr,
/// else proc/sys/dev/parport/parportN/base-addr (its first number). N is the
/// device's minor number when it is the parallel-port character device,
/// else the number that ends its name. 0 when not known.
uint16_t device_base_address(const std::string& device, const std::string& sys_root);

}  // namespace tarnel

#endif  // TARNEL_LINK_DEVICE_PORT_H_

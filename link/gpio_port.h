// The printer port made of ten GPIO lines of a single-board computer,
// through the kernel's GPIO character device (/dev/gpiochipN) and its
// version-2 line requests. Five lines are outputs, the data register's
// D0-D4; five are inputs, the status register's bits 3-7:
//
//   register  access             lines                   device call
//   data      port_out(base)     D0-D4 -> outputs 0-4    GPIO_V2_LINE_SET_VALUES_IOCTL
//   status    port_in(base + 1)  inputs 0-4 -> bits 3-7  GPIO_V2_LINE_GET_VALUES_IOCTL
//   control   port_out(base + 2) none                    none
//
// A printer port's hardware inverts BUSY (status bit 7); the lines read
// levels, so the backend inverts bit 7 itself. Bits 0-2 have no lines and
// read as 1, as on the virtual cable.
//
// The claim: open the chip with the starting user's rights, GPIO_GET_CHIPINFO
// (a GPIO chip, and how many lines it has), then one line request for the
// five outputs (driven low: the idle data register 0x00) and one for the
// five inputs. The release closes both requests: when the port goes away,
// after a failed claim (nothing is left claimed half) and from a signal
// that ends the program (release_gpio_on_signal).
#ifndef TARNEL_LINK_GPIO_PORT_H_
#define TARNEL_LINK_GPIO_PORT_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "link/device_port.h"
#include "link/port.h"

namespace tarnel {

/// Which line of the chip carries which of the port's ten lines.
struct GpioLines {
  /// D0-D4: the data register's bits 0-4.
  std::array<uint32_t, 5> outputs;
  /// ERROR, SELECT, PAPER END, ACK, BUSY: the status register's bits 3-7.
  std::array<uint32_t, 5> inputs;
};

/// The Raspberry Pi's 40-pin header (BCM numbers, the line offsets of its
/// header chip): D0-D4 on GPIO 17, 27, 22, 23, 24 (pins 11, 13, 15, 16, 18);
/// ERROR, SELECT, PAPER END, ACK, BUSY on GPIO 5, 6, 13, 19, 26 (pins 29,
/// 31, 33, 35, 37); ground on pin 39. None of them has a function that the
/// board turns on by default (I2C, UART, SPI, the ID EEPROM).
constexpr GpioLines kRaspberryPiLines = {{17, 27, 22, 23, 24}, {5, 6, 13, 19, 26}};

/// Reads "OUT0,...,OUT4:IN3,...,IN7" (line offsets in decimal). False with a
/// one-line reason when a part is missing or is no number, or a line is
/// given twice.
bool parse_gpio_lines(const std::string& text, GpioLines* lines, std::string* error);

/// The text parse_gpio_lines reads.
std::string gpio_lines_text(const GpioLines& lines);

/// "/dev/gpiochip0" for "gpiochip0" and "0"; any other text as it is.
std::string gpio_chip_path(const std::string& chip);

class GpioPort : public Port {
 public:
  /// `chip`: the chip's path ("/dev/gpiochip0"). `calls` must outlive the
  /// port (the system's calls open with the starting user's rights).
  GpioPort(std::string chip, const GpioLines& lines, DeviceCalls& calls = system_device_calls());
  ~GpioPort() override;
  GpioPort(const GpioPort&) = delete;
  GpioPort& operator=(const GpioPort&) = delete;

  /// Requests the lines. On failure nothing stays requested and *why names
  /// the chip and the reason.
  bool claim(int port_number, uint16_t base, std::string* why) override;
  std::string own_file() const override { return chip_; }
  uint8_t port_in(uint16_t address) override;
  void port_out(uint16_t address, uint8_t value) override;

  /// Gives the lines back; harmless when not claimed. Async-signal-safe with
  /// the system's calls.
  void release();

  bool claimed() const { return outputs_fd_.load() >= 0; }
  /// Register calls that the kernel refused (a chip that went away).
  uint64_t failed_calls() const { return failed_calls_; }

 private:
  std::string chip_;
  GpioLines lines_;
  DeviceCalls& calls_;
  std::atomic<int> outputs_fd_{-1};
  std::atomic<int> inputs_fd_{-1};
  uint16_t base_ = 0;
  uint64_t failed_calls_ = 0;
};

/// Releases the lines of the GpioPort claimed last, if any: for a handler
/// of a signal that ends the program.
void release_gpio_on_signal();

/// The status register for the five input levels (bit i: input i high).
constexpr uint8_t status_for_levels(uint64_t levels) {
  return static_cast<uint8_t>(0x07 | ((levels & 0x0F) << 3) | ((levels & 0x10) ? 0x00 : 0x80));
}

}  // namespace tarnel

#endif  // TARNEL_LINK_GPIO_PORT_H_

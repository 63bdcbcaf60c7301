#include "link/gpio_port.h"

#include <linux/gpio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarnel {
namespace {

// The port that a signal ending the program gives back.
std::atomic<GpioPort*> signal_port{nullptr};

constexpr uint64_t kFiveLines = 0x1F;

bool parse_line(const std::string& text, uint32_t* line) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  *line = value;
  return true;
}

bool parse_five(const std::string& part, const char* what, std::array<uint32_t, 5>* out,
                std::string* error) {
  size_t start = 0;
  for (size_t i = 0; i < 5; ++i) {
    const size_t comma = part.find(',', start);
    const bool last = i == 4;
    if (last != (comma == std::string::npos)) {
      *error = std::string("--gpio-lines needs five ") + what + " lines, not \"" + part + "\"";
      return false;
    }
    const std::string number = part.substr(start, last ? std::string::npos : comma - start);
    if (!parse_line(number, &(*out)[i])) {
      *error = "--gpio-lines: \"" + number + "\" is no line number";
      return false;
    }
    start = comma + 1;
  }
  return true;
}

std::string request_problem(int error, const GpioLines& lines, bool outputs) {
  const char* which = outputs ? "output" : "input";
  const std::array<uint32_t, 5>& offsets = outputs ? lines.outputs : lines.inputs;
  std::string list;
  for (uint32_t offset : offsets) list += (list.empty() ? "" : ",") + std::to_string(offset);
  switch (error) {
    case EBUSY:
      return std::string("the ") + which + " lines " + list +
             " are busy: another driver or program holds one of them";
    case EINVAL:
      return std::string("the chip refuses the ") + which + " lines " + list;
    default:
      return std::string("cannot request the ") + which + " lines " + list + ": " +
             std::strerror(error);
  }
}

}  // namespace

bool parse_gpio_lines(const std::string& text, GpioLines* lines, std::string* error) {
  std::string unused;
  if (!error) error = &unused;
  const size_t colon = text.find(':');
  if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) {
    *error = "--gpio-lines needs OUT0,...,OUT4:IN3,...,IN7, not \"" + text + "\"";
    return false;
  }
  GpioLines l;
  if (!parse_five(text.substr(0, colon), "output", &l.outputs, error) ||
      !parse_five(text.substr(colon + 1), "input", &l.inputs, error)) {
    return false;
  }
  std::array<uint32_t, 10> all;
  std::copy(l.outputs.begin(), l.outputs.end(), all.begin());
  std::copy(l.inputs.begin(), l.inputs.end(), all.begin() + 5);
  for (size_t i = 0; i < all.size(); ++i) {
    for (size_t j = i + 1; j < all.size(); ++j) {
      if (all[i] == all[j]) {
        *error = "--gpio-lines names line " + std::to_string(all[i]) + " twice";
        return false;
      }
    }
  }
  *lines = l;
  return true;
}

std::string gpio_lines_text(const GpioLines& lines) {
  std::string text;
  for (size_t i = 0; i < 5; ++i) text += (i ? "," : "") + std::to_string(lines.outputs[i]);
  text += ":";
  for (size_t i = 0; i < 5; ++i) text += (i ? "," : "") + std::to_string(lines.inputs[i]);
  return text;
}

std::string gpio_chip_path(const std::string& chip) {
  if (!chip.empty() && chip.find_first_not_of("0123456789") == std::string::npos) {
    return "/dev/gpiochip" + chip;
  }
  if (chip.rfind("gpiochip", 0) == 0) return "/dev/" + chip;
  return chip;
}

GpioPort::GpioPort(std::string chip, const GpioLines& lines, DeviceCalls& calls)
    : chip_(std::move(chip)), lines_(lines), calls_(calls) {}

GpioPort::~GpioPort() { release(); }

bool GpioPort::claim(int, uint16_t base, std::string* why) {
  if (claimed()) {
    base_ = base;
    return true;
  }
  int requested[2] = {-1, -1};
  const int chip = calls_.open(chip_);
  auto fail = [&](const std::string& what) {
    for (int fd : requested) {
      if (fd >= 0) calls_.close(fd);
    }
    if (chip >= 0) calls_.close(chip);
    if (why) *why = "Cannot use the GPIO chip " + chip_ + ": " + what;
    return false;
  };
  if (chip < 0) {
    std::string what = std::strerror(-chip);
    if (chip == -EACCES || chip == -EPERM) {
      what += " (the user needs access to the chip, usually through the gpio group)";
    }
    return fail(what);
  }
  gpiochip_info info{};
  if (const int r = calls_.ioctl(chip, GPIO_GET_CHIPINFO_IOCTL, &info); r < 0) {
    if (r == -ENOTTY || r == -EINVAL) return fail("not a GPIO chip");
    return fail(std::string("cannot read the chip: ") + std::strerror(-r));
  }
  for (const auto* offsets : {&lines_.outputs, &lines_.inputs}) {
    for (uint32_t offset : *offsets) {
      if (offset >= info.lines) {
        return fail("line " + std::to_string(offset) + " is beyond the chip's " +
                    std::to_string(info.lines) + " lines (0 to " +
                    std::to_string(info.lines == 0 ? 0 : info.lines - 1) + ")");
      }
    }
  }
  for (int i = 0; i < 2; ++i) {
    const bool outputs = i == 0;
    const std::array<uint32_t, 5>& offsets = outputs ? lines_.outputs : lines_.inputs;
    gpio_v2_line_request request{};
    for (size_t n = 0; n < offsets.size(); ++n) request.offsets[n] = offsets[n];
    request.num_lines = static_cast<uint32_t>(offsets.size());
    std::strncpy(request.consumer, "tarnel", sizeof request.consumer - 1);
    // Outputs start low, the data register's idle 0x00.
    request.config.flags = outputs ? GPIO_V2_LINE_FLAG_OUTPUT : GPIO_V2_LINE_FLAG_INPUT;
    if (const int r = calls_.ioctl(chip, GPIO_V2_GET_LINE_IOCTL, &request); r < 0) {
      return fail(request_problem(-r, lines_, outputs));
    }
    requested[i] = request.fd;
  }
  // The requests stand by themselves; the chip is not needed any more.
  calls_.close(chip);
  base_ = base;
  inputs_fd_.store(requested[1]);
  outputs_fd_.store(requested[0]);
  signal_port.store(this);
  return true;
}

void GpioPort::release() {
  const int outputs = outputs_fd_.exchange(-1);
  const int inputs = inputs_fd_.exchange(-1);
  if (outputs < 0 && inputs < 0) return;
  GpioPort* self = this;
  signal_port.compare_exchange_strong(self, nullptr);
  if (outputs >= 0) calls_.close(outputs);
  if (inputs >= 0) calls_.close(inputs);
}

uint8_t GpioPort::port_in(uint16_t address) {
  const int fd = inputs_fd_.load(std::memory_order_relaxed);
  if (fd < 0 || address != base_ + 1) return 0xFF;  // nothing else is read
  gpio_v2_line_values values{};
  values.mask = kFiveLines;
  if (calls_.ioctl(fd, GPIO_V2_LINE_GET_VALUES_IOCTL, &values) < 0) {
    ++failed_calls_;
    return 0xFF;  // as the inputs read with nothing attached
  }
  return status_for_levels(values.bits);
}

void GpioPort::port_out(uint16_t address, uint8_t value) {
  const int fd = outputs_fd_.load(std::memory_order_relaxed);
  // The control register has no lines: the cable does not use it.
  if (fd < 0 || address != base_) return;
  gpio_v2_line_values values{};
  values.bits = value & kFiveLines;
  values.mask = kFiveLines;
  if (calls_.ioctl(fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) < 0) ++failed_calls_;
}

void release_gpio_on_signal() {
  if (GpioPort* port = signal_port.load()) port->release();
}

}  // namespace tarnel

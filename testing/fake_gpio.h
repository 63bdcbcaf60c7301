// A GPIO chip for tests in place of the kernel's character device: answers
// the chip's information and the version-2 line requests, keeps the level of
// every output line, records each call the GpioPort makes (the value reads
// and writes only counted, without a lock, so that a signal handler may
// release the lines in the middle of them), and refuses what a test chooses
// with the error it chooses. Levels of input lines come from `inputs` (a peer's outputs, for
// two fakes joined crosswise).
#ifndef TARNEL_TESTING_FAKE_GPIO_H_
#define TARNEL_TESTING_FAKE_GPIO_H_

#include <linux/gpio.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "link/device_port.h"

namespace tarnel::testing {

class FakeGpioChip : public DeviceCalls {
 public:
  static constexpr int kChipFd = 20;

  /// How many lines the chip has (a Raspberry Pi 4's header chip has 58).
  uint32_t lines = 58;
  /// The errno that open gives; 0: it opens.
  int open_error = 0;
  /// Requests the chip refuses, with their errno.
  std::map<unsigned long, int> refuse;
  /// Lines that another driver or program holds.
  std::set<uint32_t> busy;
  /// The level of each line an input request reads, by offset; all low when
  /// unset.
  std::function<bool(uint32_t offset)> inputs;
  /// Where each recorded call is also written, one line each (for a test
  /// whose chip lives in another process); -1: nowhere.
  int mirror_fd = -1;

  int open(const std::string& path) override {
    record("open " + path);
    if (open_error != 0) return -open_error;
    chip_open_.store(true);
    return kChipFd;
  }

  int ioctl(int fd, unsigned long request, void* arg) override {
    if (request == GPIO_V2_LINE_SET_VALUES_IOCTL || request == GPIO_V2_LINE_GET_VALUES_IOCTL) {
      return line_values(fd, request, static_cast<gpio_v2_line_values*>(arg));
    }
    if (fd != kChipFd || !chip_open_.load()) {
      record("ioctl on a descriptor not open");
      return -EBADF;
    }
    if (request == GPIO_GET_CHIPINFO_IOCTL) {
      record("CHIPINFO");
      if (refuse.count(request)) return -refuse[request];
      auto* info = static_cast<gpiochip_info*>(arg);
      *info = gpiochip_info{};
      snprintf(info->name, sizeof info->name, "gpiochip0");
      snprintf(info->label, sizeof info->label, "fake");
      info->lines = lines;
      return 0;
    }
    if (request == GPIO_V2_GET_LINE_IOCTL) {
      return get_line(*static_cast<gpio_v2_line_request*>(arg));
    }
    record("ioctl " + std::to_string(request));
    return -ENOTTY;
  }

  int close(int fd) override {
    if (fd == kChipFd && chip_open_.exchange(false)) {
      record("close chip");
      return 0;
    }
    Slot* slot = find(fd);
    if (!slot) {
      record("close of a descriptor not open");
      return -EBADF;
    }
    record(std::string("close ") + (slot->output ? "outputs" : "inputs"));
    slot->fd.store(-1);
    return 0;
  }

  /// The level this chip drives on output line `offset` (false when it is
  /// not an output of an open request).
  bool output_level(uint32_t offset) const {
    for (const Slot& slot : slots_) {
      if (slot.fd.load() < 0 || !slot.output) continue;
      for (uint32_t i = 0; i < slot.count; ++i) {
        if (slot.offsets[i] == offset) return (slot.levels.load() >> i) & 1;
      }
    }
    return false;
  }

  /// Every call but the value reads and writes, in order.
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  uint64_t value_reads() const { return value_reads_.load(); }
  uint64_t value_writes() const { return value_writes_.load(); }
  /// The last values written: bits and mask, in the request's line order.
  std::pair<uint64_t, uint64_t> last_write() const {
    return {last_bits_.load(), last_mask_.load()};
  }
  /// Descriptors open: the chip and each line request.
  size_t open_descriptors() const {
    size_t open = chip_open_.load() ? 1 : 0;
    for (const Slot& slot : slots_) open += slot.fd.load() >= 0 ? 1 : 0;
    return open;
  }

 private:
  // A line request. The value calls and the release read it without a lock,
  // as a signal handler may release the lines while the server polls them.
  struct Slot {
    std::atomic<int> fd{-1};
    bool output = false;
    uint32_t count = 0;
    std::array<uint32_t, GPIO_V2_LINES_MAX> offsets{};
    std::atomic<uint64_t> levels{0};  // the outputs' levels, bit i: offsets[i]
  };

  Slot* find(int fd) {
    for (Slot& slot : slots_) {
      if (fd >= 0 && slot.fd.load() == fd) return &slot;
    }
    return nullptr;
  }

  bool held(uint32_t offset) const {
    for (const Slot& slot : slots_) {
      if (slot.fd.load() < 0) continue;
      for (uint32_t i = 0; i < slot.count; ++i) {
        if (slot.offsets[i] == offset) return true;
      }
    }
    return false;
  }

  int get_line(gpio_v2_line_request& request) {
    const bool output = request.config.flags & GPIO_V2_LINE_FLAG_OUTPUT;
    const bool input = request.config.flags & GPIO_V2_LINE_FLAG_INPUT;
    std::string name = output ? "request outputs" : input ? "request inputs" : "request ?";
    const uint32_t count = std::min<uint32_t>(request.num_lines, GPIO_V2_LINES_MAX);
    for (uint32_t i = 0; i < count; ++i) {
      name += (i ? "," : " ") + std::to_string(request.offsets[i]);
    }
    record(name + " " + request.consumer);
    if (refuse.count(GPIO_V2_GET_LINE_IOCTL)) return -refuse[GPIO_V2_GET_LINE_IOCTL];
    // As the kernel: no lines, both or no direction, a line beyond the chip.
    if (request.num_lines == 0 || request.num_lines > GPIO_V2_LINES_MAX || output == input) {
      return -EINVAL;
    }
    for (uint32_t i = 0; i < count; ++i) {
      if (request.offsets[i] >= lines) return -EINVAL;
    }
    for (uint32_t i = 0; i < count; ++i) {
      if (busy.count(request.offsets[i]) || held(request.offsets[i])) return -EBUSY;
      for (uint32_t j = 0; j < i; ++j) {
        if (request.offsets[j] == request.offsets[i]) return -EBUSY;
      }
    }
    for (Slot& slot : slots_) {
      if (slot.fd.load() >= 0) continue;
      slot.output = output;
      slot.count = count;
      std::copy(request.offsets, request.offsets + count, slot.offsets.begin());
      slot.levels.store(0);  // no initial values asked: low
      request.fd = next_fd_++;
      slot.fd.store(request.fd);
      return 0;
    }
    return -EMFILE;
  }

  int line_values(int fd, unsigned long request, gpio_v2_line_values* values) {
    const bool set = request == GPIO_V2_LINE_SET_VALUES_IOCTL;
    // A system call lets other threads run; a fake that answers at once
    // must too, or two ends polling each other on a loaded machine starve
    // the one that is to answer.
    if ((set ? value_writes_ : value_reads_)++ % 64 == 63) sched_yield();
    Slot* slot = find(fd);
    if (!slot) return -EBADF;
    if (!refuse.empty() && refuse.count(request)) return -refuse.at(request);
    if (set) {
      if (!slot->output) return -EPERM;  // as the kernel for an input
      last_bits_.store(values->bits);
      last_mask_.store(values->mask);
      slot->levels.store((slot->levels.load() & ~values->mask) | (values->bits & values->mask));
      return 0;
    }
    uint64_t bits = 0;
    for (uint32_t i = 0; i < slot->count; ++i) {
      if ((values->mask & (1ull << i)) && inputs && inputs(slot->offsets[i])) bits |= 1ull << i;
    }
    values->bits = bits;
    return 0;
  }

  void record(const std::string& call) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(call);
    }
    if (mirror_fd >= 0) {
      const std::string line = call + "\n";
      const ssize_t written = ::write(mirror_fd, line.data(), line.size());
      (void)written;  // a test that reads the lines sees what is missing
    }
  }

  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  std::array<Slot, 4> slots_;
  int next_fd_ = 21;
  std::atomic<bool> chip_open_{false};
  std::atomic<uint64_t> last_bits_{0};
  std::atomic<uint64_t> last_mask_{0};
  std::atomic<uint64_t> value_reads_{0};
  std::atomic<uint64_t> value_writes_{0};
};

/// Joins two chips crosswise, as the cable joins two printer ports: each
/// one's D0-D4 `outputs` drive the other's ERROR, SELECT, PAPER END, ACK and
/// BUSY `inputs`.
inline void join_crosswise(FakeGpioChip& a, FakeGpioChip& b, const std::array<uint32_t, 5>& outputs,
                           const std::array<uint32_t, 5>& inputs) {
  const auto wire = [outputs, inputs](FakeGpioChip& from) {
    return [&from, outputs, inputs](uint32_t offset) {
      for (size_t i = 0; i < 5; ++i) {
        if (inputs[i] == offset) return from.output_level(outputs[i]);
      }
      return false;
    };
  };
  a.inputs = wire(b);
  b.inputs = wire(a);
}

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_FAKE_GPIO_H_

// A parallel-port device for tests in place of the kernel's: records every
// call the DevicePort makes (status reads only counted), plays the status
// register, and refuses the calls a test chooses with the error it chooses.
#ifndef TARNEL_TESTING_FAKE_DEVICE_H_
#define TARNEL_TESTING_FAKE_DEVICE_H_

#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "link/device_port.h"

namespace tarnel::testing {

class FakeDevice : public DeviceCalls {
 public:
  static constexpr int kFd = 7;

  /// The errno that open gives; 0: it opens.
  int open_error = 0;
  /// Requests the device refuses, with their errno.
  std::map<unsigned long, int> refuse;
  /// Plays the status register; idle lines (peer's handshake low) if unset.
  std::function<uint8_t()> status;
  /// Called with each value written to the data and control registers.
  std::function<void(uint8_t)> on_data;
  std::function<void(uint8_t)> on_control;
  /// Where each recorded call is also written, one line each (for a test
  /// whose device lives in another process); -1: nowhere.
  int mirror_fd = -1;

  int open(const std::string& path) override {
    record("open " + path);
    if (open_error != 0) return -open_error;
    open_ = true;
    return kFd;
  }

  int ioctl(int fd, unsigned long request, void* arg) override {
    if (fd != kFd || !open_) {
      record("ioctl on a descriptor not open");
      return -EBADF;
    }
    if (request == PPRSTATUS) {
      ++status_reads_;
      if (refuse.count(request)) return -refuse[request];
      *static_cast<unsigned char*>(arg) = status ? status() : 0x87;
      return 0;
    }
    std::string name = request_name(request);
    if (request == PPDATADIR) name += " " + std::to_string(*static_cast<int*>(arg));
    const bool byte_arg = request == PPWDATA || request == PPWCONTROL;
    const uint8_t byte = byte_arg ? *static_cast<unsigned char*>(arg) : 0;
    if (byte_arg) name += " " + hex(byte);
    record(name);
    if (refuse.count(request)) return -refuse[request];
    if (request == PPWDATA && on_data) on_data(byte);
    if (request == PPWCONTROL && on_control) on_control(byte);
    return 0;
  }

  int close(int fd) override {
    record("close");
    if (fd != kFd || !open_) return -EBADF;
    open_ = false;
    return 0;
  }

  /// Every call but the status reads, in order.
  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  uint64_t status_reads() const { return status_reads_.load(); }
  bool is_open() const { return open_; }

  static std::string hex(uint8_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v);
    return text;
  }

 private:
  static std::string request_name(unsigned long request) {
    switch (request) {
      case PPEXCL:
        return "PPEXCL";
      case PPCLAIM:
        return "PPCLAIM";
      case PPRELEASE:
        return "PPRELEASE";
      case PPDATADIR:
        return "PPDATADIR";
      case PPWDATA:
        return "PPWDATA";
      case PPWCONTROL:
        return "PPWCONTROL";
      default:
        return "ioctl " + std::to_string(request);
    }
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
  std::atomic<uint64_t> status_reads_{0};
  std::atomic<bool> open_{false};
};

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_FAKE_DEVICE_H_

#include "link/device_port.h"

#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace tarnel {
namespace {

// The character devices of the ppdev driver (PP_MAJOR in the kernel).
constexpr unsigned kParportMajor = 99;

class SystemDeviceCalls : public DeviceCalls {
 public:
  // With the rights of the user who started the program: a set-user-ID
  // program must not open for the user what the user could not open.
  int open(const std::string& path) override {
    const uid_t effective = geteuid();
    const uid_t real = getuid();
    if (effective != real && seteuid(real) != 0) return -errno;
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    const int error = errno;
    // Root back for the rest of start-up, which gives it up for good; where
    // that fails, the program simply goes on with the user's rights.
    const bool back = effective == real || seteuid(effective) == 0;
    (void)back;
    return fd < 0 ? -error : fd;
  }
  int ioctl(int fd, unsigned long request, void* arg) override {
    const int r = ::ioctl(fd, request, arg);
    return r < 0 ? -errno : r;
  }
  int close(int fd) override { return ::close(fd) < 0 ? -errno : 0; }
};

// The port that a signal ending the program gives back.
std::atomic<DevicePort*> signal_port{nullptr};

std::string open_problem(int error) {
  std::string what = std::strerror(error);
  if (error == EACCES || error == EPERM) {
    what += " (the user needs access to the device, usually through the lp group)";
  }
  return what;
}

std::string claim_problem(int error) {
  switch (error) {
    case EBUSY:
      return "the port is busy: another driver such as lp, or another program, holds it";
    case ENXIO:
      return "the kernel does not grant the port: another driver such as lp, or another "
             "program, holds it, or no port is behind the device";
    default:
      return std::string("cannot claim the port: ") + std::strerror(error);
  }
}

// The port number behind the device: its minor number when it is the
// parallel-port device, else the digits that end its name.
int device_index(const std::string& device) {
  struct stat st;
  if (stat(device.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) == kParportMajor) {
    return static_cast<int>(minor(st.st_rdev));
  }
  size_t digits = device.size();
  while (digits > 0 && device[digits - 1] >= '0' && device[digits - 1] <= '9') --digits;
  if (digits == device.size() || device.size() - digits > 4) return -1;
  return std::stoi(device.substr(digits));
}

// The first number in the file (decimal, or hexadecimal after "0x") when it
// can be a port base: its three registers below 0x10000, and not 0.
uint16_t base_from_file(const std::string& path) {
  std::ifstream in(path);
  std::string word;
  if (!(in >> word) || word.empty()) return 0;
  int radix = 10;
  size_t start = 0;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    radix = 16;
    start = 2;
  }
  unsigned long value = 0;
  for (size_t i = start; i < word.size(); ++i) {
    const char c = word[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (radix == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (radix == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return 0;
    }
    value = value * static_cast<unsigned long>(radix) + static_cast<unsigned long>(digit);
    if (value > 0xFFFD) return 0;
  }
  return static_cast<uint16_t>(value);
}

}  // namespace

DeviceCalls& system_device_calls() {
  static SystemDeviceCalls calls;
  return calls;
}

uint16_t device_base_address(const std::string& device, const std::string& sys_root) {
  const int index = device_index(device);
  if (index < 0) return 0;
  std::string root = sys_root;
  if (!root.empty() && root.back() == '/') root.pop_back();
  const std::string name = "parport" + std::to_string(index);
  for (const std::string& path : {root + "/sys/class/parport/" + name + "/base_addr",
                                  root + "/proc/sys/dev/parport/" + name + "/base-addr"}) {
    if (const uint16_t base = base_from_file(path); base != 0) return base;
  }
  return 0;
}

DevicePort::DevicePort(std::string device, DeviceCalls& calls, std::string sys_root)
    : device_(std::move(device)), calls_(calls), sys_root_(std::move(sys_root)) {}

DevicePort::~DevicePort() { release(); }

uint16_t DevicePort::base_address(int, uint16_t usual) {
  const uint16_t base = device_base_address(device_, sys_root_);
  return base != 0 ? base : usual;
}

bool DevicePort::claim(int, uint16_t base, std::string* why) {
  if (claimed()) {
    base_ = base;
    return true;
  }
  auto fail = [&](const std::string& what) {
    if (why) *why = "Cannot use the parallel-port device " + device_ + ": " + what;
    return false;
  };
  const int fd = calls_.open(device_);
  if (fd < 0) return fail(open_problem(-fd));
  // Exclusive: a driver such as lp sharing the port would write to the
  // data lines in the middle of a frame.
  if (const int r = calls_.ioctl(fd, PPEXCL, nullptr); r < 0) {
    calls_.close(fd);
    if (r == -ENOTTY || r == -EINVAL) return fail("not a parallel-port device");
    return fail(std::string("cannot ask for the port alone: ") + std::strerror(-r));
  }
  if (const int r = calls_.ioctl(fd, PPCLAIM, nullptr); r < 0) {
    calls_.close(fd);
    return fail(claim_problem(-r));
  }
  int reverse = 0;  // the data lines driven as outputs
  if (const int r = calls_.ioctl(fd, PPDATADIR, &reverse); r < 0) {
    calls_.ioctl(fd, PPRELEASE, nullptr);
    calls_.close(fd);
    return fail(std::string("cannot drive the data lines: ") + std::strerror(-r));
  }
  base_ = base;
  fd_.store(fd);
  signal_port.store(this);
  return true;
}

void DevicePort::release() {
  const int fd = fd_.exchange(-1);
  if (fd < 0) return;
  DevicePort* self = this;
  signal_port.compare_exchange_strong(self, nullptr);
  calls_.ioctl(fd, PPRELEASE, nullptr);
  calls_.close(fd);
}

uint8_t DevicePort::port_in(uint16_t address) {
  const int fd = fd_.load(std::memory_order_relaxed);
  if (fd < 0 || address != base_ + 1) return 0xFF;  // nothing else is read
  unsigned char status = 0xFF;
  if (calls_.ioctl(fd, PPRSTATUS, &status) < 0) {
    ++failed_calls_;
    return 0xFF;  // as the inputs read with nothing attached
  }
  return status;
}

void DevicePort::port_out(uint16_t address, uint8_t value) {
  const int fd = fd_.load(std::memory_order_relaxed);
  if (fd < 0) return;
  unsigned long request;
  if (address == base_) {
    request = PPWDATA;
  } else if (address == base_ + 2) {
    request = PPWCONTROL;
  } else {
    return;
  }
  unsigned char byte = value;
  if (calls_.ioctl(fd, request, &byte) < 0) ++failed_calls_;
}

void release_device_on_signal() {
  if (DevicePort* port = signal_port.load()) port->release();
}

}  // namespace tarnel

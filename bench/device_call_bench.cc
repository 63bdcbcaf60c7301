// The time of one device call, which bounds the link's pace on the
// parallel-port device: every register access there is one ioctl. Without a
// real /dev/parportN, two round trips of the same shape are measured
// through the backend's own calls (system_device_calls):
//
//   Rejected   PPRSTATUS on /dev/null: system call, descriptor lookup and
//              the ioctl dispatch, refused with ENOTTY
//   Terminal   TCGETS on a pseudo-terminal: a driver's ioctl that copies its
//              answer out, as PPRSTATUS copies the status byte
//
// Times are wall-clock times: a call that waits for the processor waits on
// a real port too.
//
// A real port adds the bus cycle of its register (about 1 us on the ISA-style
// bus of a printer port) to each call.
//
// The GPIO backend (gpio_port.h) makes one ioctl per register access too.
// Its own work around the call is measured over a chip that answers at once
// (no system call):
//
//   GpioStatusRead  port_in of the status register: GET_VALUES and the
//                   levels turned into the status byte, BUSY inverted
//   GpioDataWrite   port_out of the data register: SET_VALUES of five lines
//   GpioRejected    GPIO_V2_LINE_GET_VALUES_IOCTL on /dev/null through the
//                   system's calls: the system call's floor on this machine
//
// A board's kernel adds its GPIO driver to each call; see the README for a
// published figure.
//
// Counters:
//   calls/s       device calls per second
//   burst         time of one wait_handshake burst (10000 status reads)
//   link_KB/s     payload bound at 11 accesses per byte (see link_bench.cc),
//                 before the port's own bus time
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <linux/ppdev.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "link/device_port.h"
#include "link/gpio_port.h"
#include "link/lines.h"

namespace tarnel {
namespace {

constexpr double kAccessesPerByte = 11;

void report(benchmark::State& state) {
  const double calls = static_cast<double>(state.iterations());
  state.counters["calls/s"] = benchmark::Counter(calls, benchmark::Counter::kIsRate);
  state.counters["burst"] = benchmark::Counter(
      calls / Lines::kBurstReads, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["link_KB/s"] =
      benchmark::Counter(calls / kAccessesPerByte / 1000, benchmark::Counter::kIsRate);
}

void BM_DeviceCallRejected(benchmark::State& state) {
  const int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    state.SkipWithError("cannot open /dev/null");
    return;
  }
  DeviceCalls& calls = system_device_calls();
  unsigned char status = 0;
  for (auto _ : state) {
    const int r = calls.ioctl(fd, PPRSTATUS, &status);
    benchmark::DoNotOptimize(r);
    if (r != -ENOTTY) {
      state.SkipWithError("/dev/null took PPRSTATUS");
      break;
    }
  }
  close(fd);
  report(state);
}

void BM_DeviceCallTerminal(benchmark::State& state) {
  const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    state.SkipWithError("no pseudo-terminal here");
    return;
  }
  DeviceCalls& calls = system_device_calls();
  termios settings;
  for (auto _ : state) {
    const int r = calls.ioctl(fd, TCGETS, &settings);
    benchmark::DoNotOptimize(r);
    if (r != 0) {
      state.SkipWithError("TCGETS failed");
      break;
    }
  }
  close(fd);
  report(state);
}

// A chip that answers every call at once: what is left is the backend's own
// work per access.
class ImmediateChip : public DeviceCalls {
 public:
  int open(const std::string&) override { return 3; }
  int ioctl(int, unsigned long request, void* arg) override {
    switch (request) {
      case GPIO_GET_CHIPINFO_IOCTL:
        static_cast<gpiochip_info*>(arg)->lines = 64;
        return 0;
      case GPIO_V2_GET_LINE_IOCTL:
        static_cast<gpio_v2_line_request*>(arg)->fd = next_fd++;
        return 0;
      case GPIO_V2_LINE_GET_VALUES_IOCTL:
        static_cast<gpio_v2_line_values*>(arg)->bits = levels++;
        return 0;
      default:
        return 0;
    }
  }
  int close(int) override { return 0; }

  int next_fd = 4;
  uint64_t levels = 0;
};

void BM_GpioStatusRead(benchmark::State& state) {
  ImmediateChip chip;
  GpioPort port("/dev/gpiochip0", kRaspberryPiLines, chip);
  if (!port.claim(1, 0x378, nullptr)) {
    state.SkipWithError("the claim failed");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(port.port_in(0x379));
  report(state);
}

void BM_GpioDataWrite(benchmark::State& state) {
  ImmediateChip chip;
  GpioPort port("/dev/gpiochip0", kRaspberryPiLines, chip);
  if (!port.claim(1, 0x378, nullptr)) {
    state.SkipWithError("the claim failed");
    return;
  }
  uint8_t value = 0;
  for (auto _ : state) {
    port.port_out(0x378, value);
    value = static_cast<uint8_t>((value + 1) & 0x1F);
  }
  benchmark::DoNotOptimize(port.failed_calls());
  report(state);
}

void BM_GpioRejected(benchmark::State& state) {
  const int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    state.SkipWithError("cannot open /dev/null");
    return;
  }
  DeviceCalls& calls = system_device_calls();
  gpio_v2_line_values values{};
  values.mask = 0x1F;
  for (auto _ : state) {
    const int r = calls.ioctl(fd, GPIO_V2_LINE_GET_VALUES_IOCTL, &values);
    benchmark::DoNotOptimize(r);
    if (r != -ENOTTY) {
      state.SkipWithError("/dev/null took GPIO_V2_LINE_GET_VALUES_IOCTL");
      break;
    }
  }
  close(fd);
  report(state);
}

BENCHMARK(BM_GpioStatusRead)->Unit(benchmark::kNanosecond)->UseRealTime();
BENCHMARK(BM_GpioDataWrite)->Unit(benchmark::kNanosecond)->UseRealTime();
BENCHMARK(BM_GpioRejected)->Unit(benchmark::kNanosecond)->UseRealTime();
BENCHMARK(BM_DeviceCallRejected)->Unit(benchmark::kNanosecond)->UseRealTime();
BENCHMARK(BM_DeviceCallTerminal)->Unit(benchmark::kNanosecond)->UseRealTime();

}  // namespace
}  // namespace tarnel

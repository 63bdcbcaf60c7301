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
// Counters:
//   calls/s       device calls per second
//   burst         time of one wait_handshake burst (10000 status reads)
//   link_KB/s     payload bound at 11 accesses per byte (see link_bench.cc),
//                 before the port's own bus time
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "link/device_port.h"
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

BENCHMARK(BM_DeviceCallRejected)->Unit(benchmark::kNanosecond)->UseRealTime();
BENCHMARK(BM_DeviceCallTerminal)->Unit(benchmark::kNanosecond)->UseRealTime();

}  // namespace
}  // namespace tarnel

// Streams 1 MiB as 4096-byte frames between two processes over the virtual
// cable, in both directions: the server's end (end A, waiting as the server
// does) sending to a patient end B, and end B sending to the server's end.
//
// Counters:
//   KB/s          payload bytes per second / 1000
//   A_acc/B       port accesses of end A per payload byte (from the cable)
//   B_acc/B       the same for end B
//   acc_times/B   elapsed time per payload byte in units of bus_ns
//   of_limit      KB/s as a fraction of the limit below (bus_ns > 0)
//
// The limit. A payload byte to a peer that answers at once takes, one after
// the other: the sender's low-nibble write; the receiver's read that sees
// the handshake, its read of the nibble and its acknowledgement; the
// sender's read that sees it and its high-nibble write; the receiver's read
// that sees the handshake, its read of the nibble and its reply code; the
// sender's read that sees it and its read of the reply code: 11 accesses,
// 11 us at 1000 ns an access, 90.9 KB/s. On the virtual cable a write takes
// effect when it starts, so each detecting read may overlap the write it
// detects: 9 to 11 access times a byte, that is 110 to 90 KB/s, or 1.0 to
// 1.2 of the limit.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "link/frame.h"
#include "link/lines.h"
#include "link/receive.h"
#include "link/send.h"
#include "link/virtual_cable.h"

namespace tarnel {
namespace {

constexpr uint16_t kBase = 0x378;
constexpr int kFrames = 256;
constexpr int kFrameBytes = 4096;
constexpr double kPayload = double(kFrames) * kFrameBytes;  // 1 MiB
constexpr double kAccessesPerByte = 11;

std::vector<uint8_t> payload() {
  std::vector<uint8_t> out(static_cast<size_t>(kPayload));
  uint32_t x = 12345;
  for (auto& b : out) {
    x = x * 1103515245 + 12345;
    b = static_cast<uint8_t>(x >> 16);
  }
  return out;
}

bool send_stream(Lines& lines, const std::vector<uint8_t>& data) {
  FrameBuffer frame;
  for (int i = 0; i < kFrames; ++i) {
    frame.length = kFrameBytes;
    frame.number = i + 1;
    std::memcpy(frame.data, data.data() + static_cast<size_t>(i) * kFrameBytes, kFrameBytes);
    if (send_frame(lines, frame) != SendResult::SEND_OK) return false;
  }
  return true;
}

bool receive_stream(Lines& lines, const std::vector<uint8_t>& data) {
  FrameBuffer frame;
  for (int i = 0; i < kFrames; ++i) {
    frame.number = i + 1;
    if (receive_frame(lines, frame) != RecvResult::RECV_OK || frame.length != kFrameBytes)
      return false;
    if (std::memcmp(frame.data, data.data() + static_cast<size_t>(i) * kFrameBytes, kFrameBytes) !=
        0)
      return false;
  }
  return true;
}

std::string make_temp_dir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/tarnel-bench-XXXXXX";
  return mkdtemp(pattern.data()) ? pattern : std::string();
}

// One run of the stream. The server's end runs in this process and is timed;
// the patient end B runs in a child process.
void stream(benchmark::State& state, bool server_sends) {
  const uint32_t bus_ns = static_cast<uint32_t>(state.range(0));
  const std::vector<uint8_t> data = payload();
  double seconds = 0, accesses[2] = {0, 0};
  int64_t runs = 0;
  for (auto _ : state) {
    const std::string dir = make_temp_dir();
    if (dir.empty()) {
      state.SkipWithError("mkdtemp failed");
      return;
    }
    const std::string path = dir + "/bench.cable";
    CablePort port(path, VirtualCable::kEndA, bus_ns);
    std::string why;
    if (!port.claim(1, kBase, &why)) {
      state.SkipWithError(why.c_str());
      return;
    }
    int ready[2];
    if (pipe(ready) != 0) {
      state.SkipWithError("pipe failed");
      return;
    }
    const pid_t child = fork();
    if (child == 0) {
      CablePort peer_port(path, VirtualCable::kEndB, bus_ns);
      if (!peer_port.claim(1, kBase, nullptr)) _exit(2);
      Lines peer(peer_port, kBase, Waiting::kPatient);
      char c = 'r';
      if (write(ready[1], &c, 1) != 1) _exit(3);
      const bool ok = server_sends ? receive_stream(peer, data) : send_stream(peer, data);
      _exit(ok ? 0 : 1);
    }
    char c;
    const bool started = child > 0 && read(ready[0], &c, 1) == 1;
    close(ready[0]);
    close(ready[1]);
    if (!started) {
      state.SkipWithError("the peer process did not start");
      return;
    }
    VirtualCable& cable = *port.cable();
    const uint64_t before[2] = {
        cable.reads(VirtualCable::kEndA) + cable.writes(VirtualCable::kEndA),
        cable.reads(VirtualCable::kEndB) + cable.writes(VirtualCable::kEndB)};
    Lines lines(port, kBase, Waiting::kServer);
    const auto start = std::chrono::steady_clock::now();
    const bool ok = server_sends ? send_stream(lines, data) : receive_stream(lines, data);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    int status = 0;
    waitpid(child, &status, 0);
    accesses[0] +=
        double(cable.reads(VirtualCable::kEndA) + cable.writes(VirtualCable::kEndA) - before[0]);
    accesses[1] +=
        double(cable.reads(VirtualCable::kEndB) + cable.writes(VirtualCable::kEndB) - before[1]);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    if (!ok || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("the stream failed");
      return;
    }
    state.SetIterationTime(took);
    seconds += took;
    ++runs;
  }
  const double bytes = kPayload * double(runs);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["KB/s"] = bytes / seconds / 1000;
  state.counters["A_acc/B"] = accesses[0] / bytes;
  state.counters["B_acc/B"] = accesses[1] / bytes;
  if (bus_ns > 0) {
    const double limit = 1e9 / (kAccessesPerByte * bus_ns);  // bytes per second
    state.counters["acc_times/B"] = seconds * 1e9 / bus_ns / bytes;
    state.counters["of_limit"] = bytes / seconds / limit;
  }
}

void BM_ServerSends(benchmark::State& state) { stream(state, true); }
void BM_ServerReceives(benchmark::State& state) { stream(state, false); }

// One run each: about 10 s at 1000 ns an access, a few at 0 on an idle
// machine (much longer when other programs keep the processors busy).
BENCHMARK(BM_ServerSends)
    ->ArgName("bus_ns")
    ->Arg(0)
    ->Arg(1000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ServerReceives)
    ->ArgName("bus_ns")
    ->Arg(0)
    ->Arg(1000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnel

BENCHMARK_MAIN();

// How long a level on the lines must stay for a peer that polls slowly to
// read it: the measurement behind the hold of a final reply code
// (REPLY_HOLD_MS in link/lines.h).
//
// A sender takes a frame's result from the reply code it reads after it has
// seen the last byte's acknowledgement. The code and the acknowledgement are
// one write of the receiver, so a sender that reads the lines every 500 us
// reads the code twice at the latest: on the read that sees the
// acknowledgement and on the read after it. The code must therefore stay on
// the lines from the receiver's write until the second read of the sender
// after it, whatever the scheduler does to the sender meanwhile.
//
// BM_SecondReadAfterLevel: end A writes a new level at random moments; end B
// reads its status, sleeps 500 us, reads again, and so on. For each level,
// the time from end A's write to end B's second read after it.
//   p50_us, p99_us, p999_us, max_us   that time, percentiles and maximum
//
// BM_FirstBurst: how long the server's first burst of 10000 reads lasts
// when the awaited level does not come (the time a peer has to answer a
// handshake before the server's wait begins to sleep 100 ms).
//   us   the burst's duration
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "link/lines.h"
#include "link/virtual_cable.h"

namespace tarnel {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kBase = 0x378;
constexpr auto kPollGap = std::chrono::microseconds(500);

std::string make_temp_dir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/tarnel-bench-XXXXXX";
  return mkdtemp(pattern.data()) ? pattern : std::string();
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * double(v.size())));
  return v[i];
}

void BM_SecondReadAfterLevel(benchmark::State& state) {
  const uint32_t bus_ns = static_cast<uint32_t>(state.range(0));
  const int levels = static_cast<int>(state.range(1));
  const std::string dir = make_temp_dir();
  if (dir.empty()) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  const std::string path = dir + "/bench.cable";
  CablePort a(path, VirtualCable::kEndA, bus_ns);
  CablePort b(path, VirtualCable::kEndB, bus_ns);
  if (!a.claim(1, kBase, nullptr) || !b.claim(1, kBase, nullptr)) {
    state.SkipWithError("cable");
    return;
  }
  std::vector<double> waits;
  for (auto _ : state) {
    // The writer publishes each write's time; the reader, after seeing a new
    // level, waits for its next read and reports when that was.
    std::atomic<int64_t> written_ns{0};
    std::atomic<int> seen{-1};
    std::atomic<bool> stop{false};
    std::vector<double> got;
    Lines reader_lines(b, kBase, Waiting::kPatient);
    uint8_t first = reader_lines.read_status();
    std::thread reader([&, first] {
      Lines& lines = reader_lines;
      uint8_t last = first;
      int reads_since_change = 2;
      int level = 0;
      while (!stop.load()) {
        std::this_thread::sleep_for(kPollGap);
        const uint8_t status = lines.read_status();
        const auto now = Clock::now();
        if (status != last) {
          last = status;
          reads_since_change = 1;
          continue;
        }
        if (++reads_since_change == 2) {
          const double us =
              double(std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch())
                         .count() -
                     written_ns.load()) /
              1000.0;
          got.push_back(us);
          seen.store(level++);
        }
      }
    });
    Lines lines(a, kBase, Waiting::kServer);
    std::mt19937 rng(1);
    for (int i = 0; i < levels; ++i) {
      // A random phase against the reader's polls.
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % 700));
      written_ns.store(
          std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
              .count());
      lines.write_data(static_cast<uint8_t>((i % 2) ? 0x0D : 0x0F));
      while (seen.load() < i) std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    stop.store(true);
    reader.join();
    waits.insert(waits.end(), got.begin(), got.end());
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  state.counters["p50_us"] = percentile(waits, 0.50);
  state.counters["p99_us"] = percentile(waits, 0.99);
  state.counters["p999_us"] = percentile(waits, 0.999);
  state.counters["max_us"] = waits.empty() ? 0 : *std::max_element(waits.begin(), waits.end());
}

void BM_FirstBurst(benchmark::State& state) {
  const uint32_t bus_ns = static_cast<uint32_t>(state.range(0));
  const std::string dir = make_temp_dir();
  if (dir.empty()) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  CablePort a(dir + "/bench.cable", VirtualCable::kEndA, bus_ns);
  if (!a.claim(1, kBase, nullptr)) {
    state.SkipWithError("cable");
    return;
  }
  Lines lines(a, kBase, Waiting::kServer);
  std::vector<double> us;
  for (auto _ : state) {
    const auto start = Clock::now();
    // Nobody on end B: status bit 7 reads 1 (handshake low); wait for 0.
    for (int n = 0; n < Lines::kBurstReads; ++n) {
      if (!handshake_bit(lines.read_status())) break;
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  state.counters["p50_us"] = percentile(us, 0.5);
  state.counters["min_us"] = *std::min_element(us.begin(), us.end());
}

BENCHMARK(BM_SecondReadAfterLevel)
    ->ArgNames({"bus_ns", "levels"})
    ->Args({0, 2000})
    ->Args({1000, 2000})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstBurst)->ArgName("bus_ns")->Arg(0)->Arg(1000)->Iterations(50);

}  // namespace
}  // namespace tarnel

// The server's share of a command's latency while commands come one after
// the other: the command loop runs in a thread on end A of a virtual cable,
// a patient client end B sends 100 commands, each 6 ms after the last one
// was answered (a client doing a little work between commands; also long
// enough for any hold of the client's own last reply code to be over).
//
// Counters, all medians in ms (a loaded machine makes means swing):
//   cmd_ms     from the start of a command frame to the end of its exchange:
//              the frame delivered ("TIME 0", which gets no reply) or the
//              reply received ("CONNECT")
//   link_ms    the same exchange with an end that only waits for the
//              command and answers at once: the link's part, and the hold of
//              the command's reply code before the reply
//   server_ms  cmd_ms - link_ms: what the command loop adds (its wait for
//              the command to begin, its work)
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/console.h"
#include "base/wire_words.h"
#include "commands/command_loop.h"
#include "link/frame.h"
#include "link/lines.h"
#include "link/text.h"
#include "link/virtual_cable.h"
#include "testing/fake_console.h"

namespace tarnel {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kBase = 0x378;
constexpr int kCommands = 100;
constexpr auto kGap = std::chrono::milliseconds(6);

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string make_temp_dir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/tarnel-bench-XXXXXX";
  return mkdtemp(pattern.data()) ? pattern : std::string();
}

// One exchange of the client: the command frame, and the reply when there is
// one. Its time in ms, or a negative value when it failed.
double exchange(Lines& client, const std::string& command, bool replied) {
  const auto start = Clock::now();
  bool ok = send_text(client, command);
  std::string reply;
  if (ok && replied) ok = receive_command(client, reply) == CommandResult::COMMAND_OK;
  return ok ? ms_since(start) : -1;
}

// The median exchange with an end that does nothing but wait for the
// command and answer it at once ("OK A"): the link's part, the hold of the
// command's reply code included.
double link_ms(Lines& server, Lines& client, const std::string& command, bool replied) {
  std::vector<double> times;
  std::thread echo([&] {
    std::string got;
    for (int i = 0; i < kCommands; ++i) {
      receive_command(server, got);
      if (replied) send_text(server, "OK A");
    }
  });
  for (int i = 0; i < kCommands; ++i) {
    std::this_thread::sleep_for(kGap);
    times.push_back(exchange(client, command, replied));
  }
  echo.join();
  return median(times);
}

void BM_CommandBurst(benchmark::State& state, const std::string command, bool replied) {
  const uint32_t bus_ns = static_cast<uint32_t>(state.range(0));
  const std::string dir = make_temp_dir();
  if (dir.empty()) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  CablePort a(dir + "/bench.cable", VirtualCable::kEndA, bus_ns);
  CablePort b(dir + "/bench.cable", VirtualCable::kEndB, bus_ns);
  if (!a.claim(1, kBase, nullptr) || !b.claim(1, kBase, nullptr)) {
    state.SkipWithError("cable");
    return;
  }
  Lines server(a, kBase, Waiting::kServer);
  Lines client(b, kBase, Waiting::kPatient);
  double link = 0, cmd = 0;
  int failures = 0;
  for (auto _ : state) {
    link = link_ms(server, client, command, replied);

    testing::FakeConsole console;
    abort_flag = false;
    WholeFileSystem fs;
    std::thread loop([&] { command_loop(server, console, fs); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // into its idle poll
    std::vector<double> times;
    for (int i = 0; i < kCommands; ++i) {
      std::this_thread::sleep_for(kGap);
      const double ms = exchange(client, command, replied);
      if (ms < 0) ++failures;
      times.push_back(ms);
    }
    cmd = median(times);
    console.press_key();
    loop.join();
    abort_flag = false;
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  if (failures) state.SkipWithError("a command failed");
  state.counters["cmd_ms"] = cmd;
  state.counters["link_ms"] = link;
  state.counters["server_ms"] = cmd - link;
}

BENCHMARK_CAPTURE(BM_CommandBurst, TIME, std::string(COMMAND_TIME) + "0", false)
    ->ArgName("bus_ns")
    ->Arg(1000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CommandBurst, CONNECT, std::string(COMMAND_CONNECT), true)
    ->ArgName("bus_ns")
    ->Arg(1000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnel

// The cost of finding the entry a stand-in names, per command, in a
// directory of 2,000 and of 20,000 names that only stand-ins can show (each
// holds a TAB): through the cache the command loop keeps for its whole run,
// and, to compare, with a read of the whole directory for each name (as
// without the cache). The goal: through the cache, a command at 20,000
// names costs at most twice one at 2,000 (BM_StandInGoal checks it).
//
// Each iteration resolves the client path of the next name in turn, as
// "get -r" of the directory does. The cache has read the directory once
// before the timing starts. Counter "reads": whole-directory reads per
// command. The directories live under $TMPDIR (the page cache: no disk time
// in the figures) and are made once per size for the whole run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "files/file_system.h"
#include "files/names.h"
#include "files/stand_in_cache.h"

namespace tarnel {
namespace {

/// A directory of `count` files whose names need stand-ins, and the client
/// path of each as the listing shows it.
class NamedDirectory {
 public:
  explicit NamedDirectory(int count) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarnel-standin-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir_ = pattern;
    const ClientNames names;
    for (int i = 0; i < count; ++i) {
      const std::string name = "tab\t" + std::to_string(i) + " name.txt";
      const int fd = ::open((dir_ + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0) std::abort();
      ::close(fd);
      client_paths_.push_back(dir_ + "/" + names.stand_in(name));
    }
  }
  ~NamedDirectory() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  const std::vector<std::string>& client_paths() const { return client_paths_; }

 private:
  std::string dir_;
  std::vector<std::string> client_paths_;
};

const NamedDirectory& directory_of(int count) {
  static std::map<int, std::unique_ptr<NamedDirectory>> made;
  std::unique_ptr<NamedDirectory>& d = made[count];
  if (d == nullptr) d = std::make_unique<NamedDirectory>(count);
  return *d;
}

void BM_StandInThroughCache(benchmark::State& state) {
  const NamedDirectory& d = directory_of(static_cast<int>(state.range(0)));
  WholeFileSystem fs;
  const ClientNames names;
  StandInCache cache(names);
  const std::vector<std::string>& paths = d.client_paths();
  names.local_path(fs, paths[0], NameUse::kExisting, cache);
  const uint64_t reads_before = cache.directory_reads();
  size_t next = 0;
  for (auto _ : state) {
    std::string local = names.local_path(fs, paths[next], NameUse::kExisting, cache);
    benchmark::DoNotOptimize(local);
    if (++next == paths.size()) next = 0;
  }
  state.counters["reads"] =
      benchmark::Counter(static_cast<double>(cache.directory_reads() - reads_before),
                         benchmark::Counter::kAvgIterations);
}

void BM_StandInWithAReadEach(benchmark::State& state) {
  const NamedDirectory& d = directory_of(static_cast<int>(state.range(0)));
  WholeFileSystem fs;
  const ClientNames names;
  const std::vector<std::string>& paths = d.client_paths();
  size_t next = 0;
  for (auto _ : state) {
    std::string local = names.local_path(fs, paths[next], NameUse::kExisting);
    benchmark::DoNotOptimize(local);
    if (++next == paths.size()) next = 0;
  }
}

/// The processor time of this thread (the system calls' included), which
/// other work on a loaded machine does not add to.
double thread_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

/// Processor seconds per command through a cache of `d`, the best of three
/// rounds of `commands` commands.
double seconds_per_command(const NamedDirectory& d, size_t commands) {
  WholeFileSystem fs;
  const ClientNames names;
  StandInCache cache(names);
  const std::vector<std::string>& paths = d.client_paths();
  names.local_path(fs, paths[0], NameUse::kExisting, cache);
  double best = 0;
  for (int round = 0; round < 3; ++round) {
    const double start = thread_seconds();
    for (size_t i = 0; i < commands; ++i) {
      std::string local = names.local_path(fs, paths[i % paths.size()], NameUse::kExisting, cache);
      benchmark::DoNotOptimize(local);
    }
    const double seconds = (thread_seconds() - start) / static_cast<double>(commands);
    if (round == 0 || seconds < best) best = seconds;
  }
  return best;
}

/// The goal itself: counter "ratio" is the cost per command at 20,000
/// names over the cost at 2,000; above 2 the benchmark reports an error.
void BM_StandInGoal(benchmark::State& state) {
  double ratio = 0;
  for (auto _ : state) {
    const double small = seconds_per_command(directory_of(2000), 20000);
    const double large = seconds_per_command(directory_of(20000), 20000);
    ratio = large / small;
    state.counters["us_2000"] = small * 1e6;
    state.counters["us_20000"] = large * 1e6;
  }
  state.counters["ratio"] = ratio;
  if (ratio > 2)
    state.SkipWithError("a command at 20,000 names costs more than twice one at 2,000");
}

BENCHMARK(BM_StandInThroughCache)->ArgName("names")->Arg(2000)->Arg(20000);
BENCHMARK(BM_StandInWithAReadEach)->ArgName("names")->Arg(2000)->Arg(20000);
BENCHMARK(BM_StandInGoal)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnel

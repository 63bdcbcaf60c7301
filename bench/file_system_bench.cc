// The cost of the file-system seam on the disk side of a 1 MiB download and
// a 1 MiB upload: the calls the services make for them, made directly (as
// the services made them before the seam), through the whole file system,
// through the confined one (--root) and, for the download, through the
// read-only wrapper over the confined one (--root --read-only).
//
//   get: stat, open, fstat, fstat (time stamp), stat + access (attribute),
//        32 reads of 32768 bytes, close
//   put: open (create, truncate), 256 writes of 4096 bytes, futimens, close,
//        stat + chmod (attribute)
//
// The file lives in a directory of its own under $TMPDIR (the page cache:
// no disk time in the figures). Counter MB/s: file bytes per second / 1e6.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "files/confined_file_system.h"
#include "files/errors.h"
#include "files/file_system.h"
#include "files/io.h"
#include "files/read_only_file_system.h"

namespace tarnel {
namespace {

constexpr size_t kFileSize = 1 << 20;
constexpr size_t kBlock = 32768;
constexpr size_t kFrame = 4096;

enum Kind { kDirect, kWhole, kConfined, kReadOnly };

/// A scratch directory with one 1 MiB file "f"; the file system of `kind`
/// over it, and the path of the file as the services name it.
class Scratch {
 public:
  explicit Scratch(Kind kind) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tarnel-fsbench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir_ = pattern;
    const std::string file = dir_ + "/f";
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char> bytes(kFileSize, 'x');
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(kFileSize)) {
      std::abort();
    }
    ::close(fd);
    path_ = file;
    if (kind == kConfined || kind == kReadOnly) {
      std::string why;
      confined_ = ConfinedFileSystem::open_root(dir_, &why);
      if (!confined_) std::abort();
      path_ = "/f";
      fs_ = confined_.get();
      if (kind == kReadOnly) {
        read_only_ = std::make_unique<ReadOnlyFileSystem>(*confined_);
        fs_ = read_only_.get();
      }
    }
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  FileSystem& fs() { return *fs_; }
  const std::string& path() const { return path_; }
  std::string local() const { return dir_ + "/f"; }

 private:
  std::string dir_;
  std::string path_;
  WholeFileSystem whole_;
  std::unique_ptr<ConfinedFileSystem> confined_;
  std::unique_ptr<ReadOnlyFileSystem> read_only_;
  FileSystem* fs_ = &whole_;
};

void get_direct(const std::string& path, char* block) {
  struct stat st;
  ::stat(path.c_str(), &st);
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  ::fstat(fd, &st);
  ::fstat(fd, &st);
  ::stat(path.c_str(), &st);
  ::access(path.c_str(), W_OK);
  for (size_t done = 0; done < kFileSize; done += kBlock) ::read(fd, block, kBlock);
  ::close(fd);
}

void get_seam(FileSystem& fs, const std::string& path, char* block) {
  struct stat st;
  fs.stat(path, st);
  const int fd = io_open(fs, path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  fs.fstat(fd, st);
  fs.fstat(fd, st);
  fs.stat(path, st);
  fs.access(path, W_OK);
  for (size_t done = 0; done < kFileSize; done += kBlock) io_read(fs, fd, block, kBlock);
  io_close(fs, fd);
  take_io_error();
}

void put_direct(const std::string& path, const char* frame) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
  for (size_t done = 0; done < kFileSize; done += kFrame) {
    if (::write(fd, frame, kFrame) != static_cast<ssize_t>(kFrame)) std::abort();
  }
  const timespec times[2] = {{0, UTIME_OMIT}, {961076730, 0}};
  ::futimens(fd, times);
  ::close(fd);
  struct stat st;
  ::stat(path.c_str(), &st);
  ::chmod(path.c_str(), st.st_mode & 07777);
}

void put_seam(FileSystem& fs, const std::string& path, const char* frame) {
  const int fd = io_open(fs, path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC);
  for (size_t done = 0; done < kFileSize; done += kFrame) {
    if (!io_write_all(fs, fd, frame, kFrame)) std::abort();
  }
  const timespec times[2] = {{0, UTIME_OMIT}, {961076730, 0}};
  fs.set_times(fd, times);
  io_close(fs, fd);
  struct stat st;
  fs.stat(path, st);
  fs.chmod(path, st.st_mode & 07777);
  take_io_error();
}

void BM_Get1MiB(benchmark::State& state) {
  const Kind kind = static_cast<Kind>(state.range(0));
  Scratch scratch(kind);
  std::vector<char> block(kBlock);
  for (auto _ : state) {
    if (kind == kDirect) {
      get_direct(scratch.local(), block.data());
    } else {
      get_seam(scratch.fs(), scratch.path(), block.data());
    }
    benchmark::DoNotOptimize(block.data());
  }
  state.counters["MB/s"] = benchmark::Counter(static_cast<double>(kFileSize) * 1e-6,
                                              benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Put1MiB(benchmark::State& state) {
  const Kind kind = static_cast<Kind>(state.range(0));
  Scratch scratch(kind);
  std::vector<char> frame(kFrame, 'y');
  for (auto _ : state) {
    if (kind == kDirect) {
      put_direct(scratch.local(), frame.data());
    } else {
      put_seam(scratch.fs(), scratch.path(), frame.data());
    }
  }
  state.counters["MB/s"] = benchmark::Counter(static_cast<double>(kFileSize) * 1e-6,
                                              benchmark::Counter::kIsIterationInvariantRate);
}

// Arg: 0 direct, 1 whole, 2 confined, 3 read-only over confined (get only).
BENCHMARK(BM_Get1MiB)->ArgName("kind")->Arg(kDirect)->Arg(kWhole)->Arg(kConfined)->Arg(kReadOnly);
BENCHMARK(BM_Put1MiB)->ArgName("kind")->Arg(kDirect)->Arg(kWhole)->Arg(kConfined);

}  // namespace
}  // namespace tarnel

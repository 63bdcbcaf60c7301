// The syncs of an upload on a slow disk: the data are synced as they come,
// so that the last frame waits for little more than its own megabyte.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <thread>

#include "files/partial.h"
#include "files/upload.h"
#include "testing/result_printing.h"
#include "testing/transfer_testing.h"

namespace tarnel {
namespace {

using Clock = std::chrono::steady_clock;
using testing::Exchange;

WholeFileSystem whole_fs;

/// A disk whose syncs take as long as writing out what is not yet on it at
/// `bytes_per_second` (an SD card of a small board), and a folder's sync a
/// fixed time. Records when the last byte was written, when the last sync
/// ended, and the longest sync.
class SlowDisk : public FileSystemWrapper {
 public:
  SlowDisk(FileSystem& target, int64_t bytes_per_second)
      : FileSystemWrapper(target), bytes_per_second_(bytes_per_second) {}

  ssize_t write(int fd, const void* buffer, size_t size) override {
    const ssize_t n = FileSystemWrapper::write(fd, buffer, size);
    if (n > 0) unsynced_[fd] += n;
    last_write = Clock::now();
    return n;
  }
  int sync_data(int fd) override {
    return slow_sync(fd, [&] { return target().sync_data(fd); });
  }
  int sync(int fd) override {
    return slow_sync(fd, [&] { return target().sync(fd); });
  }
  int sync_directory(const std::string& path) override {
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const int r = FileSystemWrapper::sync_directory(path);
    ended(start);
    return r;
  }

  Clock::time_point last_write;
  Clock::time_point last_sync;
  Clock::duration longest_sync{};
  int syncs = 0;

 private:
  template <typename Call>
  int slow_sync(int fd, Call call) {
    const Clock::time_point start = Clock::now();
    const int64_t bytes = unsynced_[fd];
    unsynced_[fd] = 0;
    std::this_thread::sleep_for(std::chrono::microseconds(bytes * 1000000 / bytes_per_second_));
    const int r = call();
    ended(start);
    return r;
  }
  void ended(Clock::time_point start) {
    last_sync = Clock::now();
    longest_sync = std::max(longest_sync, last_sync - start);
    ++syncs;
  }

  int64_t bytes_per_second_;
  std::map<int, int64_t> unsynced_;
};

TEST(UploadSync, LastByteIsAcceptedWithinHalfASecondOnASlowDisk) {
  // 4 MB/s: a whole 3.5 MB file synced at the end would take 875 ms.
  constexpr int64_t kRate = 4 << 20;
  const std::string content = testing::pattern((7 << 20) / 2, 5);
  for (const bool overwrite : {false, true}) {
    SCOPED_TRACE(overwrite ? "overwrite" : "new file");
    Exchange x;
    const std::string path = x.dir().file("f");
    if (overwrite) testing::write_file(path, "old");
    SlowDisk disk(whole_fs, kRate);
    PendingUpload u;
    u.name = path;
    ReceiveResult result = ReceiveResult::RECEIVE_BUSY;
    x.serve([&](Lines& lines, testing::FakeConsole& console) {
      result = receive_file(lines, console, disk, u, static_cast<int32_t>(content.size()));
    });
    testing::send_upload(x.peer(), content);
    x.join();
    ASSERT_EQ(result, ReceiveResult::RECEIVE_STORED);
    EXPECT_TRUE(testing::same_bytes(testing::read_file(path), content));
    // The data synced on the way (about one sync a megabyte), the file and
    // its folder at the end.
    EXPECT_GE(disk.syncs, 5);
    EXPECT_LE(disk.last_sync - disk.last_write, std::chrono::milliseconds(500));
    EXPECT_LE(disk.longest_sync, std::chrono::milliseconds(500));
    EXPECT_FALSE(UploadFile::has_partial(whole_fs, path)) << "nothing is left beside it";
  }
}

}  // namespace
}  // namespace tarnel

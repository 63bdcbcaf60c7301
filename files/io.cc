#include "files/io.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "files/errors.h"

namespace tarnel {

namespace {

/// Records a failed call; returns false so that callers can end with it.
bool failed() {
  note_io_error(errno);
  return false;
}

/// Runs a call that reports -1 on failure, unless an error is pending.
template <typename Call>
bool run(Call call) {
  if (io_error != 0) return false;
  if (call() == -1) return failed();
  return true;
}

}  // namespace

int io_open(FileSystem& fs, const std::string& path, int flags, mode_t mode) {
  if (io_error != 0) return -1;
  const int fd = fs.open(path, flags, mode);
  if (fd == -1) failed();
  return fd;
}

ssize_t io_read(FileSystem& fs, int fd, void* buffer, size_t size) {
  if (io_error != 0) return -1;
  const ssize_t n = fs.read(fd, buffer, size);
  if (n == -1) failed();
  return n;
}

bool io_write_all(FileSystem& fs, int fd, const void* buffer, size_t size) {
  if (io_error != 0) return false;
  const char* p = static_cast<const char*>(buffer);
  while (size > 0) {
    errno = 0;
    const ssize_t n = fs.write(fd, p, size);
    if (n <= 0) {
      // A write that stores nothing without an errno is a full disk.
      note_io_error(n < 0 && errno != 0 ? errno : ENOSPC);
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

off_t io_seek(FileSystem& fs, int fd, off_t offset) {
  if (io_error != 0) return -1;
  const off_t at = fs.seek(fd, offset, SEEK_SET);
  if (at == -1) failed();
  return at;
}

bool io_truncate_here(FileSystem& fs, int fd) {
  if (io_error != 0) return false;
  const off_t at = fs.seek(fd, 0, SEEK_CUR);
  if (at == -1) return failed();
  if (fs.truncate(fd, at) == -1) return failed();
  return true;
}

bool io_close(FileSystem& fs, int fd) {
  if (io_error != 0) {
    fs.close(fd);
    return false;
  }
  if (fs.close(fd) == -1) return failed();
  return true;
}

bool io_mkdir(FileSystem& fs, const std::string& path) {
  return run([&] { return fs.mkdir(path, 0777); });
}
bool io_rmdir(FileSystem& fs, const std::string& path) {
  return run([&] { return fs.rmdir(path); });
}
bool io_unlink(FileSystem& fs, const std::string& path) {
  return run([&] { return fs.unlink(path); });
}
bool io_rename(FileSystem& fs, const std::string& source, const std::string& target) {
  return run([&] { return fs.rename(source, target); });
}

bool io_sync_data(FileSystem& fs, int fd) {
  return run([&] { return fs.sync_data(fd); });
}
bool io_sync(FileSystem& fs, int fd) {
  return run([&] { return fs.sync(fd); });
}
bool io_sync_directory(FileSystem& fs, const std::string& path) {
  return run([&] { return fs.sync_directory(path); });
}

}  // namespace tarnel

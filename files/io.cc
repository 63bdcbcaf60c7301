#include "files/io.h"

#include <fcntl.h>
#include <sys/stat.h>
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

/// False for a path that names no file, with errno telling a missing file.
bool usable(std::string_view path) {
  if (names_a_file(path)) return true;
  errno = ENOENT;
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

int io_open(const std::string& path, int flags, mode_t mode) {
  if (io_error != 0) return -1;
  int fd = usable(path) ? ::open(path.c_str(), flags, mode) : -1;
  if (fd == -1) failed();
  return fd;
}

ssize_t io_read(int fd, void* buffer, size_t size) {
  if (io_error != 0) return -1;
  ssize_t n = ::read(fd, buffer, size);
  if (n == -1) failed();
  return n;
}

bool io_write_all(int fd, const void* buffer, size_t size) {
  if (io_error != 0) return false;
  const char* p = static_cast<const char*>(buffer);
  while (size > 0) {
    errno = 0;
    ssize_t n = ::write(fd, p, size);
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

off_t io_seek(int fd, off_t offset) {
  if (io_error != 0) return -1;
  off_t at = ::lseek(fd, offset, SEEK_SET);
  if (at == -1) failed();
  return at;
}

bool io_truncate_here(int fd) {
  if (io_error != 0) return false;
  off_t at = ::lseek(fd, 0, SEEK_CUR);
  if (at == -1) return failed();
  if (::ftruncate(fd, at) == -1) return failed();
  return true;
}

bool io_close(int fd) {
  if (io_error != 0) {
    ::close(fd);
    return false;
  }
  if (::close(fd) == -1) return failed();
  return true;
}

bool io_mkdir(const std::string& path) {
  return run([&] { return usable(path) ? ::mkdir(path.c_str(), 0777) : -1; });
}
bool io_rmdir(const std::string& path) {
  return run([&] { return usable(path) ? ::rmdir(path.c_str()) : -1; });
}
bool io_unlink(const std::string& path) {
  return run([&] { return usable(path) ? ::unlink(path.c_str()) : -1; });
}
bool io_chdir(const std::string& path) {
  return run([&] { return usable(path) ? ::chdir(path.c_str()) : -1; });
}
bool io_rename(const std::string& source, const std::string& target) {
  return run([&] {
    return usable(source) && usable(target) ? ::rename(source.c_str(), target.c_str()) : -1;
  });
}

}  // namespace tarnel

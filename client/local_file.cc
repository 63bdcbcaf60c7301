#include "client/local_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarnel::client {

bool write_all(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

ssize_t read_some(int fd, void* buffer, size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, buffer, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

Outcome local_failure(const std::string& what, const std::string& path) {
  return Outcome::Fail(Exit::kLocalFile,
                       "cannot " + what + " " + path + ": " + std::strerror(errno));
}

std::string local_basename(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t cut = p.rfind('/');
  return cut == std::string::npos ? p : p.substr(cut + 1);
}

}  // namespace tarnel::client

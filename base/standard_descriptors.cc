#include "base/standard_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tarnel {

bool open_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free number is taken, and every number below `fd` is open
    // by now: the new descriptor is `fd` itself. Left open across exec, as a
    // standard descriptor is.
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0) return false;
    if (null_fd != fd) {
      // Only when something else opened a descriptor meanwhile.
      const bool moved = dup2(null_fd, fd) == fd;
      close(null_fd);
      if (!moved) return false;
    }
  }
  return true;
}

}  // namespace tarnel

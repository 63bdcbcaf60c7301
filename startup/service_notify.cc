#include "startup/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace tarnel {

bool notify_service_manager(std::string_view state) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr) return false;
  const size_t length = std::strlen(name);
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  // A path, which takes its NUL along, or an abstract name, whose bytes are
  // all of it: neither may overrun sun_path.
  if (length < 2 || (name[0] != '/' && name[0] != '@') || length >= sizeof address.sun_path) {
    return false;
  }
  std::memcpy(address.sun_path, name, length);
  socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + 1);
  if (name[0] == '@') {
    address.sun_path[0] = '\0';
    size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  }
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ssize_t sent;
  do {
    sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr*>(&address), size);
  } while (sent < 0 && errno == EINTR);
  close(fd);
  return sent == static_cast<ssize_t>(state.size());
}

}  // namespace tarnel

// Small pieces for the client's local files.
#ifndef TARNEL_CLIENT_LOCAL_FILE_H_
#define TARNEL_CLIENT_LOCAL_FILE_H_

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "client/outcome.h"

namespace tarnel::client {

/// Writes all `size` bytes, retrying short writes and EINTR.
bool write_all(int fd, const void* data, size_t size);
/// read() retried on EINTR.
ssize_t read_some(int fd, void* buffer, size_t size);
/// A local-file failure from errno: "cannot <what> <path>: <reason>".
Outcome local_failure(const std::string& what, const std::string& path);

/// The last component of a local path.
std::string local_basename(const std::string& path);

}  // namespace tarnel::client

#endif  // TARNEL_CLIENT_LOCAL_FILE_H_

#include "files/errors.h"

#include <cerrno>

namespace tarnel {

namespace {

// errno -> I/O error number on the wire. The client knows the numbers of the
// first block; the second block gives the other failures a number of their
// own, so that a reply still tells them apart (none of them may be 0).
struct ErrnoNumber {
  int errno_value;
  uint16_t number;
};

constexpr ErrnoNumber kErrnoNumbers[] = {
    {ENOENT, 2},
    {ENOTDIR, 3},
    {ENAMETOOLONG, 3},
    {ELOOP, 3},
    {ENFILE, 4},
    {EMFILE, 4},
    {EACCES, 5},
    {EEXIST, 5},
    {EROFS, 5},
    {EBADF, 6},
    {EINTR, 101},
    {EIO, 101},
    {EAGAIN, 101},
    {ENOSPC, 101},
    {EPIPE, 101},
    {ETXTBSY, 162},
    {ENOMEM, 217},
    {EFAULT, 217},
    {EINVAL, 218},
    // Not known to the client; chosen here.
    {EPERM, 7},       // operation not permitted (e.g. unlink of a directory)
    {EISDIR, 8},      // a directory where a file was meant
    {ENOTEMPTY, 16},  // directory still holds entries
    {EXDEV, 17},      // rename to another file system
    {EBUSY, 19},      // in use (mount point, current root)
    {EDQUOT, 101},    // quota full: the client's "disk write error", like ENOSPC
    {EFBIG, 101},     // file too large to grow: likewise a write that cannot be stored
};

/// Any other errno.
constexpr uint16_t kOtherError = 100;

}  // namespace

uint16_t take_io_error() {
  uint16_t e = io_error;
  io_error = 0;
  return e;
}

uint16_t io_error_number(int errno_value) {
  for (const ErrnoNumber& entry : kErrnoNumbers) {
    if (entry.errno_value == errno_value) return entry.number;
  }
  return kOtherError;
}

void note_io_error(int errno_value) { io_error = io_error_number(errno_value); }

}  // namespace tarnel

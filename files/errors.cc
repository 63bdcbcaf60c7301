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
    {ENOENT, IO_ERROR_NOT_FOUND},
    {ENOTDIR, IO_ERROR_PATH},
    {ENAMETOOLONG, IO_ERROR_PATH},
    {ELOOP, IO_ERROR_PATH},
    {ENFILE, IO_ERROR_TOO_MANY_OPEN},
    {EMFILE, IO_ERROR_TOO_MANY_OPEN},
    {EACCES, IO_ERROR_ACCESS_DENIED},
    {EEXIST, IO_ERROR_ACCESS_DENIED},
    {EROFS, IO_ERROR_ACCESS_DENIED},
    {EBADF, IO_ERROR_BAD_HANDLE},
    {EINTR, IO_ERROR_DISK},
    {EIO, IO_ERROR_DISK},
    {EAGAIN, IO_ERROR_DISK},
    {ENOSPC, IO_ERROR_DISK},
    {EPIPE, IO_ERROR_DISK},
    {ETXTBSY, IO_ERROR_TEXT_BUSY},
    {ENOMEM, IO_ERROR_NO_MEMORY},
    {EFAULT, IO_ERROR_NO_MEMORY},
    {EINVAL, IO_ERROR_INVALID},
    // Not known to the client; chosen here.
    {EPERM, IO_ERROR_NOT_PERMITTED},  // e.g. unlink of a directory
    {EISDIR, IO_ERROR_IS_DIRECTORY},  // a directory where a file was meant
    {ENOTEMPTY, IO_ERROR_NOT_EMPTY},  // directory still holds entries
    {EXDEV, IO_ERROR_OTHER_DEVICE},   // rename to another file system
    {EBUSY, IO_ERROR_BUSY},           // in use (mount point, current root)
    {EDQUOT, IO_ERROR_DISK},          // quota full: the client's "disk write error", like ENOSPC
    {EFBIG, IO_ERROR_DISK},  // file too large to grow: likewise a write that cannot be stored
};

/// Any other errno.
constexpr uint16_t kOtherError = IO_ERROR_OTHER;

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

// File-system operations that report through the pending I/O error number,
// each made through the FileSystem it is given: a failed call sets io_error
// from errno; a call made while io_error is not 0 does nothing at all and
// returns the failure value (-1, or false).
//
// One exception: io_close always releases the descriptor, so that a caller
// that meets a pending error cannot leak it; it then returns false and
// leaves the pending number as it was.
#ifndef TARNEL_FILES_IO_H_
#define TARNEL_FILES_IO_H_

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "files/file_system.h"

namespace tarnel {

int io_open(FileSystem& fs, const std::string& path, int flags, mode_t mode = 0666);
ssize_t io_read(FileSystem& fs, int fd, void* buffer, size_t size);
/// Writes all `size` bytes, going on after a partial write; a write that
/// stores nothing counts as failed (ENOSPC's number when errno says nothing).
bool io_write_all(FileSystem& fs, int fd, const void* buffer, size_t size);
/// Moves to `offset` from the start of the file; the new offset or -1.
off_t io_seek(FileSystem& fs, int fd, off_t offset);
/// Cuts the file at its current offset.
bool io_truncate_here(FileSystem& fs, int fd);
bool io_close(FileSystem& fs, int fd);
/// mkdir with permission bits 0777 (the umask applies).
bool io_mkdir(FileSystem& fs, const std::string& path);
bool io_rmdir(FileSystem& fs, const std::string& path);
bool io_unlink(FileSystem& fs, const std::string& path);
bool io_rename(FileSystem& fs, const std::string& source, const std::string& target);
/// fdatasync: the file's data are on the disk.
bool io_sync_data(FileSystem& fs, int fd);
/// fsync: the file's data and attributes are on the disk.
bool io_sync(FileSystem& fs, int fd);
/// The folder's entries are on the disk.
bool io_sync_directory(FileSystem& fs, const std::string& path);

}  // namespace tarnel

#endif  // TARNEL_FILES_IO_H_

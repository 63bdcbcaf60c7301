// The file system as a read-only share (--read-only): a wrapper that lets
// every reading call through and changes nothing.
//
// A change is refused with EROFS (the wire's access-denied number, 5),
// except where the whole file system's answer depends only on what exists:
// a missing entry, a path through something that is no directory, or a
// directory that "MD " names and that is there already, answer as they
// would without the wrapper ("DEL " of a missing file is "FILE ERROR 2").
// An open for writing, creating or truncating fails before anything is
// created or cut, so an upload goes as one into a file that cannot be
// created; "REST ?" still measures a stored file (its read-write open is
// tried again read-only).
//
// Everything shows read-only: the status of every entry lacks its write
// bits and no path may be written (access with W_OK fails), so the listing
// and the "ATTR " reply of a download give 33 for files and 17 for
// directories.
#ifndef TARNEL_FILES_READ_ONLY_FILE_SYSTEM_H_
#define TARNEL_FILES_READ_ONLY_FILE_SYSTEM_H_

#include <string>

#include "files/file_system.h"

namespace tarnel {

class ReadOnlyFileSystem : public FileSystemWrapper {
 public:
  explicit ReadOnlyFileSystem(FileSystem& target) : FileSystemWrapper(target) {}

  int open(const std::string& path, int flags, mode_t mode) override;
  int stat(const std::string& path, struct stat& st) override;
  int lstat(const std::string& path, struct stat& st) override;
  int access(const std::string& path, int mode) override;
  int mkdir(const std::string& path, mode_t mode) override;
  int rmdir(const std::string& path) override;
  int unlink(const std::string& path) override;
  int rename(const std::string& source, const std::string& target) override;
  int chmod(const std::string& path, mode_t mode) override;
  int chmod_entry(const std::string& path, mode_t mode) override;

  ssize_t write(int fd, const void* buffer, size_t size) override;
  int truncate(int fd, off_t length) override;
  int fstat(int fd, struct stat& st) override;
  int fchmod(int fd, mode_t mode) override;
  int set_times(int fd, const timespec times[2]) override;
  int set_group(int fd, gid_t group) override;
};

}  // namespace tarnel

#endif  // TARNEL_FILES_READ_ONLY_FILE_SYSTEM_H_

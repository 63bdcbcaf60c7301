// The one way from the file services to the disk.
//
// Every file service (upload, resume, download, listing and its search,
// management, metadata) reaches files and directories only through a
// FileSystem that start-up makes and hands down; nothing else in files/
// calls the system. What a path means is the implementation's business:
//
//   WholeFileSystem     every path the server's user can reach ("/" is "/")
//   ConfinedFileSystem  every path resolved beneath one directory, "/" being
//                       that directory (files/confined_file_system.h)
//   ReadOnlyFileSystem  a wrapper that refuses every change
//                       (files/read_only_file_system.h)
//   FileSystemWrapper   forwards every call, for wrappers and test fakes
//                       that change one or two calls
//
// Nothing written is on the disk until it is synced: a file's data by
// sync_data or sync, a folder's entries (what was made, removed or renamed
// in it) by sync_directory. A service answers the client only once what it
// answers for is synced.
//
// Paths are the server's local absolute paths as the services have them
// ("/dir/f", mapped from the client's "\dir\f"). A path that holds a NUL byte
// names no file: every implementation fails on it as on a missing entry.
//
// Results follow the system calls they stand for: -1 (or nullptr) on
// failure, with errno telling why; the caller (files/io.h) turns errno into
// the wire's error numbers. Descriptors come from open() of the same
// FileSystem and go back to its close().
#ifndef TARNEL_FILES_FILE_SYSTEM_H_
#define TARNEL_FILES_FILE_SYSTEM_H_

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace tarnel {

/// False for a path that holds a NUL byte. It names no file: the system
/// would see only the part before the NUL, another name.
bool names_a_file(std::string_view path);

/// A path that names a file the client may not reach (an upload's partial
/// file asked for by its own name). It names no file either, but every
/// implementation refuses it with EACCES, as a file the server may not
/// touch, rather than ENOENT.
const std::string& refused_path();

/// The errno for a path that names no file: EACCES for refused_path(),
/// ENOENT for any other.
int unnamed_path_errno(std::string_view path);

/// One open directory, read entry by entry in the system's order ("." and
/// ".." included, as the system returns them). Closed when destroyed.
class DirectoryReader {
 public:
  virtual ~DirectoryReader() = default;
  /// The next entry's name; false at the end (errno 0) or on an error.
  virtual bool next(std::string& name) = 0;
};

/// Reads the directory open on `fd`, which it takes over (and closes at
/// once when it cannot be read as a directory); nullptr on failure.
std::unique_ptr<DirectoryReader> read_directory(int fd);

/// fsync(2) of `fd`, which it then closes; the fsync's result and errno.
int sync_and_close(int fd);

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // ---- By path ---------------------------------------------------------------

  /// open(2): `flags` as for open (O_CREAT uses `mode`, the umask applies).
  /// A final symbolic link is followed, as open follows it.
  virtual int open(const std::string& path, int flags, mode_t mode) = 0;
  /// stat(2): a final symbolic link is followed.
  virtual int stat(const std::string& path, struct stat& st) = 0;
  /// lstat(2): the entry itself, a symbolic link not followed.
  virtual int lstat(const std::string& path, struct stat& st) = 0;
  /// access(2) with `mode` (W_OK, X_OK, ...) for the server's user.
  virtual int access(const std::string& path, int mode) = 0;
  /// Opens a directory for reading (a final link followed); nullptr on
  /// failure.
  virtual std::unique_ptr<DirectoryReader> open_directory(const std::string& path) = 0;
  virtual int mkdir(const std::string& path, mode_t mode) = 0;
  virtual int rmdir(const std::string& path) = 0;
  /// unlink(2): removes the entry itself, a symbolic link rather than its
  /// target.
  virtual int unlink(const std::string& path) = 0;
  /// rename(2): an existing target entry is replaced.
  virtual int rename(const std::string& source, const std::string& target) = 0;
  /// chmod(2): a final symbolic link is followed.
  virtual int chmod(const std::string& path, mode_t mode) = 0;
  /// Sets the permission bits of the entry itself; a symbolic link is never
  /// followed (the call fails on one).
  virtual int chmod_entry(const std::string& path, mode_t mode) = 0;
  /// Makes the folder's entries durable: fsync(2) of the folder `path`.
  virtual int sync_directory(const std::string& path) = 0;

  // ---- By descriptor (from open) ---------------------------------------------

  virtual ssize_t read(int fd, void* buffer, size_t size) = 0;
  /// write(2): may store fewer bytes than asked.
  virtual ssize_t write(int fd, const void* buffer, size_t size) = 0;
  /// lseek(2) with `whence` SEEK_SET or SEEK_CUR.
  virtual off_t seek(int fd, off_t offset, int whence) = 0;
  /// ftruncate(2).
  virtual int truncate(int fd, off_t length) = 0;
  virtual int fstat(int fd, struct stat& st) = 0;
  virtual int fchmod(int fd, mode_t mode) = 0;
  /// futimens(2): access and modification time (UTIME_OMIT keeps one).
  virtual int set_times(int fd, const timespec times[2]) = 0;
  /// fchown(2) of the group alone (the owner is kept).
  virtual int set_group(int fd, gid_t group) = 0;
  /// fdatasync(2): the file's data, and its size, are on the disk.
  virtual int sync_data(int fd) = 0;
  /// fsync(2): the data and the attributes (mode, times, group) too.
  virtual int sync(int fd) = 0;
  /// close(2): the descriptor is released even when it reports an error.
  virtual int close(int fd) = 0;
};

/// The server's whole file system: every call is the system call it names,
/// on the path as given. The default.
class WholeFileSystem : public FileSystem {
 public:
  int open(const std::string& path, int flags, mode_t mode) override;
  int stat(const std::string& path, struct stat& st) override;
  int lstat(const std::string& path, struct stat& st) override;
  int access(const std::string& path, int mode) override;
  std::unique_ptr<DirectoryReader> open_directory(const std::string& path) override;
  int mkdir(const std::string& path, mode_t mode) override;
  int rmdir(const std::string& path) override;
  int unlink(const std::string& path) override;
  int rename(const std::string& source, const std::string& target) override;
  int chmod(const std::string& path, mode_t mode) override;
  int chmod_entry(const std::string& path, mode_t mode) override;
  int sync_directory(const std::string& path) override;

  ssize_t read(int fd, void* buffer, size_t size) override;
  ssize_t write(int fd, const void* buffer, size_t size) override;
  off_t seek(int fd, off_t offset, int whence) override;
  int truncate(int fd, off_t length) override;
  int fstat(int fd, struct stat& st) override;
  int fchmod(int fd, mode_t mode) override;
  int set_times(int fd, const timespec times[2]) override;
  int set_group(int fd, gid_t group) override;
  int sync_data(int fd) override;
  int sync(int fd) override;
  int close(int fd) override;
};

/// Forwards every call to `target`, which must outlive the wrapper. A
/// wrapper or a fake derives from it and overrides only what it changes.
class FileSystemWrapper : public FileSystem {
 public:
  explicit FileSystemWrapper(FileSystem& target) : target_(target) {}

  FileSystem& target() { return target_; }

  int open(const std::string& path, int flags, mode_t mode) override {
    return target_.open(path, flags, mode);
  }
  int stat(const std::string& path, struct stat& st) override { return target_.stat(path, st); }
  int lstat(const std::string& path, struct stat& st) override { return target_.lstat(path, st); }
  int access(const std::string& path, int mode) override { return target_.access(path, mode); }
  std::unique_ptr<DirectoryReader> open_directory(const std::string& path) override {
    return target_.open_directory(path);
  }
  int mkdir(const std::string& path, mode_t mode) override { return target_.mkdir(path, mode); }
  int rmdir(const std::string& path) override { return target_.rmdir(path); }
  int unlink(const std::string& path) override { return target_.unlink(path); }
  int rename(const std::string& source, const std::string& target) override {
    return target_.rename(source, target);
  }
  int chmod(const std::string& path, mode_t mode) override { return target_.chmod(path, mode); }
  int chmod_entry(const std::string& path, mode_t mode) override {
    return target_.chmod_entry(path, mode);
  }
  int sync_directory(const std::string& path) override { return target_.sync_directory(path); }

  ssize_t read(int fd, void* buffer, size_t size) override {
    return target_.read(fd, buffer, size);
  }
  ssize_t write(int fd, const void* buffer, size_t size) override {
    return target_.write(fd, buffer, size);
  }
  off_t seek(int fd, off_t offset, int whence) override { return target_.seek(fd, offset, whence); }
  int truncate(int fd, off_t length) override { return target_.truncate(fd, length); }
  int fstat(int fd, struct stat& st) override { return target_.fstat(fd, st); }
  int fchmod(int fd, mode_t mode) override { return target_.fchmod(fd, mode); }
  int set_times(int fd, const timespec times[2]) override { return target_.set_times(fd, times); }
  int set_group(int fd, gid_t group) override { return target_.set_group(fd, group); }
  int sync_data(int fd) override { return target_.sync_data(fd); }
  int sync(int fd) override { return target_.sync(fd); }
  int close(int fd) override { return target_.close(fd); }

 private:
  FileSystem& target_;
};

}  // namespace tarnel

#endif  // TARNEL_FILES_FILE_SYSTEM_H_

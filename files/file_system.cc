#include "files/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace tarnel {

bool names_a_file(std::string_view path) { return path.find('\0') == std::string_view::npos; }

const std::string& refused_path() {
  static const std::string path("\0refused", 8);
  return path;
}

int unnamed_path_errno(std::string_view path) { return path == refused_path() ? EACCES : ENOENT; }

namespace {

/// -1 with errno ENOENT for a path that names no file, else the call's result.
template <typename Call>
auto on_file(const std::string& path, Call call) -> decltype(call()) {
  if (!names_a_file(path)) {
    errno = unnamed_path_errno(path);
    return -1;
  }
  return call();
}

class SystemDirectory : public DirectoryReader {
 public:
  explicit SystemDirectory(DIR* directory) : directory_(directory) {}
  ~SystemDirectory() override { closedir(directory_); }
  SystemDirectory(const SystemDirectory&) = delete;
  SystemDirectory& operator=(const SystemDirectory&) = delete;

  bool next(std::string& name) override {
    errno = 0;
    const dirent* entry = readdir(directory_);
    if (entry == nullptr) return false;
    name = entry->d_name;
    return true;
  }

 private:
  DIR* directory_;
};

}  // namespace

int sync_and_close(int fd) {
  const int r = ::fsync(fd);
  const int e = errno;
  ::close(fd);
  errno = e;
  return r;
}

std::unique_ptr<DirectoryReader> read_directory(int fd) {
  DIR* directory = fdopendir(fd);
  if (directory == nullptr) {
    const int e = errno;
    ::close(fd);
    errno = e;
    return nullptr;
  }
  return std::make_unique<SystemDirectory>(directory);
}

int WholeFileSystem::open(const std::string& path, int flags, mode_t mode) {
  return on_file(path, [&] { return ::open(path.c_str(), flags, mode); });
}
int WholeFileSystem::stat(const std::string& path, struct stat& st) {
  return on_file(path, [&] { return ::stat(path.c_str(), &st); });
}
int WholeFileSystem::lstat(const std::string& path, struct stat& st) {
  return on_file(path, [&] { return ::lstat(path.c_str(), &st); });
}
int WholeFileSystem::access(const std::string& path, int mode) {
  return on_file(path, [&] { return ::access(path.c_str(), mode); });
}
std::unique_ptr<DirectoryReader> WholeFileSystem::open_directory(const std::string& path) {
  const int fd =
      on_file(path, [&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return nullptr;
  return read_directory(fd);
}
int WholeFileSystem::mkdir(const std::string& path, mode_t mode) {
  return on_file(path, [&] { return ::mkdir(path.c_str(), mode); });
}
int WholeFileSystem::rmdir(const std::string& path) {
  return on_file(path, [&] { return ::rmdir(path.c_str()); });
}
int WholeFileSystem::unlink(const std::string& path) {
  return on_file(path, [&] { return ::unlink(path.c_str()); });
}
int WholeFileSystem::rename(const std::string& source, const std::string& target) {
  return on_file(source, [&] {
    return on_file(target, [&] { return ::rename(source.c_str(), target.c_str()); });
  });
}
int WholeFileSystem::chmod(const std::string& path, mode_t mode) {
  return on_file(path, [&] { return ::chmod(path.c_str(), mode); });
}
int WholeFileSystem::chmod_entry(const std::string& path, mode_t mode) {
  return on_file(path,
                 [&] { return ::fchmodat(AT_FDCWD, path.c_str(), mode, AT_SYMLINK_NOFOLLOW); });
}
int WholeFileSystem::sync_directory(const std::string& path) {
  const int fd =
      on_file(path, [&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  return fd < 0 ? -1 : sync_and_close(fd);
}

ssize_t WholeFileSystem::read(int fd, void* buffer, size_t size) {
  return ::read(fd, buffer, size);
}
ssize_t WholeFileSystem::write(int fd, const void* buffer, size_t size) {
  return ::write(fd, buffer, size);
}
off_t WholeFileSystem::seek(int fd, off_t offset, int whence) {
  return ::lseek(fd, offset, whence);
}
int WholeFileSystem::truncate(int fd, off_t length) { return ::ftruncate(fd, length); }
int WholeFileSystem::fstat(int fd, struct stat& st) { return ::fstat(fd, &st); }
int WholeFileSystem::fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }
int WholeFileSystem::set_times(int fd, const timespec times[2]) { return ::futimens(fd, times); }
int WholeFileSystem::set_group(int fd, gid_t group) {
  return ::fchown(fd, static_cast<uid_t>(-1), group);
}
int WholeFileSystem::sync_data(int fd) { return ::fdatasync(fd); }
int WholeFileSystem::sync(int fd) { return ::fsync(fd); }
int WholeFileSystem::close(int fd) { return ::close(fd); }

}  // namespace tarnel

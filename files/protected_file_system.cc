#include "files/protected_file_system.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace tarnel {

namespace {

FileIdentity identity_of(const struct stat& st) { return {st.st_dev, st.st_ino}; }

int denied() {
  errno = EACCES;
  return -1;
}

}  // namespace

void ProtectedFileSystem::protect(const FileIdentity& file,
                                  const std::vector<FileIdentity>& holders) {
  files_.push_back(file);
  holders_.insert(holders_.end(), holders.begin(), holders.end());
}

bool ProtectedFileSystem::is_file(const struct stat& st) const {
  return std::find(files_.begin(), files_.end(), identity_of(st)) != files_.end();
}

bool ProtectedFileSystem::is_holder(const struct stat& st) const {
  return S_ISDIR(st.st_mode) &&
         std::find(holders_.begin(), holders_.end(), identity_of(st)) != holders_.end();
}

bool ProtectedFileSystem::entry_protected(const std::string& path) {
  struct stat st;
  return target().lstat(path, st) == 0 && (is_file(st) || is_holder(st));
}

int ProtectedFileSystem::open(const std::string& path, int flags, mode_t mode) {
  const bool writes = (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC)) != 0;
  if (!writes || files_.empty()) return FileSystemWrapper::open(path, flags, mode);
  // Opened without cutting, looked at, and cut only when it is no file of
  // the server's: the descriptor is what the client would write.
  const int fd = FileSystemWrapper::open(path, flags & ~O_TRUNC, mode);
  if (fd < 0) return -1;
  struct stat st;
  if (FileSystemWrapper::fstat(fd, st) != 0) {
    const int e = errno;
    FileSystemWrapper::close(fd);
    errno = e;
    return -1;
  }
  if (is_file(st)) {
    FileSystemWrapper::close(fd);
    return denied();
  }
  // O_TRUNC cuts regular files only; the kernel ignores it on the rest.
  if ((flags & O_TRUNC) != 0 && S_ISREG(st.st_mode) && FileSystemWrapper::truncate(fd, 0) != 0) {
    const int e = errno;
    FileSystemWrapper::close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

int ProtectedFileSystem::rmdir(const std::string& path) {
  if (entry_protected(path)) return denied();
  return FileSystemWrapper::rmdir(path);
}

int ProtectedFileSystem::unlink(const std::string& path) {
  if (entry_protected(path)) return denied();
  return FileSystemWrapper::unlink(path);
}

int ProtectedFileSystem::rename(const std::string& source, const std::string& target) {
  // Of a protected file or a folder that holds one, or onto either.
  if (entry_protected(source) || entry_protected(target)) return denied();
  return FileSystemWrapper::rename(source, target);
}

int ProtectedFileSystem::chmod(const std::string& path, mode_t mode) {
  struct stat st;
  if (target().stat(path, st) == 0 && is_file(st)) return denied();
  return FileSystemWrapper::chmod(path, mode);
}

int ProtectedFileSystem::chmod_entry(const std::string& path, mode_t mode) {
  struct stat st;
  if (target().lstat(path, st) == 0 && is_file(st)) return denied();
  return FileSystemWrapper::chmod_entry(path, mode);
}

}  // namespace tarnel

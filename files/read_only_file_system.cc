#include "files/read_only_file_system.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tarnel {

namespace {

constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

int refused() {
  errno = EROFS;
  return -1;
}

/// The directory that holds the final name of `path` ("/" for "/x").
std::string parent_of(const std::string& path) {
  const size_t last = path.find_last_not_of('/');
  if (last == std::string::npos) return "/";
  const size_t slash = path.rfind('/', last);
  if (slash == std::string::npos) return "/";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

int ReadOnlyFileSystem::open(const std::string& path, int flags, mode_t mode) {
  if ((flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC)) != 0) return refused();
  return FileSystemWrapper::open(path, flags, mode);
}

int ReadOnlyFileSystem::stat(const std::string& path, struct stat& st) {
  const int r = FileSystemWrapper::stat(path, st);
  if (r == 0) st.st_mode &= ~kWriteBits;
  return r;
}

int ReadOnlyFileSystem::lstat(const std::string& path, struct stat& st) {
  const int r = FileSystemWrapper::lstat(path, st);
  if (r == 0) st.st_mode &= ~kWriteBits;
  return r;
}

int ReadOnlyFileSystem::fstat(int fd, struct stat& st) {
  const int r = FileSystemWrapper::fstat(fd, st);
  if (r == 0) st.st_mode &= ~kWriteBits;
  return r;
}

int ReadOnlyFileSystem::access(const std::string& path, int mode) {
  if ((mode & W_OK) == 0) return FileSystemWrapper::access(path, mode);
  // What exists, and what else was asked, answers first.
  const int others = mode & ~W_OK;
  if (FileSystemWrapper::access(path, others != 0 ? others : F_OK) != 0) return -1;
  return refused();
}

int ReadOnlyFileSystem::mkdir(const std::string& path, mode_t) {
  struct stat st;
  if (target().lstat(path, st) == 0) {
    errno = EEXIST;
    return -1;
  }
  if (errno != ENOENT) return -1;
  // A missing entry: whether it could be made depends on its parent.
  if (target().stat(parent_of(path), st) != 0) return -1;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return -1;
  }
  return refused();
}

int ReadOnlyFileSystem::rmdir(const std::string& path) {
  struct stat st;
  if (target().lstat(path, st) != 0) return -1;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return -1;
  }
  return refused();
}

int ReadOnlyFileSystem::unlink(const std::string& path) {
  struct stat st;
  if (target().lstat(path, st) != 0) return -1;
  return refused();
}

int ReadOnlyFileSystem::rename(const std::string& source, const std::string&) {
  struct stat st;
  if (target().lstat(source, st) != 0) return -1;
  return refused();
}

int ReadOnlyFileSystem::chmod(const std::string& path, mode_t) {
  struct stat st;
  if (target().stat(path, st) != 0) return -1;
  return refused();
}

int ReadOnlyFileSystem::chmod_entry(const std::string& path, mode_t) {
  struct stat st;
  if (target().lstat(path, st) != 0) return -1;
  return refused();
}

ssize_t ReadOnlyFileSystem::write(int, const void*, size_t) { return refused(); }
int ReadOnlyFileSystem::truncate(int, off_t) { return refused(); }
int ReadOnlyFileSystem::fchmod(int, mode_t) { return refused(); }
int ReadOnlyFileSystem::set_times(int, const timespec*) { return refused(); }
int ReadOnlyFileSystem::set_group(int, gid_t) { return refused(); }
// The syncs change nothing and are forwarded: there is nothing to refuse.

}  // namespace tarnel

#include "files/confined_file_system.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tarnel {

namespace {

#ifndef SYS_fchmodat2
#define SYS_fchmodat2 452  // Linux 6.6; the C library's headers may not know it yet
#endif

/// How often a resolution that the kernel gave up on (EAGAIN: a rename or a
/// mount raced with "..") is tried again.
constexpr int kResolveTries = 8;

constexpr uint64_t kBeneath = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;

long openat2_call(int dirfd, const char* path, int flags, mode_t mode) {
  open_how how;
  std::memset(&how, 0, sizeof how);
  how.flags = static_cast<uint64_t>(static_cast<unsigned>(flags | O_CLOEXEC));
  // openat2 refuses a mode without O_CREAT.
  how.mode = (flags & O_CREAT) != 0 ? mode : 0;
  how.resolve = kBeneath;
  return syscall(SYS_openat2, dirfd, path, &how, sizeof how);
}

/// The path relative to the root: without its leading "/"s; "." for the
/// root itself.
std::string beneath(const std::string& path) {
  const size_t first = path.find_first_not_of('/');
  return first == std::string::npos ? std::string(".") : path.substr(first);
}

/// Keeps errno across a close.
void close_keeping_errno(int fd) {
  const int e = errno;
  ::close(fd);
  errno = e;
}

/// The path of a descriptor of our own under /proc, for the older kernels
/// that cannot act on a descriptor by an empty path.
std::string proc_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

/// The reason for an openat2 that answered ENOSYS, from what this process
/// can see of its kernel and of its own seccomp mode.
std::string openat2_missing_here() {
  utsname name;
  const std::string release = uname(&name) == 0 ? name.release : "";
  std::ifstream in("/proc/self/status");
  std::ostringstream status;
  status << in.rdbuf();
  return ConfinedFileSystem::openat2_missing_reason(release, status.str());
}

}  // namespace

std::string ConfinedFileSystem::openat2_missing_reason(const std::string& kernel_release,
                                                       const std::string& proc_status) {
  int major = 0;
  int minor = 0;
  const bool known = std::sscanf(kernel_release.c_str(), "%d.%d", &major, &minor) == 2;
  const bool new_kernel = known && (major > 5 || (major == 5 && minor >= 6));
  // Mode 2 is a filter; 1 (strict) would not let the program get this far.
  bool filtered = false;
  const size_t at = proc_status.find("\nSeccomp:");
  if (at != std::string::npos) {
    const size_t value = proc_status.find_first_not_of(" \t", at + 9);
    filtered = value != std::string::npos && proc_status[value] == '2';
  }
  if (!new_kernel && !filtered) return "the kernel has no openat2 (Linux 5.6 or later)";
  std::string reason = "openat2 is refused, most likely by a seccomp filter";
  if (new_kernel) reason += " (the kernel, Linux " + kernel_release + ", has it)";
  return reason + "; a service's RestrictSUIDSGID=yes refuses it, for one";
}

std::unique_ptr<ConfinedFileSystem> ConfinedFileSystem::open_root(const std::string& root,
                                                                  std::string* why) {
  if (!names_a_file(root)) {
    *why = "the folder's name holds a NUL byte";
    return nullptr;
  }
  const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) {
      *why = root + ": no such directory";
    } else if (errno == ENOTDIR) {
      *why = root + ": not a directory";
    } else {
      *why = root + ": cannot be opened: " + std::strerror(errno);
    }
    return nullptr;
  }
  const long probe = openat2_call(fd, ".", O_PATH | O_DIRECTORY, 0);
  if (probe < 0) {
    if (errno == ENOSYS) {
      *why = root + ": cannot be confined: " + openat2_missing_here();
    } else if (errno == EINVAL) {
      *why = root + ": cannot be confined: the kernel has no openat2 (Linux 5.6 or later)";
    } else {
      *why = root + ": cannot be confined: " + std::strerror(errno);
    }
    ::close(fd);
    return nullptr;
  }
  ::close(static_cast<int>(probe));
  return std::make_unique<ConfinedFileSystem>(fd);
}

ConfinedFileSystem::ConfinedFileSystem(int root_fd) : root_(root_fd) {}

ConfinedFileSystem::~ConfinedFileSystem() { ::close(root_); }

int ConfinedFileSystem::resolve(const std::string& path, int flags, mode_t mode) {
  if (!names_a_file(path)) {
    errno = unnamed_path_errno(path);
    return -1;
  }
  const std::string relative = beneath(path);
  long fd = -1;
  for (int tries = 0; tries < kResolveTries; ++tries) {
    fd = openat2_call(root_, relative.c_str(), flags, mode);
    if (fd >= 0 || errno != EAGAIN) break;
  }
  if (fd < 0) {
    // The way leads out of the root: outside, nothing exists.
    if (errno == EXDEV) errno = ENOENT;
    return -1;
  }
  return static_cast<int>(fd);
}

bool ConfinedFileSystem::find_entry(const std::string& path, Entry& entry) {
  entry = Entry{};
  if (!names_a_file(path)) {
    errno = unnamed_path_errno(path);
    return false;
  }
  std::string relative = beneath(path);
  const size_t last = relative.find_last_not_of('/');
  entry.slash = last + 1 < relative.size();
  relative.erase(last + 1);  // "." stays: beneath() never gives "" or "/" alone
  const size_t slash = relative.rfind('/');
  entry.name = slash == std::string::npos ? relative : relative.substr(slash + 1);
  entry.dot = entry.name == "." || entry.name == "..";
  if (slash == std::string::npos) {
    entry.parent = root_;
  } else {
    entry.parent = resolve(relative.substr(0, slash), O_PATH | O_DIRECTORY);
    if (entry.parent < 0) return false;
  }
  if (entry.dot) {
    // "." and ".." name a directory that must itself lie beneath the root;
    // the calls below never change one by such a name (the kernel refuses).
    const int whole = resolve(relative, O_PATH | O_DIRECTORY);
    if (whole < 0) {
      release(entry);
      return false;
    }
    ::close(whole);
  }
  return true;
}

void ConfinedFileSystem::release(Entry& entry) {
  if (entry.parent >= 0 && entry.parent != root_) close_keeping_errno(entry.parent);
  entry.parent = -1;
}

int ConfinedFileSystem::open(const std::string& path, int flags, mode_t mode) {
  return resolve(path, flags, mode);
}

int ConfinedFileSystem::stat(const std::string& path, struct stat& st) {
  const int fd = resolve(path, O_PATH);
  if (fd < 0) return -1;
  const int r = ::fstat(fd, &st);
  close_keeping_errno(fd);
  return r;
}

int ConfinedFileSystem::lstat(const std::string& path, struct stat& st) {
  Entry entry;
  if (!find_entry(path, entry)) return -1;
  int r;
  if (entry.dot || entry.slash) {
    // A directory (a trailing "/" follows a final link, as lstat does).
    r = stat(path, st);
  } else {
    r = ::fstatat(entry.parent, entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW);
  }
  release(entry);
  return r;
}

int ConfinedFileSystem::access(const std::string& path, int mode) {
  const int fd = resolve(path, O_PATH);
  if (fd < 0) return -1;
  long r = faccessat2_call(fd, mode);
  // Older kernels do not know the call; a system call filter that does not
  // know it answers EPERM (a unit's SystemCallFilter). The path under /proc
  // answers the same question either way.
  if (r < 0 && (errno == ENOSYS || errno == EPERM)) r = ::access(proc_path(fd).c_str(), mode);
  close_keeping_errno(fd);
  return r < 0 ? -1 : 0;
}

std::unique_ptr<DirectoryReader> ConfinedFileSystem::open_directory(const std::string& path) {
  const int fd = resolve(path, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return nullptr;
  return read_directory(fd);
}

long ConfinedFileSystem::fchmodat2_call(int fd, mode_t mode) {
  return syscall(SYS_fchmodat2, fd, "", mode, AT_EMPTY_PATH);
}

long ConfinedFileSystem::faccessat2_call(int fd, int mode) {
  return syscall(SYS_faccessat2, fd, "", mode, AT_EMPTY_PATH);
}

int ConfinedFileSystem::sync_directory(const std::string& path) {
  const int fd = resolve(path, O_RDONLY | O_DIRECTORY);
  return fd < 0 ? -1 : sync_and_close(fd);
}

int ConfinedFileSystem::mkdir(const std::string& path, mode_t mode) {
  Entry entry;
  if (!find_entry(path, entry)) return -1;
  const int r = ::mkdirat(entry.parent, entry.name.c_str(), mode);
  release(entry);
  return r;
}

int ConfinedFileSystem::rmdir(const std::string& path) {
  Entry entry;
  if (!find_entry(path, entry)) return -1;
  const int r = ::unlinkat(entry.parent, entry.name.c_str(), AT_REMOVEDIR);
  release(entry);
  return r;
}

int ConfinedFileSystem::unlink(const std::string& path) {
  Entry entry;
  if (!find_entry(path, entry)) return -1;
  int r;
  if (entry.slash) {
    // "f/" names no file: a directory is not unlinked, anything else is no
    // directory.
    struct stat st;
    r = ::fstatat(entry.parent, entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW);
    if (r == 0) {
      errno = S_ISDIR(st.st_mode) ? EISDIR : ENOTDIR;
      r = -1;
    }
  } else {
    r = ::unlinkat(entry.parent, entry.name.c_str(), 0);
  }
  release(entry);
  return r;
}

int ConfinedFileSystem::rename(const std::string& source, const std::string& target) {
  Entry from;
  if (!find_entry(source, from)) return -1;
  Entry to;
  if (!find_entry(target, to)) {
    release(from);
    return -1;
  }
  int r = 0;
  if (from.slash || to.slash) {
    // A trailing "/" on either side asks for a directory.
    struct stat st;
    r = ::fstatat(from.parent, from.name.c_str(), &st, AT_SYMLINK_NOFOLLOW);
    if (r == 0 && !S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      r = -1;
    }
  }
  if (r == 0) r = ::renameat(from.parent, from.name.c_str(), to.parent, to.name.c_str());
  release(to);
  release(from);
  return r;
}

int ConfinedFileSystem::chmod(const std::string& path, mode_t mode) {
  const int fd = resolve(path, O_PATH);
  if (fd < 0) return -1;
  long r = fchmodat2_call(fd, mode);
  // Unknown to the kernel (ENOSYS, or EINVAL before it took AT_EMPTY_PATH)
  // or to a system call filter (EPERM): the path under /proc does the same,
  // and where the server truly may not, it answers EPERM itself.
  if (r < 0 && (errno == ENOSYS || errno == EINVAL || errno == EPERM)) {
    r = ::chmod(proc_path(fd).c_str(), mode);
  }
  close_keeping_errno(fd);
  return r < 0 ? -1 : 0;
}

int ConfinedFileSystem::chmod_entry(const std::string& path, mode_t mode) {
  Entry entry;
  if (!find_entry(path, entry)) return -1;
  int r;
  if (entry.dot || entry.slash) {
    r = chmod(path, mode);  // a directory, reached beneath the root
  } else {
    r = ::fchmodat(entry.parent, entry.name.c_str(), mode, AT_SYMLINK_NOFOLLOW);
  }
  release(entry);
  return r;
}

}  // namespace tarnel

#include "testing/power_loss_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <utility>

namespace tarnel::testing {

namespace {

/// The whole content of the file open on `fd`, read through a descriptor of
/// its own (the upload's may be open for writing only).
std::string content_of(int fd) {
  std::string data;
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  const int reader = ::open(proc.c_str(), O_RDONLY | O_CLOEXEC);
  if (reader < 0) return data;
  char block[65536];
  ssize_t n;
  while ((n = ::read(reader, block, sizeof block)) > 0) data.append(block, static_cast<size_t>(n));
  ::close(reader);
  return data;
}

std::string content_of(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string data = content_of(fd);
  ::close(fd);
  return data;
}

}  // namespace

PowerLossFileSystem::PowerLossFileSystem(FileSystem& target, std::string root)
    : FileSystemWrapper(target), root_(std::move(root)) {
  struct stat st;
  if (::stat(root_.c_str(), &st) == 0) {
    root_inode_ = st.st_ino;
    remember_tree(root_, st);
  }
}

void PowerLossFileSystem::remember_tree(const std::string& path, const struct stat& st) {
  Node& node = durable_[st.st_ino];
  node.mode = st.st_mode & 07777;
  node.directory = S_ISDIR(st.st_mode);
  if (!node.directory) {
    node.data = content_of(path);
    return;
  }
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string child = path + "/" + name;
    struct stat child_st;
    if (::lstat(child.c_str(), &child_st) != 0) continue;
    if (!S_ISREG(child_st.st_mode) && !S_ISDIR(child_st.st_mode)) continue;
    durable_[st.st_ino].entries[name] = child_st.st_ino;
    remember_tree(child, child_st);
  }
  ::closedir(dir);
}

void PowerLossFileSystem::remember_file(int fd, bool with_mode) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
  const bool known = durable_.count(st.st_ino) != 0;
  Node& node = durable_[st.st_ino];
  node.data = content_of(fd);
  if (with_mode || !known) node.mode = st.st_mode & 07777;
}

void PowerLossFileSystem::remember_entries(const std::string& path) {
  if (path != root_ && path.rfind(root_ + "/", 0) != 0) return;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  std::map<std::string, ino_t> entries;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat child;
    if (::lstat((path + "/" + name).c_str(), &child) != 0) continue;
    if (!S_ISREG(child.st_mode) && !S_ISDIR(child.st_mode)) continue;
    entries[name] = child.st_ino;
    if (durable_.count(child.st_ino) == 0) {
      // An entry whose file was never synced: it survives, its data do not.
      Node& node = durable_[child.st_ino];
      node.directory = S_ISDIR(child.st_mode);
      node.mode = child.st_mode & 07777;
    }
  }
  ::closedir(dir);
  Node& node = durable_[st.st_ino];
  node.directory = true;
  node.entries = std::move(entries);
}

void PowerLossFileSystem::flush_data(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string child = path + "/" + name;
    struct stat st;
    if (::lstat(child.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      flush_data(child);
    } else if (S_ISREG(st.st_mode) && durable_.count(st.st_ino) != 0) {
      durable_[st.st_ino].data = content_of(child);
    }
  }
  ::closedir(dir);
}

void PowerLossFileSystem::lose_power() {
  dead_ = true;
  if (keep_unsynced_) flush_data(root_);
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(root_, ec)) {
    std::filesystem::remove_all(entry.path(), ec);
  }
  rebuild(root_, root_inode_);
}

void PowerLossFileSystem::rebuild(const std::string& path, ino_t inode) {
  // Copied: the map may grow while it is walked.
  const std::map<std::string, ino_t> entries = durable_[inode].entries;
  for (const auto& [name, child_inode] : entries) {
    const std::string child = path + "/" + name;
    const Node node = durable_[child_inode];
    if (node.directory) {
      ::mkdir(child.c_str(), 0700);
      rebuild(child, child_inode);
    } else {
      const int fd = ::open(child.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      if (fd < 0) continue;
      if (!node.data.empty() && ::write(fd, node.data.data(), node.data.size()) < 0) {
        // The test that reads it back sees what is missing.
      }
      ::close(fd);
    }
    ::chmod(child.c_str(), node.mode);
  }
}

template <typename Call>
auto PowerLossFileSystem::step(Call call) -> decltype(call()) {
  if (dead_) {
    errno = EIO;
    return -1;
  }
  const auto result = call();
  const int e = errno;
  ++calls_;
  if (calls_ == cut_after_) lose_power();
  errno = e;
  return result;
}

int PowerLossFileSystem::open(const std::string& path, int flags, mode_t mode) {
  return step([&] { return FileSystemWrapper::open(path, flags, mode); });
}
int PowerLossFileSystem::stat(const std::string& path, struct stat& st) {
  return step([&] { return FileSystemWrapper::stat(path, st); });
}
int PowerLossFileSystem::lstat(const std::string& path, struct stat& st) {
  return step([&] { return FileSystemWrapper::lstat(path, st); });
}
int PowerLossFileSystem::access(const std::string& path, int mode) {
  return step([&] { return FileSystemWrapper::access(path, mode); });
}
std::unique_ptr<DirectoryReader> PowerLossFileSystem::open_directory(const std::string& path) {
  std::unique_ptr<DirectoryReader> reader;
  const int r = step([&] {
    reader = FileSystemWrapper::open_directory(path);
    return reader ? 0 : -1;
  });
  if (r != 0) reader.reset();
  return reader;
}
int PowerLossFileSystem::mkdir(const std::string& path, mode_t mode) {
  return step([&] { return FileSystemWrapper::mkdir(path, mode); });
}
int PowerLossFileSystem::rmdir(const std::string& path) {
  return step([&] { return FileSystemWrapper::rmdir(path); });
}
int PowerLossFileSystem::unlink(const std::string& path) {
  return step([&] { return FileSystemWrapper::unlink(path); });
}
int PowerLossFileSystem::rename(const std::string& source, const std::string& target) {
  return step([&] { return FileSystemWrapper::rename(source, target); });
}
int PowerLossFileSystem::chmod(const std::string& path, mode_t mode) {
  return step([&] { return FileSystemWrapper::chmod(path, mode); });
}
int PowerLossFileSystem::chmod_entry(const std::string& path, mode_t mode) {
  return step([&] { return FileSystemWrapper::chmod_entry(path, mode); });
}
int PowerLossFileSystem::sync_directory(const std::string& path) {
  return step([&] {
    const int r = FileSystemWrapper::sync_directory(path);
    if (r == 0) remember_entries(path);
    return r;
  });
}

ssize_t PowerLossFileSystem::read(int fd, void* buffer, size_t size) {
  return step([&] { return FileSystemWrapper::read(fd, buffer, size); });
}
ssize_t PowerLossFileSystem::write(int fd, const void* buffer, size_t size) {
  return step([&] { return FileSystemWrapper::write(fd, buffer, size); });
}
off_t PowerLossFileSystem::seek(int fd, off_t offset, int whence) {
  return step([&] { return FileSystemWrapper::seek(fd, offset, whence); });
}
int PowerLossFileSystem::truncate(int fd, off_t length) {
  return step([&] { return FileSystemWrapper::truncate(fd, length); });
}
int PowerLossFileSystem::fstat(int fd, struct stat& st) {
  return step([&] { return FileSystemWrapper::fstat(fd, st); });
}
int PowerLossFileSystem::fchmod(int fd, mode_t mode) {
  return step([&] { return FileSystemWrapper::fchmod(fd, mode); });
}
int PowerLossFileSystem::set_times(int fd, const timespec times[2]) {
  return step([&] { return FileSystemWrapper::set_times(fd, times); });
}
int PowerLossFileSystem::set_group(int fd, gid_t group) {
  return step([&] { return FileSystemWrapper::set_group(fd, group); });
}
int PowerLossFileSystem::sync_data(int fd) {
  return step([&] {
    const int r = FileSystemWrapper::sync_data(fd);
    if (r == 0) remember_file(fd, false);
    return r;
  });
}
int PowerLossFileSystem::sync(int fd) {
  return step([&] {
    const int r = FileSystemWrapper::sync(fd);
    if (r == 0) remember_file(fd, true);
    return r;
  });
}
int PowerLossFileSystem::close(int fd) {
  if (dead_) {
    // The descriptor is released all the same.
    FileSystemWrapper::close(fd);
    errno = EIO;
    return -1;
  }
  return step([&] { return FileSystemWrapper::close(fd); });
}

}  // namespace tarnel::testing

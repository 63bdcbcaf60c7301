#include "files/partial.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "files/errors.h"
#include "files/file_state.h"
#include "files/io.h"
#include "files/metadata.h"
#include "files/resume.h"

namespace tarnel {

namespace {

constexpr int kNewFlags = O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC;
/// A partial is always a regular file of ours: a link or anything else that
/// took its name is never followed or written.
constexpr int kPartialFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

/// The last name of `path` and where it starts.
std::string_view last_name(std::string_view path, size_t* start) {
  const size_t slash = path.rfind('/');
  *start = slash == std::string_view::npos ? 0 : slash + 1;
  return path.substr(*start);
}

uint64_t fnv1a(std::string_view bytes) {
  uint64_t hash = 14695981039346656037ull;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace

bool is_partial_name(std::string_view name) {
  return name.size() > 1 + PARTIAL_SUFFIX.size() && name.front() == '.' &&
         name.ends_with(PARTIAL_SUFFIX);
}

bool is_partial_path(std::string_view path) {
  const size_t end = path.find_last_not_of('/');
  if (end == std::string_view::npos) return false;
  size_t start;
  return is_partial_name(last_name(path.substr(0, end + 1), &start));
}

std::string partial_path(std::string_view target) {
  size_t start;
  const std::string_view name = last_name(target, &start);
  std::string partial(target.substr(0, start));
  if (1 + name.size() + PARTIAL_SUFFIX.size() <= PARTIAL_NAME_MAX) {
    partial += '.';
    partial += name;
  } else {
    char hex[20];
    std::snprintf(hex, sizeof hex, ".%016llx", static_cast<unsigned long long>(fnv1a(name)));
    partial += hex;
  }
  partial += PARTIAL_SUFFIX;
  return partial;
}

std::string folder_of(std::string_view path) {
  const size_t last = path.find_last_not_of('/');
  if (last == std::string_view::npos) return "/";
  const size_t slash = path.rfind('/', last);
  if (slash == std::string_view::npos || slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

UploadFile::~UploadFile() {
  if (fd_ >= 0) fs_.close(fd_);
}

bool UploadFile::has_partial(FileSystem& fs, const std::string& target) {
  struct stat st;
  return fs.lstat(partial_path(target), st) == 0 && S_ISREG(st.st_mode);
}

void UploadFile::discard(FileSystem& fs, const std::string& target) {
  if (has_partial(fs, target)) fs.unlink(partial_path(target));
}

bool UploadFile::open_partial(int flags) {
  partial_path_ = partial_path(target_);
  partial_ = true;
  fd_ = io_open(fs_, partial_path_, flags | kPartialFlags);
  if (fd_ < 0) return false;
  struct stat st;
  if (fs_.fstat(fd_, st) != 0 || !S_ISREG(st.st_mode)) {
    // Something else holds the partial's name (a folder opened for
    // reading, a device): not ours to write.
    fs_.close(fd_);
    fd_ = -1;
    note_io_error(EACCES);
    return false;
  }
  regular_ = true;
  return true;
}

bool UploadFile::open_new() {
  struct stat st;
  // Replaced by a rename only where that changes nothing but the content:
  // a regular file (not a link, which the rename would replace, nor one of
  // several hard links, which it would split) in a folder the server may
  // write (to make the partial in).
  const bool replace = fs_.lstat(target_, st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
                       fs_.access(folder_of(target_), W_OK | X_OK) == 0;
  if (replace) {
    // What the server may not write in place it may not replace either: the
    // same open for writing (without cutting) answers.
    const int probe = io_open(fs_, target_, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) return false;
    if (!io_close(fs_, probe)) return false;
    return open_partial(O_WRONLY | O_CREAT | O_TRUNC);
  }
  // A new upload starts over: a partial left from an earlier one is stale.
  discard(fs_, target_);
  fd_ = io_open(fs_, target_, kNewFlags);
  if (fd_ < 0) return false;
  regular_ = fs_.fstat(fd_, st) == 0 && S_ISREG(st.st_mode);
  return true;
}

bool UploadFile::open_for_resume() {
  existing_file_open_mode = O_RDWR;
  if (has_partial(fs_, target_)) return open_partial(O_RDWR);
  fd_ = open_existing_file(fs_, target_);
  if (fd_ < 0) return false;
  struct stat st;
  regular_ = fs_.fstat(fd_, st) == 0 && S_ISREG(st.st_mode);
  return true;
}

void UploadFile::adopt(int fd) {
  fd_ = fd;
  struct stat st;
  regular_ = fs_.fstat(fd_, st) == 0 && S_ISREG(st.st_mode);
}

bool UploadFile::store(const void* data, size_t size) {
  if (!io_write_all(fs_, fd_, data, size)) return false;
  unsynced_ += static_cast<int64_t>(size);
  if (regular_ && unsynced_ >= PARTIAL_SYNC_BYTES) {
    // Synced as the data come, so that the sync before the last frame is
    // accepted stays short however large the file.
    if (!io_sync_data(fs_, fd_)) return false;
    unsynced_ = 0;
  }
  return true;
}

bool UploadFile::commit(int32_t time, int32_t attributes) {
  if (partial_) {
    // The new file takes the old one's place with what the old one had.
    struct stat old;
    struct stat now;
    if (fs_.lstat(target_, old) == 0 && S_ISREG(old.st_mode)) {
      // Permission bits only: a set-user-ID or set-group-ID bit never goes
      // onto content the client sent.
      fs_.fchmod(fd_, old.st_mode & 0777);
      // Where the server may set it; a refusal (not a member of the group,
      // or a filter that forbids it) keeps the server's own group.
      if (fs_.fstat(fd_, now) == 0 && now.st_gid != old.st_gid) fs_.set_group(fd_, old.st_gid);
    }
  }
  if (time != -1) apply_time_stamp(fs_, fd_, time);
  if (attributes != -1) apply_attribute_number(fs_, path(), attributes);
  bool ok = !regular_ || io_sync(fs_, fd_);
  const int fd = fd_;
  fd_ = -1;
  ok = io_close(fs_, fd) && ok;
  if (!ok) return false;
  if (partial_ && !io_rename(fs_, partial_path_, target_)) return false;
  // The new entry (a created file, or the rename) is on the disk too.
  return !regular_ || io_sync_directory(fs_, folder_of(target_));
}

void UploadFile::abandon() {
  if (fd_ < 0) return;
  fs_.close(fd_);
  fd_ = -1;
}

}  // namespace tarnel

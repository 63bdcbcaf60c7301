#include "startup/sharing.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/confined_file_system.h"
#include "files/read_only_file_system.h"

namespace tarnel {

namespace {

/// File access with the real user's and group's rights while it lives
/// (only the file-system IDs change: nothing else of the process's rights).
/// A process that runs with its own IDs (not set-user-ID, as under the
/// service unit, whose system call filter refuses setfsuid) changes nothing.
class AsRealUser {
 public:
  AsRealUser() : needed_(getuid() != geteuid() || getgid() != getegid()) {
    if (!needed_) return;
    saved_gid_ = setfsgid(getgid());
    saved_uid_ = setfsuid(getuid());
  }
  ~AsRealUser() {
    if (!needed_) return;
    setfsuid(static_cast<uid_t>(saved_uid_));
    setfsgid(static_cast<gid_t>(saved_gid_));
  }
  AsRealUser(const AsRealUser&) = delete;
  AsRealUser& operator=(const AsRealUser&) = delete;

  /// Whether the change took: setfsuid reports the ID in force when asked
  /// with an invalid one.
  bool in_force() const {
    if (!needed_) return true;
    return setfsuid(static_cast<uid_t>(-1)) == static_cast<int>(getuid()) &&
           setfsgid(static_cast<gid_t>(-1)) == static_cast<int>(getgid());
  }

 private:
  bool needed_;
  int saved_gid_ = -1;
  int saved_uid_ = -1;
};

}  // namespace

std::unique_ptr<SharedFiles> SharedFiles::make(const Sharing& sharing, std::string* why) {
  auto shared = std::unique_ptr<SharedFiles>(new SharedFiles);
  if (sharing.root.empty()) {
    shared->base_ = std::make_unique<WholeFileSystem>();
  } else {
    std::unique_ptr<ConfinedFileSystem> confined;
    {
      AsRealUser as_user;
      if (!as_user.in_force()) {
        *why = "--root " + sharing.root + ": cannot take on the starting user's rights to open it";
        return nullptr;
      }
      std::string problem;
      confined = ConfinedFileSystem::open_root(sharing.root, &problem);
      if (!confined) {
        *why = "--root " + problem;
        return nullptr;
      }
    }
    shared->base_ = std::move(confined);
    shared->description_ = "Sharing only the folder " + sharing.root;
  }
  shared->protected_ = std::make_unique<ProtectedFileSystem>(*shared->base_);
  shared->top_ = shared->protected_.get();
  if (sharing.read_only) {
    shared->read_only_ = std::make_unique<ReadOnlyFileSystem>(*shared->protected_);
    shared->top_ = shared->read_only_.get();
    shared->description_ = sharing.root.empty() ? "Sharing the whole file system read-only"
                                                : shared->description_ + ", read-only";
  }
  return shared;
}

bool SharedFiles::protect_own_file(const std::string& path) {
  struct stat st;
  char real[PATH_MAX];
  if (::stat(path.c_str(), &st) != 0 || realpath(path.c_str(), real) == nullptr) return false;
  const FileIdentity file{st.st_dev, st.st_ino};
  // Every folder on the way down to it: "/", "/a", "/a/b", ...
  std::vector<FileIdentity> holders;
  const std::string canonical = real;
  for (size_t slash = 0; slash != std::string::npos; slash = canonical.find('/', slash + 1)) {
    const std::string folder = slash == 0 ? "/" : canonical.substr(0, slash);
    if (::stat(folder.c_str(), &st) == 0) holders.push_back({st.st_dev, st.st_ino});
  }
  protected_->protect(file, holders);
  return true;
}

}  // namespace tarnel

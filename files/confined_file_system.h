// The file system beneath one directory (--root DIR): the client's "\" is
// DIR, and no path leaves it.
//
// Every path is resolved by the kernel from a descriptor of DIR (openat2
// with RESOLVE_BENEATH and RESOLVE_NO_MAGICLINKS), and every change is made
// on the final name relative to its parent's descriptor (mkdirat, unlinkat,
// renameat, fchmodat without following a link); no path string is checked
// first and used afterwards, so a rename or a new link in between cannot
// lead a call outside.
//
// What stays inside works as on the whole file system: "..", and relative
// symbolic links, that end inside DIR. What would lead outside is treated as
// a missing entry (ENOENT, the wire's 2), everywhere alike:
//   - ".." above DIR ("\..\etc\passwd");
//   - a symbolic link inside DIR whose target lies outside, followed on the
//     way or at the end (a link to a directory or to a file outside, a
//     dangling link pointing outside as an upload target); the listing
//     leaves such a link out, as it leaves out a dangling one;
//   - every absolute symbolic link, even one whose target lies inside DIR:
//     its target names a place in the server's own tree, which the client
//     does not see; it is refused like a link that leads out.
// The link itself is an entry inside DIR: "DEL " removes it and "RNFR " /
// "RNTO " rename it, neither touching what it points at.
//
// A drive letter or any other text stays a name inside DIR ("\C:\x" is
// DIR/C:/x).
#ifndef TARNEL_FILES_CONFINED_FILE_SYSTEM_H_
#define TARNEL_FILES_CONFINED_FILE_SYSTEM_H_

#include <memory>
#include <string>

#include "files/file_system.h"

namespace tarnel {

class ConfinedFileSystem : public WholeFileSystem {
 public:
  /// Opens `root` (a directory, opened with the rights of the calling
  /// process) and checks that the kernel can resolve beneath it. nullptr and
  /// one line in *why (naming `root` and the reason) when it cannot serve:
  /// `root` is missing, no directory or cannot be opened, or the kernel has
  /// no openat2 (Linux before 5.6) or a seccomp filter refuses it.
  static std::unique_ptr<ConfinedFileSystem> open_root(const std::string& root, std::string* why);

  /// Why openat2 answered ENOSYS, as the end of open_root's line. ENOSYS
  /// alone cannot tell an old kernel from a seccomp filter that refuses the
  /// call on purpose (systemd's RestrictSUIDSGID=yes does, since it cannot
  /// look into openat2's structure): on Linux 5.6 or later, or with a filter
  /// in force ("Seccomp:" 2 in `proc_status`), the filter is named as the
  /// likely cause, otherwise the kernel. `kernel_release`: as uname gives it
  /// ("6.1.0-13-amd64"); `proc_status`: the text of /proc/self/status.
  static std::string openat2_missing_reason(const std::string& kernel_release,
                                            const std::string& proc_status);

  /// Serves beneath the directory open on `root_fd`, which it takes over.
  explicit ConfinedFileSystem(int root_fd);
  ~ConfinedFileSystem() override;
  ConfinedFileSystem(const ConfinedFileSystem&) = delete;
  ConfinedFileSystem& operator=(const ConfinedFileSystem&) = delete;

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

 protected:
  /// The two calls that act on a descriptor by an empty path, which a kernel
  /// or a system call filter may not know; a test answers for them.
  virtual long fchmodat2_call(int fd, mode_t mode);
  virtual long faccessat2_call(int fd, int mode);

 private:
  /// openat2 of `path` beneath the root; -1 with errno, ENOENT for a way out.
  int resolve(const std::string& path, int flags, mode_t mode = 0);

  /// The final name of a path and a descriptor of the directory that holds
  /// it (resolved beneath the root).
  struct Entry {
    int parent = -1;     // owned unless it is the root's descriptor
    std::string name;    // never empty; "." for the root itself
    bool dot = false;    // the name is "." or ".."
    bool slash = false;  // the path ended in "/"
  };
  bool find_entry(const std::string& path, Entry& entry);
  void release(Entry& entry);

  int root_;
};

}  // namespace tarnel

#endif  // TARNEL_FILES_CONFINED_FILE_SYSTEM_H_

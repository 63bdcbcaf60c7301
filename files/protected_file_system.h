// A wrapper that keeps the client's hands off the server's own files: the
// cable file of the virtual cable (or the parallel-port device), and every
// folder that holds one of them.
//
// The server serves the folder it is started in, and the default cable
// lies there: a client that uploads onto it, deletes it or renames it (or a
// folder above it) would crash the server (the cable is mapped into memory)
// or cut it off. Files are told by device and inode, not by name, so a
// second name (a link, a hard link, "..") is caught as well.
//
// Refused with EACCES (the wire's access-denied number, 5):
//   - an open for writing, creating or truncating that would reach a
//     protected file (checked on the descriptor once open, before anything
//     is cut: the truncation is made only afterwards);
//   - a delete of one, a rename of one or onto one, a change of its mode;
//   - a rename or removal of a folder that holds one (at any depth).
// Reading stays allowed: a download of the cable file shows its bytes and
// changes nothing.
#ifndef TARNEL_FILES_PROTECTED_FILE_SYSTEM_H_
#define TARNEL_FILES_PROTECTED_FILE_SYSTEM_H_

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "files/file_system.h"

namespace tarnel {

/// A file as the kernel knows it.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode;
  }
};

class ProtectedFileSystem : public FileSystemWrapper {
 public:
  explicit ProtectedFileSystem(FileSystem& target) : FileSystemWrapper(target) {}

  /// Protects `file` and the folders in `holders` (those that hold it).
  void protect(const FileIdentity& file, const std::vector<FileIdentity>& holders);

  int open(const std::string& path, int flags, mode_t mode) override;
  int rmdir(const std::string& path) override;
  int unlink(const std::string& path) override;
  int rename(const std::string& source, const std::string& target) override;
  int chmod(const std::string& path, mode_t mode) override;
  int chmod_entry(const std::string& path, mode_t mode) override;

 private:
  bool is_file(const struct stat& st) const;
  bool is_holder(const struct stat& st) const;
  /// Whether the entry itself (not followed) is protected, file or folder.
  bool entry_protected(const std::string& path);

  std::vector<FileIdentity> files_;
  std::vector<FileIdentity> holders_;
};

}  // namespace tarnel

#endif  // TARNEL_FILES_PROTECTED_FILE_SYSTEM_H_

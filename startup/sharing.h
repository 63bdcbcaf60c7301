// What the server shares: the whole file system (the default), one folder
// (--root DIR), and either of them read-only (--read-only).
#ifndef TARNEL_STARTUP_SHARING_H_
#define TARNEL_STARTUP_SHARING_H_

#include <memory>
#include <string>
#include <vector>

#include "files/file_system.h"
#include "files/protected_file_system.h"

namespace tarnel {

struct Sharing {
  std::string root;  // the folder that is the client's "\"; empty: the whole file system
  bool read_only = false;
};

/// Takes "--root DIR" and "--read-only" off `args`, wherever they stand; the
/// rest is the server's usual command line. False, with one line in *why,
/// when "--root" has no folder after it or is given twice.
bool take_sharing_options(std::vector<std::string>& args, Sharing& sharing, std::string* why);

/// The file system that the server serves, built as `sharing` says: the
/// whole one, or the one beneath the root, wrapped read-only when asked.
/// Owns every layer.
class SharedFiles {
 public:
  /// The root is opened with the rights of the user who started the
  /// program (the real user and group ID), never with root's, as the cable
  /// and the device are. nullptr and one line in *why (naming the folder and
  /// the reason) when the folder cannot be served.
  static std::unique_ptr<SharedFiles> make(const Sharing& sharing, std::string* why);

  FileSystem& fs() { return *top_; }
  /// Keeps the client from changing, replacing or removing the file at
  /// `path` (the cable file or the device, once claimed) and every folder
  /// that holds it. False when `path` cannot be looked at.
  bool protect_own_file(const std::string& path);
  /// The console line that tells what is shared; empty for the default.
  const std::string& description() const { return description_; }

 private:
  std::unique_ptr<FileSystem> base_;
  std::unique_ptr<ProtectedFileSystem> protected_;
  std::unique_ptr<FileSystem> read_only_;
  FileSystem* top_ = nullptr;
  std::string description_;
};

}  // namespace tarnel

#endif  // TARNEL_STARTUP_SHARING_H_

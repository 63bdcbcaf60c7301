// A folder to serve ("share") beside one that must stay as it is
// ("outside"), joined by the symbolic links a share may hold, for the tests
// of serving one folder (--root) and of serving read-only.
//
//   share/a.txt            "inside a"
//   share/sub/b.txt        "inside b"
//   share/sub/up           -> ../a.txt            (relative, stays inside)
//   share/empty/
//   share/to_dir           -> ../outside          (a directory outside)
//   share/to_file          -> ../outside/secret.txt
//   share/abs_inside       -> <share>/a.txt       (absolute, target inside)
//   share/abs_outside      -> <outside>/secret.txt
//   share/dangling_out     -> ../outside/new.txt  (a file that does not exist)
//   share/dangling_in      -> made.txt            (likewise, inside)
//   outside/secret.txt     "secret"
//   outside/keep/
#ifndef TARNEL_TESTING_SHARE_TREE_H_
#define TARNEL_TESTING_SHARE_TREE_H_

#include <string>

#include "testing/temp_dir.h"

namespace tarnel::testing {

/// Everything under `dir` as text, one line per entry in name order: the
/// relative path, the kind, the permission bits, the size, the modification
/// time, and a regular file's bytes or a link's target. Equal texts: nothing
/// under `dir` was made, removed, renamed, written or had its mode or time
/// changed.
std::string tree_snapshot(const std::string& dir);

class ShareTree {
 public:
  ShareTree();

  const std::string& base() const { return dir_.path(); }
  std::string share() const { return dir_.file("share"); }
  std::string share(const std::string& name) const { return share() + "/" + name; }
  std::string outside() const { return dir_.file("outside"); }
  /// The tree outside the share (the base directory without share/).
  std::string outside_snapshot() const;

 private:
  TempDir dir_;
};

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_SHARE_TREE_H_

// A file system that can lose power after any call, for the tests of what
// survives: the file services answer "OK" or accept a last frame only once
// what they answer for is on the disk, and these tests cut the power after
// every single call in turn to see that it holds.
//
// It remembers what has been made durable beneath one folder, `root`:
// everything there when it is made, then a file's data (and its mode) when
// the file is synced (sync_data, sync), and a folder's entries when the
// folder is synced (sync_directory). A file whose entry is durable but
// whose data were never synced comes back empty after a power loss; an
// entry made, removed or renamed in a folder that was not synced since is
// undone. After the call that loses power, the disk beneath `root` is put
// back to what was durable, and every later call fails with EIO, as on a
// machine that is off.
//
// Paths are those of the wrapped file system, which must be the system's
// own (a WholeFileSystem): the disk is put back with the system's calls.
// Regular files and folders are modelled; a symbolic link is not.
#ifndef TARNEL_TESTING_POWER_LOSS_FILE_SYSTEM_H_
#define TARNEL_TESTING_POWER_LOSS_FILE_SYSTEM_H_

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>

#include "files/file_system.h"

namespace tarnel::testing {

class PowerLossFileSystem : public FileSystemWrapper {
 public:
  /// Everything beneath `root` (an existing folder) is durable at the start.
  PowerLossFileSystem(FileSystem& target, std::string root);

  /// Loses power right after the `n`-th call from now (1: the first); 0
  /// never.
  void cut_after(int n) { cut_after_ = calls_ + n; }
  /// Calls made so far.
  int calls() const { return calls_; }
  bool lost_power() const { return dead_; }
  /// Loses power now.
  void lose_power();
  /// Whether data written and not yet synced reached the disk anyway (the
  /// system wrote them back on its own) when the power goes: the other
  /// extreme from losing them. Entries not synced are undone either way.
  void keep_unsynced_data(bool keep) { keep_unsynced_ = keep; }

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

  ssize_t read(int fd, void* buffer, size_t size) override;
  ssize_t write(int fd, const void* buffer, size_t size) override;
  off_t seek(int fd, off_t offset, int whence) override;
  int truncate(int fd, off_t length) override;
  int fstat(int fd, struct stat& st) override;
  int fchmod(int fd, mode_t mode) override;
  int set_times(int fd, const timespec times[2]) override;
  int set_group(int fd, gid_t group) override;
  int sync_data(int fd) override;
  int sync(int fd) override;
  int close(int fd) override;

 private:
  /// What survives of one file or folder, by inode.
  struct Node {
    bool directory = false;
    mode_t mode = 0;
    std::string data;                      // a file's durable data
    std::map<std::string, ino_t> entries;  // a folder's durable entries
  };

  /// Runs one call: fails with EIO once the power is lost, and loses it
  /// after the call that was chosen.
  template <typename Call>
  auto step(Call call) -> decltype(call());

  void remember_tree(const std::string& path, const struct stat& st);
  void remember_file(int fd, bool with_mode);
  void remember_entries(const std::string& path);
  void rebuild(const std::string& path, ino_t inode);
  /// Takes what the files beneath `path` hold now as durable.
  void flush_data(const std::string& path);

  std::string root_;
  ino_t root_inode_ = 0;
  std::map<ino_t, Node> durable_;
  int calls_ = 0;
  int cut_after_ = 0;
  bool dead_ = false;
  bool keep_unsynced_ = false;
};

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_POWER_LOSS_FILE_SYSTEM_H_

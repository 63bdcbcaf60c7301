#include "files/protected_file_system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

#include "testing/share_tree.h"
#include "testing/temp_dir.h"

namespace tarnel {
namespace {

int open_close(FileSystem& fs, const std::string& path, int flags) {
  const int fd = fs.open(path, flags, 0644);
  if (fd < 0) return -1;
  fs.close(fd);
  return 0;
}

FileIdentity identity(const std::string& path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return {st.st_dev, st.st_ino};
}

struct ProtectCase {
  const char* what;
  std::function<int(FileSystem&, const std::string& dir)> call;
  int error;  // 0: allowed
  bool own_file_changes;  // the protected tree may change (an allowed change elsewhere)
};

// `dir` holds srv/own/lpt1.cable (protected, with srv/ and srv/own/ as its
// folders), srv/other.txt, a symbolic link srv/link and a hard link
// srv/hard to the cable file.
const ProtectCase kProtectCases[] = {
    {"read it", [](FileSystem& fs, auto& d) { return open_close(fs, d + "/srv/own/lpt1.cable", O_RDONLY); },
     0, false},
    {"cut it",
     [](FileSystem& fs, auto& d) {
       return open_close(fs, d + "/srv/own/lpt1.cable", O_WRONLY | O_CREAT | O_TRUNC);
     },
     EACCES, false},
    {"write it", [](FileSystem& fs, auto& d) { return open_close(fs, d + "/srv/own/lpt1.cable", O_RDWR); },
     EACCES, false},
    {"cut it through a link",
     [](FileSystem& fs, auto& d) { return open_close(fs, d + "/srv/link", O_WRONLY | O_TRUNC); },
     EACCES, false},
    {"cut it through a hard link",
     [](FileSystem& fs, auto& d) { return open_close(fs, d + "/srv/hard", O_WRONLY | O_TRUNC); },
     EACCES, false},
    {"cut it through \"..\"",
     [](FileSystem& fs, auto& d) {
       return open_close(fs, d + "/srv/own/../own/lpt1.cable", O_WRONLY | O_TRUNC);
     },
     EACCES, false},
    {"delete it", [](FileSystem& fs, auto& d) { return fs.unlink(d + "/srv/own/lpt1.cable"); },
     EACCES, false},
    {"rename it",
     [](FileSystem& fs, auto& d) { return fs.rename(d + "/srv/own/lpt1.cable", d + "/moved"); },
     EACCES, false},
    {"rename onto it",
     [](FileSystem& fs, auto& d) { return fs.rename(d + "/srv/other.txt", d + "/srv/own/lpt1.cable"); },
     EACCES, false},
    {"rename its folder", [](FileSystem& fs, auto& d) { return fs.rename(d + "/srv/own", d + "/moved"); },
     EACCES, false},
    {"rename a folder above it",
     [](FileSystem& fs, auto& d) { return fs.rename(d + "/srv", d + "/moved"); }, EACCES, false},
    {"remove its folder", [](FileSystem& fs, auto& d) { return fs.rmdir(d + "/srv/own"); }, EACCES,
     false},
    {"change its mode",
     [](FileSystem& fs, auto& d) { return fs.chmod(d + "/srv/own/lpt1.cable", 0400); }, EACCES, false},
    {"change its mode as an entry",
     [](FileSystem& fs, auto& d) { return fs.chmod_entry(d + "/srv/own/lpt1.cable", 0400); }, EACCES,
     false},
    // The rest of the tree as before.
    {"cut another file",
     [](FileSystem& fs, auto& d) { return open_close(fs, d + "/srv/other.txt", O_WRONLY | O_TRUNC); },
     0, true},
    {"delete the link itself", [](FileSystem& fs, auto& d) { return fs.unlink(d + "/srv/link"); }, 0,
     true},
    {"make a folder beside it", [](FileSystem& fs, auto& d) { return fs.mkdir(d + "/srv/own/new", 0777); },
     0, true},
};

TEST(ProtectedFileSystem, KeepsTheServersOwnFileAndItsFoldersAndLetsTheRestChange) {
  for (const ProtectCase& c : kProtectCases) {
    testing::TempDir dir;
    const std::string d = dir.path();
    ASSERT_EQ(mkdir((d + "/srv").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((d + "/srv/own").c_str(), 0755), 0);
    testing::write_file(d + "/srv/own/lpt1.cable", "cable bytes");
    testing::write_file(d + "/srv/other.txt", "other");
    ASSERT_EQ(symlink("own/lpt1.cable", (d + "/srv/link").c_str()), 0);
    ASSERT_EQ(link((d + "/srv/own/lpt1.cable").c_str(), (d + "/srv/hard").c_str()), 0);
    const std::string before = testing::tree_snapshot(d);
    WholeFileSystem whole;
    ProtectedFileSystem fs(whole);
    fs.protect(identity(d + "/srv/own/lpt1.cable"), {identity(d), identity(d + "/srv"),
                                                     identity(d + "/srv/own")});
    errno = 0;
    const int r = c.call(fs, d);
    const int error = r == 0 ? 0 : errno;
    EXPECT_EQ(error, c.error) << c.what << ": " << std::strerror(error);
    if (!c.own_file_changes) {
      EXPECT_EQ(testing::tree_snapshot(d), before) << c.what;
    }
    EXPECT_EQ(testing::read_file(d + "/srv/own/lpt1.cable"), "cable bytes") << c.what;
  }
}

}  // namespace
}  // namespace tarnel

#include "files/read_only_file_system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

#include "files/confined_file_system.h"
#include "testing/share_tree.h"
#include "testing/temp_dir.h"

namespace tarnel {
namespace {

/// Opens and closes: 0, or -1 with errno.
int open_close(FileSystem& fs, const std::string& path, int flags) {
  const int fd = fs.open(path, flags, 0644);
  if (fd < 0) return -1;
  fs.close(fd);
  return 0;
}

struct ReadOnlyCase {
  const char* what;
  std::function<int(FileSystem&, const std::string& dir)> call;
  int error;  // 0: succeeds
};

// `dir` holds f.txt ("data", 0644), d/ with d/g.txt, and nothing else.
const ReadOnlyCase kReadOnlyCases[] = {
    {"read a file", [](FileSystem& fs, auto& d) { return open_close(fs, d + "/f.txt", O_RDONLY); },
     0},
    {"list a directory", [](FileSystem& fs, auto& d) { return fs.open_directory(d) ? 0 : -1; }, 0},
    {"write an existing file",
     [](FileSystem& fs, auto& d) { return open_close(fs, d + "/f.txt", O_RDWR); }, EROFS},
    {"truncate an existing file",
     [](FileSystem& fs, auto& d) {
       return open_close(fs, d + "/f.txt", O_WRONLY | O_CREAT | O_TRUNC);
     },
     EROFS},
    {"create a file",
     [](FileSystem& fs, auto& d) { return open_close(fs, d + "/new.txt", O_WRONLY | O_CREAT); },
     EROFS},
    {"delete a file", [](FileSystem& fs, auto& d) { return fs.unlink(d + "/f.txt"); }, EROFS},
    {"delete a missing file", [](FileSystem& fs, auto& d) { return fs.unlink(d + "/none"); },
     ENOENT},
    {"make a directory", [](FileSystem& fs, auto& d) { return fs.mkdir(d + "/new", 0777); }, EROFS},
    {"make a directory that exists",
     [](FileSystem& fs, auto& d) { return fs.mkdir(d + "/d", 0777); }, EEXIST},
    {"make a directory in a missing one",
     [](FileSystem& fs, auto& d) { return fs.mkdir(d + "/none/new", 0777); }, ENOENT},
    {"make a directory below a file",
     [](FileSystem& fs, auto& d) { return fs.mkdir(d + "/f.txt/new", 0777); }, ENOTDIR},
    {"remove a directory", [](FileSystem& fs, auto& d) { return fs.rmdir(d + "/d"); }, EROFS},
    {"remove a missing directory", [](FileSystem& fs, auto& d) { return fs.rmdir(d + "/none"); },
     ENOENT},
    {"remove a file as a directory", [](FileSystem& fs, auto& d) { return fs.rmdir(d + "/f.txt"); },
     ENOTDIR},
    {"rename", [](FileSystem& fs, auto& d) { return fs.rename(d + "/f.txt", d + "/g.txt"); },
     EROFS},
    {"rename a missing file",
     [](FileSystem& fs, auto& d) { return fs.rename(d + "/none", d + "/g.txt"); }, ENOENT},
    {"chmod", [](FileSystem& fs, auto& d) { return fs.chmod(d + "/f.txt", 0600); }, EROFS},
    {"chmod_entry", [](FileSystem& fs, auto& d) { return fs.chmod_entry(d + "/f.txt", 0600); },
     EROFS},
    {"may not write", [](FileSystem& fs, auto& d) { return fs.access(d + "/f.txt", W_OK); }, EROFS},
    {"may not write a missing file",
     [](FileSystem& fs, auto& d) { return fs.access(d + "/none", W_OK); }, ENOENT},
    {"may read", [](FileSystem& fs, auto& d) { return fs.access(d + "/f.txt", R_OK); }, 0},
    {"change an open file",
     [](FileSystem& fs, auto& d) {
       const int fd = fs.open(d + "/f.txt", O_RDONLY, 0);
       if (fd < 0) return -1;
       const timespec times[2] = {{0, UTIME_OMIT}, {0, 0}};
       int r = fs.set_times(fd, times);
       int e = errno;
       if (fs.fchmod(fd, 0600) == 0 || fs.truncate(fd, 0) == 0 || fs.write(fd, "x", 1) >= 0) {
         r = 0;
         e = 0;
       }
       fs.close(fd);
       errno = e;
       return r;
     },
     EROFS},
};

void run_cases(FileSystem& (*make)(const std::string& dir, std::unique_ptr<FileSystem>& keep),
               const char* over) {
  for (const ReadOnlyCase& c : kReadOnlyCases) {
    testing::TempDir dir;
    testing::write_file(dir.file("f.txt"), "data");
    chmod(dir.file("f.txt").c_str(), 0644);
    mkdir(dir.file("d").c_str(), 0755);
    testing::write_file(dir.file("d/g.txt"), "g");
    const std::string before = testing::tree_snapshot(dir.path());
    std::unique_ptr<FileSystem> keep;
    FileSystem& target = make(dir.path(), keep);
    ReadOnlyFileSystem fs(target);
    // The confined file system's "/" is the directory itself.
    const std::string root = keep ? "" : dir.path();
    errno = 0;
    const int r = c.call(fs, root);
    const int error = r == 0 ? 0 : errno;
    EXPECT_EQ(error, c.error) << over << ": " << c.what << ": " << std::strerror(error);
    EXPECT_EQ(testing::tree_snapshot(dir.path()), before) << over << ": " << c.what;
  }
}

TEST(ReadOnlyFileSystem, ChangesNothingAndAnswersByWhatExists) {
  run_cases(
      [](const std::string&, std::unique_ptr<FileSystem>&) -> FileSystem& {
        static WholeFileSystem whole;
        return whole;
      },
      "whole");
  run_cases(
      [](const std::string& dir, std::unique_ptr<FileSystem>& keep) -> FileSystem& {
        std::string why;
        keep = ConfinedFileSystem::open_root(dir, &why);
        if (!keep) {
          ADD_FAILURE() << why;
          keep = std::make_unique<WholeFileSystem>();
        }
        return *keep;
      },
      "confined");
}

TEST(ReadOnlyFileSystem, EveryEntryShowsWithoutWriteBits) {
  testing::TempDir dir;
  testing::write_file(dir.file("f.txt"), "data");
  chmod(dir.file("f.txt").c_str(), 0666);
  WholeFileSystem whole;
  ReadOnlyFileSystem fs(whole);
  struct stat st;
  ASSERT_EQ(fs.stat(dir.file("f.txt"), st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
  ASSERT_EQ(fs.lstat(dir.path(), st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  const int fd = fs.open(dir.file("f.txt"), O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fs.fstat(fd, st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
  char buffer[8];
  EXPECT_EQ(fs.read(fd, buffer, sizeof buffer), 4);
  fs.close(fd);
}

}  // namespace
}  // namespace tarnel

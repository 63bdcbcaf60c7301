#include "files/confined_file_system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "testing/share_tree.h"
#include "testing/temp_dir.h"

namespace tarnel {
namespace {

using testing::ShareTree;

/// Opens a file and closes it again: 0, or -1 with errno.
int open_close(FileSystem& fs, const std::string& path, int flags) {
  const int fd = fs.open(path, flags, 0644);
  if (fd < 0) return -1;
  fs.close(fd);
  return 0;
}

int stat_of(FileSystem& fs, const std::string& path) {
  struct stat st;
  return fs.stat(path, st);
}

int lstat_of(FileSystem& fs, const std::string& path) {
  struct stat st;
  return fs.lstat(path, st);
}

int list(FileSystem& fs, const std::string& path) { return fs.open_directory(path) ? 0 : -1; }

struct SeamCase {
  const char* what;
  std::function<int(FileSystem&)> call;
  int error;  // 0: succeeds
};

// Every way out fails as a missing entry; the same kind of call inside works.
const SeamCase kSeamCases[] = {
    // Reading.
    {"open a file", [](FileSystem& fs) { return open_close(fs, "/a.txt", O_RDONLY); }, 0},
    {"open without a leading slash",
     [](FileSystem& fs) { return open_close(fs, "a.txt", O_RDONLY); }, 0},
    {"\"..\" that stays inside",
     [](FileSystem& fs) { return open_close(fs, "/sub/../a.txt", O_RDONLY); }, 0},
    {"relative link inside", [](FileSystem& fs) { return open_close(fs, "/sub/up", O_RDONLY); }, 0},
    {"\"..\" above the root",
     [](FileSystem& fs) { return open_close(fs, "/../outside/secret.txt", O_RDONLY); }, ENOENT},
    {"\"..\" above the root from below",
     [](FileSystem& fs) { return open_close(fs, "/sub/../../outside/secret.txt", O_RDONLY); },
     ENOENT},
    {"link to a file outside", [](FileSystem& fs) { return open_close(fs, "/to_file", O_RDONLY); },
     ENOENT},
    {"through a link to a directory outside",
     [](FileSystem& fs) { return open_close(fs, "/to_dir/secret.txt", O_RDONLY); }, ENOENT},
    {"absolute link, target inside",
     [](FileSystem& fs) { return open_close(fs, "/abs_inside", O_RDONLY); }, ENOENT},
    {"absolute link, target outside",
     [](FileSystem& fs) { return open_close(fs, "/abs_outside", O_RDONLY); }, ENOENT},
    {"a drive letter is a name inside",
     [](FileSystem& fs) { return open_close(fs, "/C:/a.txt", O_RDONLY); }, ENOENT},
    {"stat the root", [](FileSystem& fs) { return stat_of(fs, "/"); }, 0},
    {"stat \"..\" of the root", [](FileSystem& fs) { return stat_of(fs, "/.."); }, ENOENT},
    {"stat a link outside", [](FileSystem& fs) { return stat_of(fs, "/to_file"); }, ENOENT},
    {"lstat a link outside: the link itself is inside",
     [](FileSystem& fs) { return lstat_of(fs, "/to_file"); }, 0},
    {"lstat through a link outside",
     [](FileSystem& fs) { return lstat_of(fs, "/to_dir/secret.txt"); }, ENOENT},
    {"lstat \"..\" of the root", [](FileSystem& fs) { return lstat_of(fs, "/.."); }, ENOENT},
    {"access through a link outside", [](FileSystem& fs) { return fs.access("/to_file", R_OK); },
     ENOENT},
    {"list the root", [](FileSystem& fs) { return list(fs, "/"); }, 0},
    {"list \"..\"", [](FileSystem& fs) { return list(fs, "/.."); }, ENOENT},
    {"list a link to a directory outside", [](FileSystem& fs) { return list(fs, "/to_dir/"); },
     ENOENT},
    // Creating.
    {"create inside",
     [](FileSystem& fs) { return open_close(fs, "/new.txt", O_WRONLY | O_CREAT | O_TRUNC); }, 0},
    {"create through a dangling link inside",
     [](FileSystem& fs) { return open_close(fs, "/dangling_in", O_WRONLY | O_CREAT | O_TRUNC); },
     0},
    {"create through a dangling link outside",
     [](FileSystem& fs) { return open_close(fs, "/dangling_out", O_WRONLY | O_CREAT | O_TRUNC); },
     ENOENT},
    {"create above the root",
     [](FileSystem& fs) { return open_close(fs, "/../new.txt", O_WRONLY | O_CREAT); }, ENOENT},
    {"truncate through a link outside",
     [](FileSystem& fs) { return open_close(fs, "/to_file", O_WRONLY | O_TRUNC); }, ENOENT},
    {"mkdir inside", [](FileSystem& fs) { return fs.mkdir("/sub/made", 0777); }, 0},
    {"mkdir above the root", [](FileSystem& fs) { return fs.mkdir("/../made", 0777); }, ENOENT},
    {"mkdir through a link outside", [](FileSystem& fs) { return fs.mkdir("/to_dir/made", 0777); },
     ENOENT},
    {"mkdir of the root's \"..\"", [](FileSystem& fs) { return fs.mkdir("/..", 0777); }, ENOENT},
    // Removing.
    {"rmdir inside", [](FileSystem& fs) { return fs.rmdir("/empty"); }, 0},
    {"rmdir above the root", [](FileSystem& fs) { return fs.rmdir("/../outside/keep"); }, ENOENT},
    {"rmdir through a link outside", [](FileSystem& fs) { return fs.rmdir("/to_dir/keep"); },
     ENOENT},
    {"rmdir of the root's \"..\"", [](FileSystem& fs) { return fs.rmdir("/.."); }, ENOENT},
    {"rmdir of the root", [](FileSystem& fs) { return fs.rmdir("/"); }, EINVAL},
    {"unlink through a link outside",
     [](FileSystem& fs) { return fs.unlink("/to_dir/secret.txt"); }, ENOENT},
    {"unlink above the root",
     [](FileSystem& fs) { return fs.unlink("/sub/../../outside/secret.txt"); }, ENOENT},
    {"unlink a link outside removes the link only",
     [](FileSystem& fs) { return fs.unlink("/to_file"); }, 0},
    // Renaming.
    {"rename inside", [](FileSystem& fs) { return fs.rename("/sub/b.txt", "/b.txt"); }, 0},
    {"rename out of the root",
     [](FileSystem& fs) { return fs.rename("/a.txt", "/../outside/a.txt"); }, ENOENT},
    {"rename into a link to a directory outside",
     [](FileSystem& fs) { return fs.rename("/a.txt", "/to_dir/a.txt"); }, ENOENT},
    {"rename from outside into the root",
     [](FileSystem& fs) { return fs.rename("/../outside/secret.txt", "/stolen.txt"); }, ENOENT},
    {"rename from a link to a directory outside",
     [](FileSystem& fs) { return fs.rename("/to_dir/secret.txt", "/stolen.txt"); }, ENOENT},
    {"rename a link outside moves the link only",
     [](FileSystem& fs) { return fs.rename("/abs_outside", "/moved_link"); }, 0},
    // Permissions.
    {"chmod inside", [](FileSystem& fs) { return fs.chmod("/sub/up", 0600); }, 0},
    {"chmod through a link outside", [](FileSystem& fs) { return fs.chmod("/to_file", 0600); },
     ENOENT},
    {"chmod of the root's \"..\"", [](FileSystem& fs) { return fs.chmod("/..", 0700); }, ENOENT},
    {"chmod_entry through a link outside",
     [](FileSystem& fs) { return fs.chmod_entry("/to_dir/secret.txt", 0600); }, ENOENT},
    {"chmod_entry of the root's \"..\"", [](FileSystem& fs) { return fs.chmod_entry("/..", 0700); },
     ENOENT},
};

TEST(ConfinedFileSystem, NoPathLeavesTheRootAndPathsInsideWork) {
  for (const SeamCase& c : kSeamCases) {
    ShareTree tree;
    const std::string before = tree.outside_snapshot();
    std::string why;
    auto fs = ConfinedFileSystem::open_root(tree.share(), &why);
    ASSERT_TRUE(fs) << why;
    errno = 0;
    const int r = c.call(*fs);
    const int error = r == 0 ? 0 : errno;
    EXPECT_EQ(error, c.error) << c.what << ": " << std::strerror(error);
    EXPECT_EQ(tree.outside_snapshot(), before) << c.what;
  }
}

TEST(ConfinedFileSystem, ChangesInsideLandInTheRootAndLinksOutsideAreLeftAlone) {
  ShareTree tree;
  const std::string before = tree.outside_snapshot();
  std::string why;
  auto fs = ConfinedFileSystem::open_root(tree.share(), &why);
  ASSERT_TRUE(fs) << why;
  ASSERT_EQ(open_close(*fs, "/dangling_in", O_WRONLY | O_CREAT), 0);
  EXPECT_EQ(access(tree.share("made.txt").c_str(), F_OK), 0);
  ASSERT_EQ(fs->chmod("/sub/up", 0400), 0);  // the link's target, inside
  struct stat st;
  ASSERT_EQ(stat(tree.share("a.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0400u);
  ASSERT_EQ(fs->unlink("/to_file"), 0);
  EXPECT_NE(lstat(tree.share("to_file").c_str(), &st), 0);
  EXPECT_EQ(tree.outside_snapshot(), before);
}

TEST(ConfinedFileSystem, OpenRootNamesTheFolderAndWhyItCannotServe) {
  testing::TempDir dir;
  testing::write_file(dir.file("file"), "x");
  struct {
    std::string root;
    std::string why;
  } const cases[] = {
      {dir.file("missing"), dir.file("missing") + ": no such directory"},
      {dir.file("file"), dir.file("file") + ": not a directory"},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_FALSE(ConfinedFileSystem::open_root(c.root, &why));
    EXPECT_EQ(why, c.why);
  }
  if (geteuid() == 0) GTEST_SKIP() << "root opens every directory";
  ASSERT_EQ(mkdir(dir.file("closed").c_str(), 0), 0);
  std::string why;
  EXPECT_FALSE(ConfinedFileSystem::open_root(dir.file("closed"), &why));
  EXPECT_EQ(why, dir.file("closed") + ": cannot be opened: Permission denied");
}

// ENOSYS from openat2 on a kernel that has it, or under a filter, names the
// filter; only an old kernel with no filter is blamed itself.
TEST(ConfinedFileSystem, Openat2MissingNamesTheLikelyCause) {
  const std::string kernel = "the kernel has no openat2 (Linux 5.6 or later)";
  const std::string filter = "openat2 is refused, most likely by a seccomp filter";
  const std::string no_filter = "Name:\ttarnel\nSeccomp:\t0\nSeccomp_filters:\t0\n";
  const std::string with_filter = "Name:\ttarnel\nSeccomp:\t2\nSeccomp_filters:\t1\n";
  struct {
    const char* release;
    std::string status;
    std::string starts;
  } const cases[] = {
      {"6.1.0-13-amd64", no_filter, filter + " (the kernel, Linux 6.1.0-13-amd64, has it)"},
      {"5.6.0", no_filter, filter + " (the kernel, Linux 5.6.0, has it)"},
      {"5.10.0", with_filter, filter + " (the kernel, Linux 5.10.0, has it)"},
      {"5.5.19", no_filter, kernel},
      {"4.19.0-21-amd64", no_filter, kernel},
      {"4.19.0-21-amd64", with_filter, filter + ";"},
      {"", no_filter, kernel},
      {"", "", kernel},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.release) + " / " + c.status);
    const std::string reason = ConfinedFileSystem::openat2_missing_reason(c.release, c.status);
    EXPECT_EQ(reason.substr(0, c.starts.size()), c.starts) << reason;
    if (c.starts == kernel) {
      EXPECT_EQ(reason, kernel);
    }
  }
}

// Under a filter that answers openat2 with ENOSYS, as systemd's
// RestrictSUIDSGID=yes does, the folder cannot be served and the line says
// that a filter is the likely cause.
TEST(ConfinedFileSystem, OpenRootUnderAFilterThatRefusesOpenat2NamesTheFilter) {
  testing::TempDir dir;
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    close(report[0]);
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
      _exit(2);
    }
    std::string why;
    const bool opened = ConfinedFileSystem::open_root(dir.path(), &why) != nullptr;
    if (opened) why = "opened";
    const ssize_t n = write(report[1], why.data(), why.size());
    _exit(n == static_cast<ssize_t>(why.size()) ? 0 : 3);
  }
  close(report[1]);
  std::string why;
  char buf[512];
  ssize_t n;
  while ((n = read(report[0], buf, sizeof buf)) > 0) why.append(buf, static_cast<size_t>(n));
  close(report[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  ASSERT_EQ(WEXITSTATUS(status), 0) << "the filter could not be installed";
  const std::string want =
      dir.path() + ": cannot be confined: openat2 is refused, most likely by a seccomp filter";
  EXPECT_EQ(why.substr(0, want.size()), want) << why;
}

/// A system call filter that does not know the calls acting on a
/// descriptor by an empty path: it answers EPERM, as a unit's
/// SystemCallFilter does for a call outside its list.
class UnknownToTheFilter : public ConfinedFileSystem {
 public:
  using ConfinedFileSystem::ConfinedFileSystem;
  int refused = 0;

 protected:
  long fchmodat2_call(int, mode_t) override { return refuse(); }
  long faccessat2_call(int, int) override { return refuse(); }

 private:
  long refuse() {
    ++refused;
    errno = EPERM;
    return -1;
  }
};

TEST(ConfinedFileSystem, CallsAFilterAnswersWithEpermFallBackAndStillWork) {
  testing::TempDir dir;
  testing::write_file(dir.file("f"), "x");
  UnknownToTheFilter fs(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (const mode_t mode : {mode_t{0444}, mode_t{0640}}) {
    ASSERT_EQ(fs.chmod("/f", mode), 0) << std::oct << mode;
    struct stat st;
    ASSERT_EQ(::stat(dir.file("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
    // The same answer as the system gives for the file itself.
    EXPECT_EQ(fs.access("/f", W_OK), ::access(dir.file("f").c_str(), W_OK)) << std::oct << mode;
  }
  EXPECT_EQ(fs.access("/f", R_OK), 0);
  EXPECT_EQ(fs.refused, 5) << "each call was tried first";
}

}  // namespace
}  // namespace tarnel

#include "files/management.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "files/file_system.h"
#include "testing/cable_pair.h"
#include "testing/peer.h"
#include "testing/server_thread.h"
#include "testing/temp_dir.h"

namespace tarnel {
namespace {

/// The file system the services reach here: the whole one.
WholeFileSystem whole_fs;

using testing::CablePair;
using testing::Peer;
using testing::ServerThread;
using testing::TempDir;

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

/// The command loop on a cable and the client's end; commands name paths in
/// the test's directory the way the client does, with backslashes.
class Management : public ::testing::Test {
 protected:
  Management() : peer_(cable_) {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) != nullptr) cwd_ = cwd;
    server_ = std::make_unique<ServerThread>(cable_);
  }
  ~Management() override {
    server_.reset();
    // No command moves the working directory ("MD " of an existing
    // directory only looks whether it may be entered).
    char cwd[PATH_MAX];
    EXPECT_EQ(getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) : "", cwd_);
  }

  std::string path(const std::string& name) { return dir_.path() + "/" + name; }
  std::string client(const std::string& local) {
    std::string out = local;
    for (char& c : out) {
      if (c == '/') c = '\\';
    }
    return out;
  }
  /// Sends the command with the client's spelling of `local` and returns the reply.
  std::string ask(const std::string& word, const std::string& local) {
    if (peer_.send_command(word + client(local)) != SendResult::SEND_OK) return "<not sent>";
    return peer_.reply();
  }
  void send(const std::string& text) { ASSERT_EQ(peer_.send_command(text), SendResult::SEND_OK); }

  CablePair cable_{0};
  TempDir dir_;
  Peer peer_;
  std::unique_ptr<ServerThread> server_;
  std::string cwd_;
};

TEST_F(Management, MakeDirectoryTakesItsModeFromTheUmask) {
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(ask("MD ", path("new")), "OK");
  struct stat st;
  ASSERT_EQ(stat(path("new").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0777 & ~mask);
}

/// One management command on a directory of its own: what is there first,
/// the reply the client gets, and what is there afterwards.
struct ManagementCase {
  const char* name;
  /// Made first, separated by blanks: "x/" a directory, "x" a file.
  const char* prepare = "";
  /// The mode of the files made first.
  mode_t file_mode = 0644;
  const char* command;
  const char* target;
  const char* reply;
  /// Afterwards: a directory, a regular file, a name that is not there.
  const char* directory_after = nullptr;
  const char* file_after = nullptr;
  const char* gone_after = nullptr;
};

// The numbers after the error words are the I/O error numbers of the failed
// system call: 2 ENOENT, 3 ENOTDIR, 5 EEXIST; and those this server gives
// the errno values the client has no number for: 8 EISDIR, 16 ENOTEMPTY.
const ManagementCase kManagementCases[] = {
    {.name = "MakeDirectory",
     .command = "MD ",
     .target = "new",
     .reply = "OK",
     .directory_after = "new"},
    // There already (EEXIST), and the server may enter it: made.
    {.name = "MakeDirectoryThatIsThere",
     .prepare = "new/",
     .command = "MD ",
     .target = "new",
     .reply = "OK",
     .directory_after = "new"},
    // EEXIST, and no way in: the number is the one of the creation.
    {.name = "MakeDirectoryWhereAFileIs",
     .prepare = "file",
     .command = "MD ",
     .target = "file",
     .reply = "DIR ERROR 5",
     .file_after = "file"},
    {.name = "MakeDirectoryInAMissingDirectory",
     .command = "MD ",
     .target = "missing/sub",
     .reply = "DIR ERROR 2",
     .gone_after = "missing"},
    {.name = "MakeDirectoryInAFile",
     .prepare = "file",
     .command = "MD ",
     .target = "file/sub",
     .reply = "DIR ERROR 3",
     .file_after = "file"},
    {.name = "RemoveDirectory",
     .prepare = "empty/",
     .command = "RD ",
     .target = "empty",
     .reply = "OK",
     .gone_after = "empty"},
    {.name = "RemoveDirectoryThatIsAFile",
     .prepare = "file",
     .command = "RD ",
     .target = "file",
     .reply = "DIR ERROR 3",
     .file_after = "file"},
    {.name = "RemoveMissingDirectory",
     .command = "RD ",
     .target = "missing",
     .reply = "DIR ERROR 2",
     .gone_after = "missing"},
    {.name = "RemoveDirectoryThatHoldsEntries",
     .prepare = "full/ full/inside",
     .command = "RD ",
     .target = "full",
     .reply = "DIR ERROR 16",
     .file_after = "full/inside"},
    {.name = "DeleteFile",
     .prepare = "a.txt",
     .command = "DEL ",
     .target = "a.txt",
     .reply = "OK",
     .gone_after = "a.txt"},
    // Linux lets the folder's write permission decide: the first attempt
    // already removes it. The retry after making the file writable is
    // reached by DeleteFile.RetryAfterMakingTheFileWritableRemovesIt.
    {.name = "DeleteReadOnlyFile",
     .prepare = "ro.txt",
     .file_mode = 0444,
     .command = "DEL ",
     .target = "ro.txt",
     .reply = "OK",
     .gone_after = "ro.txt"},
    {.name = "DeleteMissingFile",
     .command = "DEL ",
     .target = "missing",
     .reply = "FILE ERROR 2",
     .gone_after = "missing"},
    // "DEL " never removes a directory: Linux's unlink refuses it with EISDIR.
    {.name = "DeleteDirectory",
     .prepare = "dir/",
     .command = "DEL ",
     .target = "dir",
     .reply = "FILE ERROR 8",
     .directory_after = "dir"},
};

class ManagementReply : public Management, public ::testing::WithParamInterface<ManagementCase> {};

TEST_P(ManagementReply, RepliesAndLeavesTheFilesAsTheCommandSays) {
  const ManagementCase& c = GetParam();
  std::string entries = c.prepare;
  for (size_t start = 0; start < entries.size();) {
    size_t end = entries.find(' ', start);
    if (end == std::string::npos) end = entries.size();
    const std::string entry = entries.substr(start, end - start);
    start = end + 1;
    if (entry.back() == '/') {
      ASSERT_EQ(mkdir(path(entry).c_str(), 0777), 0) << entry;
    } else {
      testing::write_file(path(entry), "x");
      ASSERT_EQ(chmod(path(entry).c_str(), c.file_mode), 0) << entry;
    }
  }

  EXPECT_EQ(ask(c.command, path(c.target)), c.reply);
  if (c.directory_after) {
    EXPECT_TRUE(is_directory(path(c.directory_after)));
  }
  if (c.file_after) {
    struct stat st;
    EXPECT_TRUE(lstat(path(c.file_after).c_str(), &st) == 0 && S_ISREG(st.st_mode));
  }
  if (c.gone_after) {
    EXPECT_FALSE(exists(path(c.gone_after)));
  }
}

INSTANTIATE_TEST_SUITE_P(Commands, ManagementReply, ::testing::ValuesIn(kManagementCases),
                         [](const ::testing::TestParamInfo<ManagementCase>& param) {
                           return std::string(param.param.name);
                         });

mode_t mode_of(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST_F(Management, FailedDeleteLeavesEveryModeAsItWas) {
  // "DEL " never removes a directory: the retry must not leave one writable,
  // nor the directory behind a link (a trailing separator follows the link).
  ASSERT_EQ(mkdir(path("ro_dir").c_str(), 0555), 0);
  ASSERT_EQ(chmod(path("ro_dir").c_str(), 0555), 0);
  ASSERT_EQ(mkdir(path("elsewhere").c_str(), 0555), 0);
  ASSERT_EQ(chmod(path("elsewhere").c_str(), 0555), 0);
  ASSERT_EQ(symlink(path("elsewhere").c_str(), path("link").c_str()), 0);

  // EISDIR for the directory; the link with a trailing separator is no
  // directory itself (ENOTDIR).
  const struct {
    const char* name;
    const char* reply;
  } cases[] = {{"ro_dir", "FILE ERROR 8"}, {"link/", "FILE ERROR 3"}};
  for (const auto& c : cases) {
    EXPECT_EQ(ask("DEL ", path(c.name)), c.reply) << c.name;
  }
  EXPECT_EQ(mode_of(path("ro_dir")), 0555u);
  EXPECT_EQ(mode_of(path("elsewhere")), 0555u);
  EXPECT_TRUE(exists(path("link")));
}

TEST_F(Management, RenameToWithoutRenameFromGetsNoReplyAtAll) {
  testing::write_file(path("a.txt"), "x");
  send("RNTO " + client(path("b.txt")));
  // Had a reply been sent, it would be the next thing to arrive.
  ASSERT_EQ(peer_.send_command("CONNECT"), SendResult::SEND_OK);
  EXPECT_EQ(peer_.reply(), "OK A");
  EXPECT_TRUE(exists(path("a.txt")));
  EXPECT_FALSE(exists(path("b.txt")));
}

TEST_F(Management, RenameKeepsItsSourceForASecondRenameTo) {
  testing::write_file(path("a.txt"), "new");
  testing::write_file(path("b.txt"), "old");
  send("RNFR " + client(path("a.txt")));
  EXPECT_EQ(ask("RNTO ", path("b.txt")), "OK");  // an existing target is replaced
  EXPECT_EQ(testing::read_file(path("b.txt")), "new");
  EXPECT_FALSE(exists(path("a.txt")));
  EXPECT_EQ(ask("RNTO ", path("c.txt")), "RENAME ERROR 2");  // the old source again
  EXPECT_FALSE(exists(path("c.txt")));

  send("RNFR " + client(path("missing")));
  EXPECT_EQ(ask("RNTO ", path("x")), "RENAME ERROR 2");

  ASSERT_EQ(mkdir(path("d").c_str(), 0777), 0);
  send("RNFR " + client(path("d")));
  EXPECT_EQ(ask("RNTO ", path("e")), "OK");  // directories too
  EXPECT_TRUE(is_directory(path("e")));
}

TEST_F(Management, RelativeClientPathsAreTakenFromTheRoot) {
  // The test's directory without its leading separator, in the client's
  // spelling: mapped to the same absolute path.
  const std::string relative = client(path("sub")).substr(1);
  send("MD " + relative);
  EXPECT_EQ(peer_.reply(), "OK");
  EXPECT_TRUE(is_directory(path("sub")));
}

// ---- As a user who may not write the directory -------------------------------

/// Runs delete_file on end A of a cable of its own, in a child process as a
/// user without root's rights (nobody when the tests run as root), and
/// returns the reply. `owner` is that user.
std::string delete_as_user(const std::string& path, uid_t owner, std::string* skip) {
  CablePair cable(0);
  Peer peer(cable);
  const pid_t child = fork();
  if (child == 0) {
    if (getuid() != owner && (setgid(owner) != 0 || setuid(owner) != 0)) _exit(77);
    Lines lines = cable.server_lines();
    delete_file(lines, whole_fs, path);
    _exit(0);
  }
  std::string reply;
  if (peer.receive_reply(reply) != RecvResult::RECV_OK) reply = "<no reply>";
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) *skip = "cannot become another user";
  return reply;
}

TEST(DeleteFile, FailedRetryPutsTheModeBackAndNeverTouchesALinksTarget) {
  TempDir dir;
  const uid_t user = getuid() == 0 ? 65534 : getuid();
  const std::string locked = dir.file("locked");
  const std::string target = dir.file("target");
  ASSERT_EQ(mkdir(locked.c_str(), 0755), 0);
  testing::write_file(locked + "/ro.txt", "x");
  testing::write_file(target, "t");
  ASSERT_EQ(symlink(target.c_str(), (locked + "/link").c_str()), 0);
  for (const std::string& p : {locked + "/ro.txt", target}) {
    ASSERT_EQ(chmod(p.c_str(), 0444), 0);
    // Owned by the user, who could change the mode; root keeps the directory.
    if (getuid() == 0) {
      ASSERT_EQ(chown(p.c_str(), user, user), 0);
    }
  }
  if (getuid() != 0) {
    ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
  }

  for (const char* name : {"/ro.txt", "/link"}) {
    std::string skip;
    const std::string reply = delete_as_user(locked + name, user, &skip);
    if (!skip.empty()) GTEST_SKIP() << skip;
    EXPECT_EQ(reply, "FILE ERROR 5") << name;
    EXPECT_TRUE(exists(locked + name)) << name;
  }
  EXPECT_EQ(mode_of(locked + "/ro.txt"), 0444u);
  EXPECT_EQ(mode_of(target), 0444u);
}

/// A disk that refuses to remove a file without its owner's write
/// permission (EACCES), as a FAT file system keeps a read-only file.
class KeepsReadOnlyFiles : public FileSystemWrapper {
 public:
  using FileSystemWrapper::FileSystemWrapper;
  std::atomic<int> unlinks{0};
  int unlink(const std::string& path) override {
    ++unlinks;
    struct stat st;
    if (target().lstat(path, st) == 0 && (st.st_mode & S_IWUSR) == 0) {
      errno = EACCES;
      return -1;
    }
    return FileSystemWrapper::unlink(path);
  }
};

TEST(DeleteFile, RetryAfterMakingTheFileWritableRemovesIt) {
  CablePair cable(0);
  Peer peer(cable);
  WholeFileSystem whole;
  KeepsReadOnlyFiles disk(whole);
  ServerThread server(cable, &disk);
  const std::string path = cable.dir().file("ro.txt");
  testing::write_file(path, "x");
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  ASSERT_EQ(peer.send_command("DEL " + path), SendResult::SEND_OK);
  EXPECT_EQ(peer.reply(), "OK");
  EXPECT_FALSE(exists(path));
  EXPECT_EQ(disk.unlinks, 2) << "removed by the second attempt";
}

// ---- On a disk whose folder syncs fail ------------------------------------------

/// A disk that changes folders but cannot make the change durable: every
/// sync of a folder fails with EIO.
class FolderSyncFails : public FileSystemWrapper {
 public:
  using FileSystemWrapper::FileSystemWrapper;
  int sync_directory(const std::string&) override {
    errno = EIO;
    return -1;
  }
};

// "OK" says the change is on the disk: the old PC may act on it (drop its
// copy of a file it moved). A change that could not be made durable is
// answered with the command's error word instead.
TEST(ManagementOnADyingDisk, AChangeThatCannotBeSyncedIsNotAnsweredOk) {
  struct {
    const char* what;
    std::function<bool(Lines&, FileSystem&, const TempDir&)> run;
    const char* error_word;
  } const cases[] = {
      {"MD",
       [](Lines& l, FileSystem& fs, const TempDir& d) {
         return make_directory(l, fs, d.file("new"));
       },
       "DIR ERROR "},
      {"RD",
       [](Lines& l, FileSystem& fs, const TempDir& d) {
         return remove_directory(l, fs, d.file("dir"));
       },
       "DIR ERROR "},
      {"DEL",
       [](Lines& l, FileSystem& fs, const TempDir& d) {
         return delete_file(l, fs, d.file("file"));
       },
       "FILE ERROR "},
      {"RNTO",
       [](Lines& l, FileSystem& fs, const TempDir& d) {
         return rename_file(l, fs, d.file("file"), d.file("moved"));
       },
       "RENAME ERROR "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("dir").c_str(), 0755), 0);
    testing::write_file(dir.file("file"), "x");
    CablePair cable(0);
    Peer peer(cable);
    FolderSyncFails disk(whole_fs);
    std::atomic<int> done{-1};
    std::thread server([&] {
      Lines lines = cable.server_lines();
      done = c.run(lines, disk, dir) ? 1 : 0;
    });
    std::string reply;
    EXPECT_EQ(peer.receive_reply(reply), RecvResult::RECV_OK);
    server.join();
    EXPECT_EQ(done, 0);
    EXPECT_EQ(reply.rfind(c.error_word, 0), 0u) << reply;
  }
}

}  // namespace
}  // namespace tarnel

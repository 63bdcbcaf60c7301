#include "files/management.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>
#include <string>

#include "base/numbers.h"
#include "files/errors.h"
#include "testing/cable_pair.h"
#include "testing/peer.h"
#include "testing/server_thread.h"
#include "testing/temp_dir.h"

namespace tarnel {
namespace {

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
    testing::reset_process_state();
    // "MD " of an existing directory moves the working directory into it.
    if (!cwd_.empty() && chdir(cwd_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << cwd_;
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

TEST_F(Management, MakeDirectory) {
  testing::write_file(path("file"), "x");
  const mode_t mask = umask(0);
  umask(mask);

  EXPECT_EQ(ask("MD ", path("new")), "OK");
  EXPECT_TRUE(is_directory(path("new")));
  struct stat st;
  ASSERT_EQ(stat(path("new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0777 & ~mask);

  EXPECT_EQ(ask("MD ", path("new")), "OK");  // there already, and the server may enter it
  EXPECT_EQ(ask("MD ", path("file")), "DIR ERROR 5");  // EEXIST, and no way in
  EXPECT_EQ(ask("MD ", path("missing/sub")), "DIR ERROR 2");
  EXPECT_EQ(ask("MD ", path("file/sub")), "DIR ERROR 3");
  EXPECT_FALSE(exists(path("missing")));
}

TEST_F(Management, RemoveDirectory) {
  ASSERT_EQ(mkdir(path("empty").c_str(), 0777), 0);
  ASSERT_EQ(mkdir(path("full").c_str(), 0777), 0);
  testing::write_file(path("full/inside"), "x");
  testing::write_file(path("file"), "x");

  EXPECT_EQ(ask("RD ", path("empty")), "OK");
  EXPECT_FALSE(exists(path("empty")));
  EXPECT_EQ(ask("RD ", path("file")), "DIR ERROR 3");
  EXPECT_EQ(ask("RD ", path("missing")), "DIR ERROR 2");
  EXPECT_EQ(ask("RD ", path("full")), "DIR ERROR " + number_to_text(io_error_number(ENOTEMPTY)));
  EXPECT_TRUE(exists(path("full/inside")));
  EXPECT_TRUE(exists(path("file")));
}

TEST_F(Management, DeleteFile) {
  testing::write_file(path("a.txt"), "x");
  testing::write_file(path("ro.txt"), "x");
  ASSERT_EQ(chmod(path("ro.txt").c_str(), 0444), 0);
  ASSERT_EQ(mkdir(path("dir").c_str(), 0777), 0);

  EXPECT_EQ(ask("DEL ", path("a.txt")), "OK");
  EXPECT_FALSE(exists(path("a.txt")));
  EXPECT_EQ(ask("DEL ", path("ro.txt")), "OK");
  EXPECT_FALSE(exists(path("ro.txt")));
  EXPECT_EQ(ask("DEL ", path("missing")), "FILE ERROR 2");

  // A directory is never removed by "DEL ".
  const std::string reply = ask("DEL ", path("dir"));
  EXPECT_TRUE(reply == "FILE ERROR " + number_to_text(io_error_number(EISDIR)) ||
              reply == "FILE ERROR " + number_to_text(io_error_number(EPERM)))
      << reply;
  EXPECT_TRUE(is_directory(path("dir")));
}

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

  for (const std::string name : {"ro_dir", "link/"}) {
    const std::string reply = ask("DEL ", path(name));
    EXPECT_EQ(reply.rfind("FILE ERROR ", 0), 0u) << name << ": " << reply;
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
    delete_file(lines, path);
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

}  // namespace
}  // namespace tarnel

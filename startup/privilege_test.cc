// The set-user-ID-root program started by an ordinary user gives root up
// for good: real, effective and saved user IDs all the user's.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace tarnel {
namespace {

using testing::ChildOptions;
using testing::program_path;
using testing::read_until;
using testing::read_until_eof;
using testing::run_to_end;
using testing::start_child;
using testing::TempDir;
using testing::wait_child;

constexpr uid_t kUser = 65534;  // an unprivileged ID that needs no account
constexpr gid_t kGroup = 65534;

// The "Uid:" line of /proc/PID/status: real, effective, saved, file system.
std::string uid_line(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Uid:", 0) == 0) return line;
  }
  return "";
}

TEST(PrivilegeDrop, SetUserIdRootCopyEndsWithAllIdsOfTheCallingUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a set-user-ID-root copy";
  TempDir dir;
  std::string copy = dir.file("tarnel-sim");
  std::error_code ec;
  std::filesystem::copy_file(program_path("tarnel-sim"), copy, ec);
  ASSERT_FALSE(ec) << ec.message();
  ASSERT_EQ(chown(copy.c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(copy.c_str(), 04755), 0);

  int in[2], out[2];
  ASSERT_EQ(pipe(in), 0);
  ASSERT_EQ(pipe(out), 0);
  ChildOptions o;
  o.stdin_fd = in[0];
  o.stdout_fd = out[1];
  o.before_exec = [] {
    if (setgroups(0, nullptr) != 0 || setgid(kGroup) != 0 || setuid(kUser) != 0) _exit(125);
  };
  pid_t pid = start_child(copy, {"--cable", dir.file("X")}, o);
  close(in[0]);
  close(out[1]);
  std::string text;
  bool serving = read_until(out[0], "Accepting connections", 10000, &text);
  if (text.find("Current effective user ID: 65534, ID of calling user: 65534\nWARNING") !=
      std::string::npos) {
    write(in[1], "k", 1);
    wait_child(pid, 10000);
    GTEST_SKIP() << "set-user-ID is not honoured in " << dir.path() << " (nosuid mount?)";
  }
  ASSERT_TRUE(serving) << text;
  std::string uids = uid_line(pid);
  ASSERT_EQ(write(in[1], "k", 1), 1);
  text += read_until_eof(out[0], 10000);
  wait_child(pid, 10000);
  close(in[1]);
  close(out[0]);

  std::istringstream fields(uids.substr(4));
  uid_t real, effective, saved, fs;
  fields >> real >> effective >> saved >> fs;
  EXPECT_EQ(real, kUser) << uids;
  EXPECT_EQ(effective, kUser) << uids;
  EXPECT_EQ(saved, kUser) << uids << " (a saved ID of root could take root back)";
  EXPECT_EQ(fs, kUser) << uids;

  EXPECT_NE(text.find("Current effective user ID: 0, ID of calling user: 65534\n"
                      "Trying to allocate port: Success!\n"
                      "Current effective user ID: 65534, ID of calling user: 65534\n"
                      "Accepting connections through port LPT1, port addr: 888\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("WARNING"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 17), "Program aborted.\n");
}

/// Runs a set-user-ID-root copy of tarnel-sim as kUser on the cable `cable`
/// with an empty keyboard, so that it ends once it has tried the port.
/// Returns its console text; empty with *skip set when set-user-ID is not
/// honoured here.
std::string run_set_user_id_copy(TempDir& dir, const std::string& cable, bool* skip) {
  *skip = false;
  std::string copy = dir.file("tarnel-sim");
  std::error_code ec;
  std::filesystem::copy_file(program_path("tarnel-sim"), copy,
                             std::filesystem::copy_options::skip_existing, ec);
  EXPECT_FALSE(ec) << ec.message();
  EXPECT_EQ(chown(copy.c_str(), 0, 0), 0);
  EXPECT_EQ(chmod(copy.c_str(), 04755), 0);
  ChildOptions o;
  o.before_exec = [] {
    umask(0);  // what the user's umask allows decides nothing below
    if (setgroups(0, nullptr) != 0 || setgid(kGroup) != 0 || setuid(kUser) != 0) _exit(125);
  };
  const std::string text = run_to_end(copy, {"--cable", cable}, o).output;
  if (text.find("Current effective user ID: 65534, ID of calling user: 65534\nWARNING") !=
      std::string::npos) {
    *skip = true;
    return "";
  }
  return text;
}

// The cable never needs root: a set-user-ID-root server creates it as the
// user who started it, not as a root-owned file anyone may write.
TEST(PrivilegeDrop, SetUserIdRootCopyCreatesTheCableAsTheCallingUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a set-user-ID-root copy";
  TempDir dir;
  const std::string cable = dir.file("new.cable");
  bool skip = false;
  const std::string text = run_set_user_id_copy(dir, cable, &skip);
  if (skip) GTEST_SKIP() << "set-user-ID is not honoured in " << dir.path();
  EXPECT_NE(text.find("Trying to allocate port: Success!"), std::string::npos) << text;
  struct stat st;
  ASSERT_EQ(stat(cable.c_str(), &st), 0) << text;
  EXPECT_EQ(st.st_uid, kUser);
  EXPECT_EQ(st.st_gid, kGroup);
}

TEST(PrivilegeDrop, SetUserIdRootCopyReachesNoFileTheUserCannot) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a set-user-ID-root copy";
  TempDir dir;
  // A directory only root may write: the user cannot create a cable there.
  const std::string closed = dir.file("closed");
  ASSERT_EQ(mkdir(closed.c_str(), 0755), 0);
  // A symbolic link to a name that does not exist yet, in a place the user
  // may write: the cable is not created through it.
  const std::string link = dir.file("link.cable");
  const std::string target = dir.file("target");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  for (const std::string& cable : {closed + "/new.cable", link}) {
    bool skip = false;
    const std::string text = run_set_user_id_copy(dir, cable, &skip);
    if (skip) GTEST_SKIP() << "set-user-ID is not honoured in " << dir.path();
    EXPECT_NE(text.find("Cannot use the virtual cable " + cable), std::string::npos) << text;
    EXPECT_NE(text.find("Trying to allocate port: Failed!"), std::string::npos) << text;
  }
  struct stat st;
  EXPECT_NE(stat((closed + "/new.cable").c_str(), &st), 0);
  EXPECT_NE(lstat(target.c_str(), &st), 0) << "created through the link";
}

}  // namespace
}  // namespace tarnel

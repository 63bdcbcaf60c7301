#include "files/resume.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <string>

#include "files/errors.h"
#include "files/file_state.h"
#include "files/file_system.h"
#include "link/text.h"
#include "testing/server_thread.h"
#include "testing/transfer_testing.h"

namespace tarnel {
namespace {

/// The file system the services reach here: the whole one.
WholeFileSystem whole_fs;

using testing::Exchange;
using testing::ServerThread;
using testing::write_file;

TEST(RestartPoint, KeepsBack4096BytesInWholeKilobytes) {
  struct {
    int64_t size;
    int32_t point;
  } const cases[] = {
      {0, 0},
      {4096, 0},
      {5119, 0},
      {5120, 1024},
      {6143, 1024},
      {10000, 5120},
      {1048576, 1044480},
      // Beyond what the client can have: start over.
      {(int64_t{1} << 31) + 8192, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(restart_point(c.size), c.point) << c.size;
}

/// Sparse file of `size` bytes.
void make_file(const std::string& path, int64_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, size), 0);
  close(fd);
}

/// "PUT"/"APUT" then "REST ?" through the command loop; returns the reply.
std::string ask_resume(const std::string& put, const std::string& path) {
  testing::CablePair cable(0);
  testing::Peer peer(cable);
  ServerThread server(cable);
  if (peer.send_command(put + path) != SendResult::SEND_OK) return "<PUT not sent>";
  if (peer.send_command("REST ?") != SendResult::SEND_OK) return "<REST ? not sent>";
  return peer.reply();
}

TEST(ResumeQuery, RawReplyCarriesTheRestartPoint) {
  testing::TempDir dir;
  struct {
    int64_t size;
    const char* reply;
  } const cases[] = {
      {5119, "REST=0"},
      {5120, "REST=1024"},
      {10000, "REST=5120"},
      {1048576, "REST=1044480"},
  };
  for (const auto& c : cases) {
    const std::string path = dir.file("f" + std::to_string(c.size));
    make_file(path, c.size);
    EXPECT_EQ(ask_resume("PUT ", path), c.reply) << c.size;
  }
}

TEST(ResumeQuery, TextReplyCountsTheLfBeforeThePointTwice) {
  testing::TempDir dir;
  std::string stored(9000, 'x');
  for (int i = 0; i < 400; ++i) stored[static_cast<size_t>(i) * 10 + 3] = '\n';
  for (int i = 0; i < 50; ++i)
    stored[4096 + static_cast<size_t>(i) * 20] = '\n';  // after the point
  write_file(dir.file("t"), stored);
  EXPECT_EQ(ask_resume("APUT ", dir.file("t")), "REST=4496");
  EXPECT_EQ(ask_resume("PUT ", dir.file("t")), "REST=4096");
}

TEST(ResumeQuery, FailuresReplyRestErrorAndLeaveTheOffsets) {
  Exchange x;
  auto ask = [&x](const std::string& name) {
    PendingUpload upload{name};
    upload.resume_offset = 77;
    upload.reported_resume_offset = 88;
    bool set = true;
    x.serve(
        [&](Lines& lines, testing::FakeConsole&) { set = resume_query(lines, whole_fs, upload); });
    std::string reply = x.peer().reply();
    x.join();
    EXPECT_FALSE(set) << name;
    EXPECT_EQ(upload.resume_offset, 77) << name;
    EXPECT_EQ(upload.reported_resume_offset, 88) << name;
    return reply;
  };
  EXPECT_EQ(ask(""), "REST ERROR " + std::to_string(REST_ERROR_NO_UPLOAD));
  EXPECT_EQ(ask(x.dir().file("missing")), "REST ERROR 2");
  EXPECT_EQ(ask(x.dir().path()), "REST ERROR " + std::to_string(io_error_number(EISDIR)));
  EXPECT_EQ(io_error, 0);
}

TEST(ResumeQuery, SetsBothOffsets) {
  Exchange x;
  std::string stored(10000, 'x');
  stored[10] = stored[20] = '\n';
  write_file(x.dir().file("t"), stored);
  PendingUpload upload{x.dir().file("t")};
  upload.text = true;
  bool set = false;
  x.serve(
      [&](Lines& lines, testing::FakeConsole&) { set = resume_query(lines, whole_fs, upload); });
  EXPECT_EQ(x.peer().reply(), "REST=5122");
  x.join();
  EXPECT_TRUE(set);
  EXPECT_EQ(upload.resume_offset, 5120);
  EXPECT_EQ(upload.reported_resume_offset, 5122);
}

/// Runs `server` in a child process on the server end of `x`'s cable while
/// this process takes `replies` replies. Returns the replies, or sets *skip
/// when the child could not set itself up (exit status 77).
std::vector<std::string> in_child(Exchange& x, int replies, const std::function<bool()>& setup,
                                  const std::function<void(Lines&)>& server, std::string* skip) {
  const pid_t child = fork();
  if (child == 0) {
    if (!setup()) _exit(77);
    Lines lines = x.cable().server_lines();
    server(lines);
    _exit(0);
  }
  std::vector<std::string> got;
  int status = 0;
  // The child may give up before it sends anything.
  for (int i = 0; i < replies; ++i) {
    std::string text;
    if (x.peer().receive_reply(text) != RecvResult::RECV_OK) break;
    got.push_back(text);
  }
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) *skip = "the child could not set up";
  return got;
}

TEST(ResumeQuery, ExistingFileOpenModeDecidesWhetherAReadOnlyFileCanBeMeasured) {
  Exchange x;
  const std::string path = x.dir().file("kept");
  write_file(path, std::string(10000, 'k'));
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  std::string skip;
  // Root may write anything: the query runs as an ordinary user.
  auto as_nobody = [] { return getuid() != 0 || setuid(65534) == 0; };
  auto queries = [&](Lines& lines) {
    PendingUpload upload{path};
    existing_file_open_mode = O_RDWR;  // at start
    resume_query(lines, whole_fs, upload);
    existing_file_open_mode = O_RDONLY;  // after a download
    resume_query(lines, whole_fs, upload);
  };
  auto got = in_child(x, 2, as_nobody, queries, &skip);
  if (!skip.empty()) GTEST_SKIP() << skip;
  EXPECT_EQ(got, std::vector<std::string>({"REST ERROR 5", "REST=5120"}));
}

TEST(ResumeQuery, ReadWriteOpenOnAReadOnlyFileSystemIsRetriedReadOnly) {
  Exchange x;
  const std::string mount_point = x.dir().file("ro");
  ASSERT_EQ(mkdir(mount_point.c_str(), 0755), 0);
  const std::string path = mount_point + "/f";
  // A read-only file system of our own, in a mount namespace of the child.
  auto read_only_fs = [&] {
    if (unshare(CLONE_NEWNS) != 0) return false;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    if (mount("none", mount_point.c_str(), "tmpfs", 0, nullptr) != 0) return false;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0 || ftruncate(fd, 10000) != 0) return false;
    close(fd);
    return mount(nullptr, mount_point.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  };
  auto query = [&](Lines& lines) {
    PendingUpload upload{path};
    existing_file_open_mode = O_RDWR;
    resume_query(lines, whole_fs, upload);
  };
  std::string skip;
  auto got = in_child(x, 1, read_only_fs, query, &skip);
  if (!skip.empty()) GTEST_SKIP() << "no read-only file system can be made here: " << skip;
  EXPECT_EQ(got, std::vector<std::string>({"REST=5120"}));
  rmdir(mount_point.c_str());
}

int64_t fast_clock() {
  static int64_t t = 0;
  return ++t;  // a second passes at every reading
}

int64_t still_clock() { return 5; }

TEST(TextResumeOffset, SendsWaitAfterEachBlockOnceASecondHasPassed) {
  struct {
    SecondsClock clock;
    int waits;
  } const cases[] = {{fast_clock, 3}, {still_clock, 0}};
  for (const auto& c : cases) {
    Exchange x;
    std::string stored(100000, 'x');
    for (size_t i = 0; i < stored.size(); i += 100) stored[i] = '\n';
    write_file(x.dir().file("t"), stored);
    // The point lies in the third block, so three blocks are read.
    const int32_t point = 70000;
    int32_t answer = 0;
    x.serve([&](Lines& lines, testing::FakeConsole&) {
      const int fd = open(x.dir().file("t").c_str(), O_RDONLY);
      answer = text_resume_offset(lines, whole_fs, fd, point, c.clock);
      close(fd);
    });
    for (int i = 0; i < c.waits; ++i) EXPECT_EQ(x.peer().reply(), "WAIT");
    x.join();
    EXPECT_EQ(answer, point + 700);  // LF at 0, 100, ..., 69900
  }
}

TEST(ResumeQuery, UndeliveredWaitRepliesMinusOneAndStartsOver) {
  Exchange x;
  std::string stored(100000, 'x');
  stored[5] = '\n';
  write_file(x.dir().file("t"), stored);
  PendingUpload upload{x.dir().file("t")};
  upload.resume_offset = 11;
  upload.reported_resume_offset = 12;
  upload.text = true;
  x.serve([&](Lines& lines, testing::FakeConsole&) {
    resume_query(lines, whole_fs, upload, fast_clock);
  });
  // Let the "WAIT" go untaken: see it begin (handshake high with the low
  // nibble of the first magic byte), then see the server give it up.
  EXPECT_TRUE(x.peer().wait_for_status(0x40, 5000));
  EXPECT_TRUE(x.peer().wait_for_status(0x80, 10000));
  EXPECT_EQ(x.peer().reply(), "REST=-1");
  x.join();
  // Nothing ties the two offsets together any more: a new upload follows.
  EXPECT_EQ(upload.resume_offset, 0);
  EXPECT_EQ(upload.reported_resume_offset, 0);
}

}  // namespace
}  // namespace tarnel

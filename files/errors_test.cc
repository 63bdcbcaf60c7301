#include "files/errors.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "files/io.h"
#include "testing/temp_dir.h"

namespace tarnel {
namespace {

/// The file system the services reach here: the whole one.
WholeFileSystem whole_fs;

using testing::TempDir;

class IoErrors : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST(IoErrorNumber, FollowsTheClientsTable) {
  struct {
    int errno_value;
    uint16_t number;
  } const cases[] = {
      {ENOENT, 2},    {ENOTDIR, 3},  {ENAMETOOLONG, 3}, {ELOOP, 3},    {ENFILE, 4},
      {EMFILE, 4},    {EACCES, 5},   {EEXIST, 5},       {EROFS, 5},    {EBADF, 6},
      {EINTR, 101},   {EIO, 101},    {EAGAIN, 101},     {ENOSPC, 101}, {EPIPE, 101},
      {ETXTBSY, 162}, {ENOMEM, 217}, {EFAULT, 217},     {EINVAL, 218},
  };
  for (const auto& c : cases) EXPECT_EQ(io_error_number(c.errno_value), c.number) << c.errno_value;
}

TEST(IoErrorNumber, OtherFailuresGetTheirOwnNonZeroNumbers) {
  const std::set<uint16_t> known = {2, 3, 4, 5, 6, 101, 162, 217, 218};
  std::set<uint16_t> seen;
  for (int e : {EPERM, EBUSY, EXDEV, EISDIR, ENOTEMPTY}) {
    uint16_t n = io_error_number(e);
    EXPECT_NE(n, 0) << e;
    EXPECT_EQ(known.count(n), 0u) << "errno " << e << " shares a number of the client's table";
    EXPECT_TRUE(seen.insert(n).second) << "errno " << e << " shares its number";
  }
  EXPECT_NE(io_error_number(0), 0);
  EXPECT_NE(io_error_number(ENOTSOCK), 0);
  EXPECT_NE(io_error_number(99999), 0);
}

TEST_F(IoErrors, TakeReturnsThePendingNumberAndClearsIt) {
  note_io_error(ENOENT);
  EXPECT_EQ(io_error, 2);
  EXPECT_EQ(take_io_error(), 2);
  EXPECT_EQ(io_error, 0);
  EXPECT_EQ(take_io_error(), 0);
}

TEST_F(IoErrors, FailedCallsSetTheNumberOfTheirErrno) {
  const std::string file = dir_.file("f");
  const std::string sub = dir_.file("sub");
  testing::write_file(file, "x");
  ASSERT_EQ(mkdir(sub.c_str(), 0777), 0);
  testing::write_file(sub + "/inner", "y");

  EXPECT_FALSE(io_unlink(whole_fs, dir_.file("missing")));
  EXPECT_EQ(take_io_error(), 2);
  EXPECT_FALSE(io_mkdir(whole_fs, sub));
  EXPECT_EQ(take_io_error(), 5);  // EEXIST
  EXPECT_FALSE(io_mkdir(whole_fs, file + "/x"));
  EXPECT_EQ(take_io_error(), 3);  // ENOTDIR
  EXPECT_FALSE(io_rmdir(whole_fs, sub));
  EXPECT_EQ(take_io_error(), io_error_number(ENOTEMPTY));
  EXPECT_FALSE(io_rmdir(whole_fs, file));
  EXPECT_EQ(take_io_error(), 3);
  EXPECT_EQ(io_open(whole_fs, sub, O_WRONLY), -1);
  EXPECT_EQ(take_io_error(), io_error_number(EISDIR));
  EXPECT_FALSE(io_rename(whole_fs, dir_.file("missing"), dir_.file("other")));
  EXPECT_EQ(take_io_error(), 2);
  EXPECT_EQ(io_read(whole_fs, -1, nullptr, 0), -1);
  EXPECT_EQ(take_io_error(), 6);
  EXPECT_EQ(io_seek(whole_fs, -1, 0), -1);
  EXPECT_EQ(take_io_error(), 6);
}

TEST_F(IoErrors, SuccessfulCallsLeaveNoNumber) {
  const std::string sub = dir_.file("sub");
  EXPECT_TRUE(io_mkdir(whole_fs, sub));
  EXPECT_TRUE(io_rename(whole_fs, sub, dir_.file("sub2")));
  EXPECT_TRUE(io_rmdir(whole_fs, dir_.file("sub2")));
  int fd = io_open(whole_fs, dir_.file("f"), O_RDWR | O_CREAT | O_TRUNC);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(io_write_all(whole_fs, fd, "hello world", 11));
  EXPECT_EQ(io_seek(whole_fs, fd, 5), 5);
  EXPECT_TRUE(io_truncate_here(whole_fs, fd));
  EXPECT_EQ(io_seek(whole_fs, fd, 0), 0);
  char buffer[16];
  EXPECT_EQ(io_read(whole_fs, fd, buffer, sizeof buffer), 5);
  EXPECT_TRUE(io_close(whole_fs, fd));
  EXPECT_EQ(testing::read_file(dir_.file("f")), "hello");
  EXPECT_TRUE(io_unlink(whole_fs, dir_.file("f")));
  EXPECT_EQ(io_error, 0);
}

TEST_F(IoErrors, OperationsDoNothingWhileAnErrorIsPending) {
  const std::string file = dir_.file("f");
  testing::write_file(file, "keep");
  note_io_error(ENOENT);

  EXPECT_FALSE(io_mkdir(whole_fs, dir_.file("new")));
  EXPECT_FALSE(io_unlink(whole_fs, file));
  EXPECT_FALSE(io_rename(whole_fs, file, dir_.file("g")));
  EXPECT_EQ(io_open(whole_fs, dir_.file("created"), O_WRONLY | O_CREAT), -1);

  struct stat st;
  EXPECT_NE(stat(dir_.file("new").c_str(), &st), 0);
  EXPECT_NE(stat(dir_.file("created").c_str(), &st), 0);
  EXPECT_EQ(testing::read_file(file), "keep");
  EXPECT_EQ(io_error, 2);  // the first failure's number is kept
}

TEST_F(IoErrors, CloseReleasesTheDescriptorEvenWithAnErrorPending) {
  int fd = open(dir_.file("f").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  note_io_error(EIO);
  EXPECT_FALSE(io_close(whole_fs, fd));
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(io_error, 101);
}

TEST_F(IoErrors, WriteToAFullDeviceFails) {
  int fd = open("/dev/full", O_WRONLY);
  if (fd < 0) GTEST_SKIP() << "no /dev/full here";
  EXPECT_FALSE(io_write_all(whole_fs, fd, "data", 4));
  EXPECT_EQ(take_io_error(), 101);
  close(fd);
}

TEST_F(IoErrors, ReadOnlyDescriptorRefusesWrites) {
  testing::write_file(dir_.file("f"), "abc");
  int fd = open(dir_.file("f").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_FALSE(io_write_all(whole_fs, fd, "x", 1));
  EXPECT_EQ(take_io_error(), 6);  // EBADF
  close(fd);
}

}  // namespace
}  // namespace tarnel

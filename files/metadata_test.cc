#include "files/metadata.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>

#include "files/errors.h"
#include "files/file_system.h"
#include "testing/temp_dir.h"

namespace tarnel {
namespace {

/// The file system the services reach here: the whole one.
WholeFileSystem whole_fs;

using testing::TempDir;

class Metadata : public ::testing::Test {
 protected:
  void set_mtime(const std::string& path, int64_t seconds) {
    timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
  int64_t mtime(const std::string& path) {
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return st.st_mtime;
  }
  int32_t stamp_of_file(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    int32_t stamp = file_time_stamp(whole_fs, fd);
    close(fd);
    return stamp;
  }

  TempDir dir_;
};

TEST(PackTimeStamp, AddsTheFieldsIntoTheirBits) {
  struct {
    LocalTime t;
    int32_t stamp;
  } const cases[] = {
      {{2000, 6, 15, 13, 45, 30}, 684682671},
      {{2000, 6, 15, 13, 45, 31}, 684682671},  // an odd second loses its lowest bit
      {{1980, 1, 1, 0, 0, 0}, 2162688},
      {{2026, 12, 7, 22, 30, 0}, 1569174464},
      {{1975, 1, 1, 0, 0, 0}, -165609472},  // before 1980: negative
      {{1970, 1, 1, 0, 0, 0}, -333381632},
      {{2038, 1, 19, 3, 14, 7}, 1949505987},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(pack_time_stamp(c.t), c.stamp) << c.t.year << "-" << c.t.month << "-" << c.t.day;
    EXPECT_EQ(pack_time_stamp(c.t.year, c.t.month, c.t.day, c.t.hour, c.t.minute, c.t.second),
              c.stamp);
  }
}

TEST(ToLocalTime, AgreesWithTheCalendarOfTheCLibrary) {
  time_zone_offset = 0;
  // Every 9 days, 7 hours and 13 seconds from 1970 to 2038, leap years included.
  for (int64_t s = 0; s < INT32_MAX - 800000; s += 9 * 86400 + 7 * 3600 + 13) {
    time_t tt = static_cast<time_t>(s);
    tm expected;
    gmtime_r(&tt, &expected);
    LocalTime t = to_local_time(s);
    ASSERT_EQ(t.year, expected.tm_year + 1900) << s;
    ASSERT_EQ(t.month, expected.tm_mon + 1) << s;
    ASSERT_EQ(t.day, expected.tm_mday) << s;
    ASSERT_EQ(t.hour, expected.tm_hour) << s;
    ASSERT_EQ(t.minute, expected.tm_min) << s;
    ASSERT_EQ(t.second, expected.tm_sec) << s;
  }
}

TEST(ToLocalTime, SubtractsTheTimeZoneOffset) {
  const int64_t noon_utc = 961070400;  // 2000-06-15 12:00:00 UTC
  time_zone_offset = -120;             // two hours east of Greenwich
  EXPECT_EQ(to_local_time(noon_utc).hour, 14);
  time_zone_offset = 300;  // five hours west
  LocalTime t = to_local_time(noon_utc);
  EXPECT_EQ(t.hour, 7);
  EXPECT_EQ(t.day, 15);
  // Just after midnight UTC on New Year's Day 1970, west of Greenwich: the
  // local time is still in 1969.
  t = to_local_time(60);
  EXPECT_EQ(t.year, 1969);
  EXPECT_EQ(t.month, 12);
  EXPECT_EQ(t.day, 31);
  EXPECT_EQ(t.hour, 19);
  EXPECT_EQ(t.minute, 1);
  time_zone_offset = 0;
}

TEST(ToLocalTime, ClampsTimesOutsideTheSigned32BitRange) {
  time_zone_offset = 0;
  EXPECT_EQ(time_stamp_of(-1), time_stamp_of(0));
  EXPECT_EQ(time_stamp_of(-100000000), pack_time_stamp(1970, 1, 1, 0, 0, 0));
  EXPECT_EQ(time_stamp_of(int64_t{INT32_MAX} + 1), time_stamp_of(INT32_MAX));
  EXPECT_EQ(time_stamp_of(int64_t{1} << 40), pack_time_stamp(2038, 1, 19, 3, 14, 7));
  // East of Greenwich the last second passes 2^31 local seconds; still a
  // proper date.
  time_zone_offset = -120;
  EXPECT_EQ(time_stamp_of(INT32_MAX), pack_time_stamp(2038, 1, 19, 5, 14, 7));
  time_zone_offset = 0;
}

TEST_F(Metadata, FileTimeStampPacksTheLocalModificationTime) {
  const std::string f = dir_.file("f");
  testing::write_file(f, "x");
  set_mtime(f, 157766400);  // 1975-01-01 00:00:00 UTC
  search_error = 18;
  EXPECT_EQ(stamp_of_file(f), -165609472);
  EXPECT_EQ(search_error, 0);

  set_mtime(f, 961076730 + 12 * 3600);  // 2000-06-15 13:45:30 local, 12 hours west
  time_zone_offset = 720;
  EXPECT_EQ(stamp_of_file(f), 684682671);
}

TEST_F(Metadata, FileTimeStampOfABadDescriptorIsZeroWithSearchError3) {
  search_error = 0;
  EXPECT_EQ(file_time_stamp(whole_fs, -1), 0);
  EXPECT_EQ(search_error, 3);
}

TEST(EntryAttributeNumber, OwnerWriteBitDecidesReadOnly) {
  EXPECT_EQ(entry_attribute_number(S_IFREG | 0644), 32);
  EXPECT_EQ(entry_attribute_number(S_IFREG | 0444), 33);
  EXPECT_EQ(entry_attribute_number(S_IFDIR | 0755), 16);
  EXPECT_EQ(entry_attribute_number(S_IFDIR | 0555), 17);
  EXPECT_EQ(entry_attribute_number(S_IFREG | 0577), 33);  // group and others do not count
  EXPECT_EQ(entry_attribute_number(S_IFCHR | 0666), 32);
}

TEST_F(Metadata, FileAttributeNumberOfDirectoryAndWritableFile) {
  const std::string f = dir_.file("f");
  testing::write_file(f, "x");
  ASSERT_EQ(chmod(f.c_str(), 0644), 0);
  search_error = 7;
  EXPECT_EQ(file_attribute_number(whole_fs, f), 32);
  EXPECT_EQ(file_attribute_number(whole_fs, dir_.path()), 16);
  EXPECT_EQ(search_error, 7);  // left as it was on success
}

TEST_F(Metadata, FileAttributeNumberOfMissingPathIsZeroWithSearchError3) {
  EXPECT_EQ(file_attribute_number(whole_fs, dir_.file("missing")), 0);
  EXPECT_EQ(search_error, 3);
}

// The file-query rule asks whether this process may write the file, which the
// mode alone does not tell. Root may write anything, so a child process that
// has become another user answers.
TEST_F(Metadata, FileAttributeNumberAsksWhetherThisUserMayWrite) {
  const std::string mine = dir_.file("mine");        // root's, 0644
  const std::string open_to_all = dir_.file("all");  // root's, 0666
  const std::string read_only = dir_.file("ro");     // root's, 0444
  testing::write_file(mine, "x");
  testing::write_file(open_to_all, "x");
  testing::write_file(read_only, "x");
  ASSERT_EQ(chmod(mine.c_str(), 0644), 0);
  ASSERT_EQ(chmod(open_to_all.c_str(), 0666), 0);
  ASSERT_EQ(chmod(read_only.c_str(), 0444), 0);

  struct stat st;
  ASSERT_EQ(stat(mine.c_str(), &st), 0);
  // The listing rule looks at the mode only.
  EXPECT_EQ(entry_attribute_number(st.st_mode), 32);

  if (geteuid() != 0) {
    EXPECT_EQ(file_attribute_number(whole_fs, mine), st.st_uid == geteuid() ? 32 : 33);
    GTEST_SKIP() << "not root: cannot take on another user for the rest";
  }
  auto as_nobody = [](const std::string& path) -> int {
    pid_t child = fork();
    if (child == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(255);
      _exit(file_attribute_number(whole_fs, path));
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  int result = as_nobody(mine);
  if (result == 255) GTEST_SKIP() << "cannot become uid 65534";
  EXPECT_EQ(result, 33);
  EXPECT_EQ(as_nobody(open_to_all), 32);
  EXPECT_EQ(as_nobody(read_only), 33);
  EXPECT_EQ(file_attribute_number(whole_fs, read_only), 32);  // root may write it all the same
}

TEST_F(Metadata, ApplyTimeStampIsTheInverseOfThePacking) {
  const std::string f = dir_.file("f");
  testing::write_file(f, "x");
  for (int32_t offset : {0, -120, 300}) {
    time_zone_offset = offset;
    for (int32_t stamp : {684682671, 2162688, 1569174464, -165609472}) {
      int fd = open(f.c_str(), O_RDWR);
      ASSERT_GE(fd, 0);
      apply_time_stamp(whole_fs, fd, stamp);
      EXPECT_EQ(file_time_stamp(whole_fs, fd), stamp) << "offset " << offset;
      close(fd);
    }
  }
  time_zone_offset = 0;
  int fd = open(f.c_str(), O_RDWR);
  apply_time_stamp(whole_fs, fd, pack_time_stamp(2000, 6, 15, 13, 45, 30));
  close(fd);
  EXPECT_EQ(mtime(f), 961076730);  // 2000-06-15 13:45:30 UTC
}

TEST_F(Metadata, ApplyTimeStampIgnoresStampsThatNameNoTime) {
  const std::string f = dir_.file("f");
  testing::write_file(f, "x");
  set_mtime(f, 1000000000);
  const int32_t bad[] = {
      0,                                       // day 0, month 0
      pack_time_stamp(2001, 13, 1, 0, 0, 0),   // month 13
      pack_time_stamp(2001, 2, 29, 0, 0, 0),   // not a leap year
      pack_time_stamp(2001, 2, 28, 24, 0, 0),  // hour 24
      pack_time_stamp(2001, 2, 28, 0, 60, 0),  // minute 60
      pack_time_stamp(2001, 2, 28, 0, 0, 60),  // second 60
  };
  for (int32_t stamp : bad) {
    int fd = open(f.c_str(), O_RDWR);
    apply_time_stamp(whole_fs, fd, stamp);
    close(fd);
    EXPECT_EQ(mtime(f), 1000000000) << stamp;
  }
  EXPECT_EQ(io_error, 0);
}

TEST_F(Metadata, ApplyAttributeNumberSetsOrClearsOwnerWrite) {
  const std::string f = dir_.file("f");
  testing::write_file(f, "x");
  ASSERT_EQ(chmod(f.c_str(), 0664), 0);
  struct stat st;

  apply_attribute_number(whole_fs, f, 33);
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0464u);

  apply_attribute_number(whole_fs, f, 32);
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0664u);

  apply_attribute_number(whole_fs, f, 0xFFFE);  // every bit but read-only
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0664u);

  apply_attribute_number(whole_fs, dir_.file("missing"), 33);  // nothing, and no error
  EXPECT_EQ(io_error, 0);
}

}  // namespace
}  // namespace tarnel

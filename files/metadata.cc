#include "files/metadata.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>

#include "base/wire_words.h"
#include "files/errors.h"

namespace tarnel {

void read_time_zone_offset() {
  timeval tv;
  struct timezone tz;
  if (gettimeofday(&tv, &tz) == 0) time_zone_offset = tz.tz_minuteswest;
}

namespace {

constexpr int64_t kSecondsPerDay = 86400;

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// Days since 1970-01-01 <-> proleptic Gregorian date, by eras of 400 years
// (146097 days), each era starting on 1 March so that the leap day comes last.
void civil_from_days(int64_t days, int& year, int& month, int& day) {
  days += 719468;  // 0000-03-01 to 1970-01-01
  const int64_t era = floor_div(days, 146097);
  const int64_t doe = days - era * 146097;                                    // 0..146096
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // 0..399
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // 0..365
  const int64_t mp = (5 * doy + 2) / 153;                                     // 0..11, from March
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

int64_t days_from_civil(int year, int month, int day) {
  const int64_t y = year - (month <= 2 ? 1 : 0);
  const int64_t era = floor_div(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

LocalTime to_local_time(int64_t seconds_utc) {
  seconds_utc = std::clamp(seconds_utc, kEarliestStampSeconds, kLatestStampSeconds);
  // In 64 bits: a time near the end of the range east of Greenwich passes
  // 2^31 local seconds, and west of it the first hours of 1970 go negative.
  const int64_t local = seconds_utc - static_cast<int64_t>(time_zone_offset) * 60;
  const int64_t days = floor_div(local, kSecondsPerDay);
  const int64_t in_day = local - days * kSecondsPerDay;
  LocalTime t;
  civil_from_days(days, t.year, t.month, t.day);
  t.hour = static_cast<int>(in_day / 3600);
  t.minute = static_cast<int>(in_day % 3600 / 60);
  t.second = static_cast<int>(in_day % 60);
  return t;
}

int32_t time_stamp_of(int64_t seconds_utc) { return pack_time_stamp(to_local_time(seconds_utc)); }

int32_t file_time_stamp(FileSystem& fs, int fd) {
  search_error = SEARCH_OK;
  struct stat st;
  if (fs.fstat(fd, st) != 0) {
    search_error = SEARCH_NOT_FOUND;
    return 0;
  }
  return time_stamp_of(st.st_mtime);
}

uint16_t file_attribute_number(FileSystem& fs, const std::string& path) {
  struct stat st;
  if (fs.stat(path, st) != 0) {
    search_error = SEARCH_NOT_FOUND;
    return 0;
  }
  uint16_t attributes = S_ISDIR(st.st_mode) ? ATTRIBUTE_DIRECTORY : ATTRIBUTE_ARCHIVE;
  if (fs.access(path, W_OK) != 0) attributes |= ATTRIBUTE_READ_ONLY;
  return attributes;
}

uint8_t entry_attribute_number(mode_t mode) {
  uint8_t attributes = S_ISDIR(mode) ? ATTRIBUTE_DIRECTORY : ATTRIBUTE_ARCHIVE;
  if ((mode & S_IWUSR) == 0) attributes |= ATTRIBUTE_READ_ONLY;
  return attributes;
}

void apply_time_stamp(FileSystem& fs, int fd, int32_t stamp) {
  LocalTime t;
  if (!unpack_time_stamp(stamp, &t)) return;  // no real date: nothing to set
  const int64_t local = days_from_civil(t.year, t.month, t.day) * kSecondsPerDay + t.hour * 3600 +
                        t.minute * 60 + t.second;
  const int64_t utc = local + static_cast<int64_t>(time_zone_offset) * 60;
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // access time stays
  times[1].tv_sec = static_cast<time_t>(utc);
  times[1].tv_nsec = 0;
  fs.set_times(fd, times);  // nothing depends on it: a failure is not reported
}

void apply_attribute_number(FileSystem& fs, const std::string& path, int32_t attributes) {
  struct stat st;
  if (fs.stat(path, st) != 0) return;
  mode_t mode = st.st_mode & 07777;
  if (attributes & ATTRIBUTE_READ_ONLY) {
    mode &= ~static_cast<mode_t>(S_IWUSR);
  } else {
    mode |= S_IWUSR;
  }
  if (mode != (st.st_mode & 07777)) fs.chmod(path, mode);  // not reported either
}

}  // namespace tarnel

#include "base/time_stamp.h"

namespace tarnel {

int32_t pack_time_stamp(const LocalTime& t) {
  return pack_time_stamp(t.year, t.month, t.day, t.hour, t.minute, t.second);
}

int32_t pack_time_stamp(int year, int month, int day, int hour, int minute, int second) {
  // Added, not masked: a year before 1980 borrows from the bits above.
  const int64_t sum =
      second / 2 + static_cast<int64_t>(minute) * (1 << 5) +
      static_cast<int64_t>(hour) * (1 << 11) + static_cast<int64_t>(day) * (1 << 16) +
      static_cast<int64_t>(month) * (1 << 21) + static_cast<int64_t>(year - 1980) * (1 << 25);
  return static_cast<int32_t>(static_cast<uint32_t>(sum));
}

int days_in_month(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

bool unpack_time_stamp(int32_t stamp, LocalTime* out) {
  const auto bits = static_cast<uint32_t>(stamp);
  LocalTime t;
  // Added, not masked: an arithmetic shift gives a negative year offset back.
  t.year = 1980 + (stamp >> 25);
  t.month = static_cast<int>(bits >> 21 & 0x0F);
  t.day = static_cast<int>(bits >> 16 & 0x1F);
  t.hour = static_cast<int>(bits >> 11 & 0x1F);
  t.minute = static_cast<int>(bits >> 5 & 0x3F);
  t.second = static_cast<int>(bits & 0x1F) * 2;
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > days_in_month(t.year, t.month) ||
      t.hour > 23 || t.minute > 59 || t.second > 59) {
    return false;
  }
  *out = t;
  return true;
}

}  // namespace tarnel

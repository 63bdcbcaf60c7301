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

}  // namespace tarnel

// Packed time stamps, as they travel on the wire (FAT date and time, local
// time of the server):
//   bits 0-4 second/2, 5-10 minute, 11-15 hour, 16-20 day, 21-24 month,
//   25-31 year - 1980; the fields are added, so 1970-1979 come out negative.
// The server packs the times of its files with them, the client the times of
// its own.
#ifndef TARNEL_BASE_TIME_STAMP_H_
#define TARNEL_BASE_TIME_STAMP_H_

#include <cstdint>

namespace tarnel {

struct LocalTime {
  int year, month, day, hour, minute, second;
};

/// The fields added into their bit positions, modulo 2^32; an odd second
/// loses its lowest bit.
int32_t pack_time_stamp(const LocalTime& t);
int32_t pack_time_stamp(int year, int month, int day, int hour, int minute, int second);

/// The fields of a packed stamp, the year read as signed as the packing
/// made it (1970-1979 have a negative offset; years from 2044 on, which the
/// server never sends, read as before 1980). False when the fields name no
/// real date and time (a month of 0, the 31st of April, 29 February of a
/// common year, an hour of 24): *out is then left as it was.
bool unpack_time_stamp(int32_t stamp, LocalTime* out);

/// 28 to 31: the days of `month` (1-12) in `year` of the Gregorian calendar.
int days_in_month(int year, int month);

}  // namespace tarnel

#endif  // TARNEL_BASE_TIME_STAMP_H_

// Time stamps and attribute numbers as they travel on the wire.
//
// Packed time stamp (FAT date and time, local time of the server):
//   bits 0-4 second/2, 5-10 minute, 11-15 hour, 16-20 day, 21-24 month,
//   25-31 year - 1980; the fields are added, so 1970-1979 come out negative.
// Attribute number: 16 directory or 32 anything else, + 1 read-only.
#ifndef TARNEL_FILES_METADATA_H_
#define TARNEL_FILES_METADATA_H_

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "files/file_state.h"

namespace tarnel {

/// Sets time_zone_offset (files/file_state.h) from the kernel's time zone.
void read_time_zone_offset();

struct LocalTime {
  int year, month, day, hour, minute, second;
};

/// The modification times that a time stamp can describe: 1970-01-01
/// 00:00:00 UTC up to 2038-01-19 03:14:07 UTC (signed 32-bit seconds).
/// Times outside are taken as the nearer end of that range.
constexpr int64_t kEarliestStampSeconds = 0;
constexpr int64_t kLatestStampSeconds = INT32_MAX;

/// Seconds since 1970 UTC (clamped to the range above) as the server's local
/// date and time: minus time_zone_offset minutes, proleptic Gregorian.
LocalTime to_local_time(int64_t seconds_utc);
/// The fields added into their bit positions, modulo 2^32; an odd second
/// loses its lowest bit.
int32_t pack_time_stamp(const LocalTime& t);
int32_t pack_time_stamp(int year, int month, int day, int hour, int minute, int second);
/// The packed time stamp of a modification time in seconds since 1970 UTC.
int32_t time_stamp_of(int64_t seconds_utc);

/// The packed modification time of an open file; 0 and search_error 3 when
/// its status cannot be read (search_error 0 otherwise).
int32_t file_time_stamp(int fd);
/// The file-query rule: 16 or 32 by kind, + 1 when this process may not
/// write the path. 0 and search_error 3 when stat fails.
uint16_t file_attribute_number(const std::string& path);
/// The listing rule: 16 or 32 by kind, + 1 when the owner's write bit is clear.
uint8_t entry_attribute_number(mode_t mode);

/// Sets the open file's modification time from a packed stamp (the inverse
/// of time_stamp_of, with the same time-zone offset). A stamp whose fields
/// name no valid date and time changes nothing. Reports no error.
void apply_time_stamp(int fd, int32_t stamp);
/// Sets or clears the owner's write permission from bit 1 (read-only);
/// every other permission bit stays. Reports no error.
void apply_attribute_number(const std::string& path, int32_t attributes);

}  // namespace tarnel

#endif  // TARNEL_FILES_METADATA_H_

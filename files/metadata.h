// Time stamps and attribute numbers of the files served, as they travel on
// the wire (the packing itself is in base/time_stamp.h).
// Attribute number: 16 directory or 32 anything else, + 1 read-only.
#ifndef TARNEL_FILES_METADATA_H_
#define TARNEL_FILES_METADATA_H_

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "base/time_stamp.h"
#include "files/file_state.h"
#include "files/file_system.h"

namespace tarnel {

/// Sets time_zone_offset (files/file_state.h) from the kernel's time zone.
void read_time_zone_offset();

/// The modification times that a time stamp can describe: 1970-01-01
/// 00:00:00 UTC up to 2038-01-19 03:14:07 UTC (signed 32-bit seconds).
/// Times outside are taken as the nearer end of that range.
constexpr int64_t kEarliestStampSeconds = 0;
constexpr int64_t kLatestStampSeconds = INT32_MAX;

/// Seconds since 1970 UTC (clamped to the range above) as the server's local
/// date and time: minus time_zone_offset minutes, proleptic Gregorian.
LocalTime to_local_time(int64_t seconds_utc);
/// The packed time stamp of a modification time in seconds since 1970 UTC.
int32_t time_stamp_of(int64_t seconds_utc);

/// The packed modification time of an open file; 0 and search_error 3 when
/// its status cannot be read (search_error 0 otherwise).
int32_t file_time_stamp(FileSystem& fs, int fd);
/// The file-query rule: 16 or 32 by kind, + 1 when this process may not
/// write the path. 0 and search_error 3 when stat fails.
uint16_t file_attribute_number(FileSystem& fs, const std::string& path);
/// The listing rule: 16 or 32 by kind, + 1 when the owner's write bit is clear.
uint8_t entry_attribute_number(mode_t mode);

/// Sets the open file's modification time from a packed stamp (the inverse
/// of time_stamp_of, with the same time-zone offset). A stamp whose fields
/// name no valid date and time changes nothing. Reports no error.
void apply_time_stamp(FileSystem& fs, int fd, int32_t stamp);
/// Sets or clears the owner's write permission from bit 1 (read-only);
/// every other permission bit stays. Reports no error.
void apply_attribute_number(FileSystem& fs, const std::string& path, int32_t attributes);

}  // namespace tarnel

#endif  // TARNEL_FILES_METADATA_H_

// Time stamps and attribute numbers as they travel on the wire.
#ifndef TARNEL_FILES_METADATA_H_
#define TARNEL_FILES_METADATA_H_

#include <cstdint>

namespace tarnel {

/// The kernel's time zone in minutes west of Greenwich, read once at
/// start-up (the time-zone result of gettimeofday; no daylight saving).
extern int32_t time_zone_offset;
void read_time_zone_offset();

}  // namespace tarnel

#endif  // TARNEL_FILES_METADATA_H_

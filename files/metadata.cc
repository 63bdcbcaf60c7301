#include "files/metadata.h"

#include <sys/time.h>

namespace tarnel {

int32_t time_zone_offset = 0;

void read_time_zone_offset() {
  timeval tv;
  struct timezone tz;
  if (gettimeofday(&tv, &tz) == 0) time_zone_offset = tz.tz_minuteswest;
}

}  // namespace tarnel

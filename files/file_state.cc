#include "files/file_state.h"

#include <fcntl.h>

namespace tarnel {

uint16_t io_error = 0;
int16_t search_error = 0;
int32_t time_zone_offset = 0;
int existing_file_open_mode = O_RDWR;

void reset_file_state() {
  io_error = 0;
  search_error = 0;
  time_zone_offset = 0;
  existing_file_open_mode = O_RDWR;
}

}  // namespace tarnel

#include "link/frame.h"

namespace tarnel {

uint32_t frame_checksum(const uint8_t* data, size_t length) {
  FrameSums sums;
  for (size_t i = 0; i < length; ++i) sums.add(data[i]);
  return sums.value();
}

}  // namespace tarnel

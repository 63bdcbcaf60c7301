#include "base/console.h"

#include <cstdint>

namespace tarnel {

bool abort_flag = false;

std::string visible_text(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    uint8_t b = static_cast<uint8_t>(c);
    // 0x80-0x9F are the C1 controls: an 8-bit terminal takes 0x9B as CSI, the
    // same as ESC [, so they are no safer than the bytes below 0x20.
    if (b >= 0x80 && b < 0xA0) {
      out += "M-";
      b = static_cast<uint8_t>(b - 0x80);
    }
    if (b < 0x20 || b == 0x7F) {
      out += '^';
      out += static_cast<char>(b ^ 0x40);  // 0x1B -> '[', 0x7F -> '?'
    } else {
      out += static_cast<char>(b);
    }
  }
  return out;
}

}  // namespace tarnel

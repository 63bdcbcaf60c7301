#include "base/console.h"

#include <cstdint>
#include <cstdio>

namespace tarnel {

bool abort_flag = false;

void Console::error_line(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

namespace {

uint8_t byte_at(std::string_view bytes, size_t i) { return static_cast<uint8_t>(bytes[i]); }

/// The length of the UTF-8 character of two to four bytes that begins at
/// `i`, or 0 when none does there (a lone byte, a character cut short, an
/// overlong form, a surrogate, or one beyond U+10FFFF).
size_t utf8_length(std::string_view bytes, size_t i) {
  const uint8_t lead = byte_at(bytes, i);
  size_t length;
  uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong form
    if (lead == 0xED) high = 0x9F;  // no surrogate
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong form
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  if (bytes.size() - i < length) return 0;
  const uint8_t second = byte_at(bytes, i + 1);
  if (second < low || second > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    const uint8_t next = byte_at(bytes, i + k);
    if (next < 0x80 || next > 0xBF) return 0;
  }
  return length;
}

/// A control code in its visible form; C1 codes (0x80-0x9F) as "M-" and the
/// caret form of the code less 0x80.
void append_control(std::string& out, uint8_t code) {
  if (code >= 0x80) {
    out += "M-";
    code = static_cast<uint8_t>(code - 0x80);
  }
  out += '^';
  out += static_cast<char>(code ^ 0x40);  // 0x1B -> '[', 0x7F -> '?'
}

}  // namespace

std::string visible_text(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const uint8_t b = byte_at(bytes, i);
    if (const size_t length = utf8_length(bytes, i); length > 0) {
      // U+0080-U+009F, C2 80 to C2 9F: the C1 controls as characters, which
      // a UTF-8 terminal obeys as an 8-bit one obeys the single bytes.
      if (b == 0xC2 && byte_at(bytes, i + 1) < 0xA0) {
        append_control(out, byte_at(bytes, i + 1));
      } else {
        out.append(bytes.substr(i, length));
      }
      i += length;
      continue;
    }
    // A byte outside any character: 0x80-0x9F are the C1 controls, and an
    // 8-bit terminal takes 0x9B as CSI, the same as ESC [.
    if (b < 0x20 || b == 0x7F || (b >= 0x80 && b < 0xA0)) {
      append_control(out, b);
    } else {
      out += static_cast<char>(b);
    }
    ++i;
  }
  return out;
}

}  // namespace tarnel

#include "base/numbers.h"

namespace tarnel {

namespace {

/// The value of one digit in `base`, or -1.
int digit_value(char c, int base) {
  int v = -1;
  if (c >= '0' && c <= '9') {
    v = c - '0';
  } else if (c >= 'A' && c <= 'F') {
    v = c - 'A' + 10;
  } else if (c >= 'a' && c <= 'f') {
    v = c - 'a' + 10;
  }
  return v < base ? v : -1;
}

}  // namespace

int32_t text_to_number(std::string_view text) {
  constexpr int32_t kError = -1;
  // The one value beyond the positive range, allowed as this exact text.
  if (text == "-2147483648") return INT32_MIN;

  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i < text.size() && text[i] == '%') {
    base = 2;
    ++i;
  }
  if (i == text.size()) return kError;  // no digits

  // Decimal must stay within 0..2^31-1; hexadecimal and base 2 may fill all
  // 32 bits. Checked per digit, so that no length of text can overflow.
  const uint64_t limit = base == 10 ? INT32_MAX : UINT32_MAX;
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    int d = digit_value(text[i], base);
    if (d < 0) return kError;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    if (value > limit) return kError;
  }
  auto bits = static_cast<uint32_t>(value);
  if (negative) bits = 0u - bits;
  return static_cast<int32_t>(bits);
}

std::string number_to_text(int32_t value) { return std::to_string(value); }

}  // namespace tarnel

// text_to_number on arbitrary text: never more than the text, and every
// result that is not the error value reads back as the same number where
// the text is plain decimal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/numbers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const int32_t n = tarnel::text_to_number(text);
  // Plain decimal digits: the value is the decimal number, or the error
  // value beyond 2^31 - 1.
  if (!text.empty() && text.size() <= 18 &&
      text.find_first_not_of("0123456789") == std::string_view::npos) {
    const long long want = std::strtoll(std::string(text).c_str(), nullptr, 10);
    if (want <= INT32_MAX && n != want) std::abort();
    if (want > INT32_MAX && n != -1) std::abort();
  }
  // The number written out reads back as itself.
  if (tarnel::text_to_number(tarnel::number_to_text(n)) != n) std::abort();
  return 0;
}

// The number texts of the command protocol: signed 32-bit decimal out;
// decimal, "$" hexadecimal or "%" binary in, -1 for anything malformed.
#ifndef TARNEL_BASE_NUMBERS_H_
#define TARNEL_BASE_NUMBERS_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnel {

int32_t text_to_number(std::string_view text);
std::string number_to_text(int32_t value);

}  // namespace tarnel

#endif  // TARNEL_BASE_NUMBERS_H_

// What a terminal is shown of bytes from elsewhere: control bytes escaped,
// UTF-8 characters whole.
#include <gtest/gtest.h>

#include <string>

#include "base/console.h"

namespace tarnel {
namespace {

TEST(VisibleText, EscapesControlsAndKeepsCharactersWhole) {
  struct Case {
    std::string bytes;
    std::string shown;
  };
  const Case cases[] = {
      // C0 and DEL in caret form; the caret itself stays.
      {"a\x1b]0;T\x07\x1b[2J^", "a^[]0;T^G^[[2J^"},
      {std::string("\x00\r\n\t\x7f", 5), "^@^M^J^I^?"},
      // UTF-8 characters of two, three and four bytes pass whole:
      // A with diaeresis (C3 84) and sharp s (C3 9F) end in bytes that
      // alone would be C1 controls.
      {"\xc3\x84rger \xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80",
       "\xc3\x84rger \xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80"},
      // The C1 controls as characters (U+0080, U+009B, U+009F), one escape each.
      {"\xc2\x80\xc2\x9b"
       "2J\xc2\x9f",
       "M-^@M-^[2JM-^_"},
      // U+00A0 and on are characters like any other.
      {"\xc2\xa0\xc2\xbf", "\xc2\xa0\xc2\xbf"},
      // Bytes outside any character are judged alone: 0x80-0x9F escaped,
      // the rest kept.
      {"\x9b"
       "2J \x80\x9f",
       "M-^[2J M-^@M-^_"},
      {"\xa0\xe4\xff", "\xa0\xe4\xff"},
      // Cut short, overlong, a surrogate, beyond U+10FFFF: no character, so
      // a C1 byte among them is still escaped.
      {"\xc3", "\xc3"},
      {"\xe2\x82", "\xe2M-^B"},
      {"\xe2\x9b", "\xe2M-^["},
      {"\xc1\x9b", "\xc1M-^["},
      {"\xe0\x80\x9b", "\xe0M-^@M-^["},
      {"\xed\xa0\x80", "\xed\xa0M-^@"},
      {"\xf4\x90\x80\x80", "\xf4M-^PM-^@M-^@"},
      // A character right after a stray byte is still whole.
      {"\x9b\xc3\x84", "M-^[\xc3\x84"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(visible_text(c.bytes), c.shown) << ::testing::PrintToString(c.bytes);
  }
}

TEST(VisibleText, ShowsNoControlByteWhateverComes) {
  // Every two-byte string: what comes out holds no C0 control, no DEL, no
  // lone C1 byte and no C1 character, and shows printable ASCII unchanged.
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const std::string bytes{static_cast<char>(a), static_cast<char>(b)};
      const std::string shown = visible_text(bytes);
      for (size_t i = 0; i < shown.size(); ++i) {
        const auto u = static_cast<unsigned char>(shown[i]);
        ASSERT_FALSE(u < 0x20 || u == 0x7f) << a << " " << b;
        if (u >= 0x80 && u < 0xa0) {
          // Only as the second byte of a character that is no C1 control.
          ASSERT_GT(i, 0u) << a << " " << b;
          const auto lead = static_cast<unsigned char>(shown[i - 1]);
          ASSERT_TRUE(lead >= 0xc3 && lead <= 0xdf) << a << " " << b;
        }
      }
      if (a >= 0x20 && a < 0x7f && b >= 0x20 && b < 0x7f) {
        ASSERT_EQ(shown, bytes);
      }
    }
  }
}

}  // namespace
}  // namespace tarnel

#include "base/charset.h"

#include <gtest/gtest.h>

namespace tarnel {
namespace {

Charset open_charset(const char* name) {
  Charset charset;
  std::string error;
  EXPECT_TRUE(Charset::open(name, &charset, &error)) << error;
  return charset;
}

struct CodePageCase {
  const char* code_page;
  std::string client;  // the bytes on the wire
  std::string local;   // UTF-8
};

TEST(Charset, ConvertsNamesBothWays) {
  const CodePageCase cases[] = {
      {"CP1252", "M\xFCller.txt", "M\xC3\xBCller.txt"},
      {"CP1252", "\x80 caf\xE9", "\xE2\x82\xAC caf\xC3\xA9"},  // euro sign
      {"CP850", "M\x81ller \x8E\xE1.txt", "M\xC3\xBCller \xC3\x84\xC3\x9F.txt"},
      {"CP437", "\x84rger", "\xC3\xA4rger"},
      {"CP1250", "\x8A\xE8", "\xC5\xA0\xC4\x8D"},             // Š č
      {"CP866", "\x8C\xA8\xE0", "\xD0\x9C\xD0\xB8\xD1\x80"},  // Мир
      {"CP1252", "plain ASCII *.* \\ /", "plain ASCII *.* \\ /"},
  };
  for (const CodePageCase& c : cases) {
    const Charset charset = open_charset(c.code_page);
    std::string out;
    EXPECT_TRUE(charset.to_utf8(c.client, &out)) << c.code_page;
    EXPECT_EQ(out, c.local) << c.code_page;
    EXPECT_TRUE(charset.from_utf8(c.local, &out)) << c.code_page;
    EXPECT_EQ(out, c.client) << c.code_page;
  }
}

TEST(Charset, RefusesWhatTheOtherSideCannotHold) {
  const Charset cp1252 = open_charset("CP1252");
  std::string out;
  EXPECT_FALSE(cp1252.to_utf8("a\x81z", &out));                         // undefined in CP1252
  EXPECT_FALSE(cp1252.from_utf8("\xCE\xA9mega", &out));                 // Omega: not in CP1252
  EXPECT_FALSE(cp1252.from_utf8("M\xFCller", &out));                    // not UTF-8
  EXPECT_FALSE(open_charset("CP850").from_utf8("\xE2\x82\xAC", &out));  // no euro in 850
}

TEST(Charset, WithoutACodePageCopiesBytes) {
  const Charset none;
  EXPECT_FALSE(none.converts());
  const std::string bytes = "M\xFCller \x81\xC3\xBC";
  std::string out;
  EXPECT_TRUE(none.to_utf8(bytes, &out));
  EXPECT_EQ(out, bytes);
  EXPECT_TRUE(none.from_utf8(bytes, &out));
  EXPECT_EQ(out, bytes);
}

TEST(Charset, RefusesNamesThatAreNoSingleByteCodePage) {
  for (const char* name :
       {"NO-SUCH-CODE-PAGE", "", "CP1252//TRANSLIT", "UTF-8", "UTF-16", "SHIFT_JIS"}) {
    Charset charset;
    std::string error;
    EXPECT_FALSE(Charset::open(name, &charset, &error)) << name;
    EXPECT_FALSE(error.empty()) << name;
    EXPECT_EQ(error.find('\n'), std::string::npos) << name;
    EXPECT_FALSE(charset.converts()) << name;
  }
}

TEST(Utf8Sequence, TakesOnlyWellFormedSequences) {
  struct Case {
    std::string text;
    size_t length;
    uint32_t code_point;
  };
  const Case cases[] = {
      {"a", 1, 'a'},
      {"\xC3\x84", 2, 0xC4},
      {"\xE2\x82\xAC", 3, 0x20AC},
      {"\xF0\x9F\x98\x80", 4, 0x1F600},
      {"\xC3", 0, 0},              // cut short
      {"\x84", 0, 0},              // stray continuation byte
      {"\xC0\x80", 0, 0},          // overlong NUL
      {"\xE0\x80\xAF", 0, 0},      // overlong "/"
      {"\xED\xA0\x80", 0, 0},      // surrogate
      {"\xF4\x90\x80\x80", 0, 0},  // above U+10FFFF
      {"\xFF", 0, 0},
  };
  for (const Case& c : cases) {
    uint32_t code_point = 0;
    EXPECT_EQ(utf8_sequence(c.text, 0, &code_point), c.length) << c.text;
    if (c.length != 0) {
      EXPECT_EQ(code_point, c.code_point) << c.text;
    }
  }
  EXPECT_TRUE(valid_utf8("caf\xC3\xA9 \xE2\x82\xAC"));
  EXPECT_FALSE(valid_utf8("caf\xE9"));
}

}  // namespace
}  // namespace tarnel

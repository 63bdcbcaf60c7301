#include "base/numbers.h"

#include <gtest/gtest.h>

namespace tarnel {
namespace {

struct NumberCase {
  const char* text;
  int32_t value;
};

TEST(TextToNumber, ReadsEveryFormOfTheWire) {
  const NumberCase cases[] = {
      {"0", 0},
      {"42", 42},
      {"+42", 42},
      {"-42", -42},
      {"007", 7},
      {"2147483647", 2147483647},
      {"-2147483647", -2147483647},
      {"-2147483648", INT32_MIN},
      {"$FF", 255},
      {"$ff", 255},
      {"-$10", -16},
      {"%101", 5},
      {"+%11111111", 255},
      {"$7FFFFFFF", 2147483647},
      {"$80000000", INT32_MIN},
      {"$FFFFFFFE", -2},
      {"%11111111111111111111111111111110", -2},
      {"$000000000001", 1},
      {" 12", 12},
      {"\t12", 12},
      {" \t -12", -12},
  };
  for (const NumberCase& c : cases) {
    EXPECT_EQ(text_to_number(c.text), c.value) << '"' << c.text << '"';
  }
}

TEST(TextToNumber, MalformedTextGivesMinusOne) {
  const char* const cases[] = {
      "",
      "-",
      "+",
      "$",
      "%",
      " ",
      "12 ",
      "1 2",
      "12x",
      "x12",
      "$FG",
      "%102",
      "$-1",
      "--1",
      "+-1",
      "2147483648",
      "-2147483649",
      "99999999999999999999999",
      "$100000000",
      "%111111111111111111111111111111111",
      "1.5",
      "12\t",
      "0x10",
  };
  for (const char* text : cases) {
    EXPECT_EQ(text_to_number(text), -1) << '"' << text << '"';
  }
}

TEST(NumberToText, PlainDecimal) {
  EXPECT_EQ(number_to_text(0), "0");
  EXPECT_EQ(number_to_text(1234), "1234");
  EXPECT_EQ(number_to_text(-165609472), "-165609472");
  EXPECT_EQ(number_to_text(INT32_MIN), "-2147483648");
  EXPECT_EQ(number_to_text(INT32_MAX), "2147483647");
}

TEST(NumberToText, ReadsBackUnchanged) {
  for (int32_t v : {0, 1, -2, 4096, 684682671, -165609472, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(text_to_number(number_to_text(v)), v);
  }
}

}  // namespace
}  // namespace tarnel

#include "base/time_stamp.h"

#include <gtest/gtest.h>

namespace tarnel {
namespace {

TEST(UnpackTimeStamp, GivesBackWhatWasPacked) {
  struct Case {
    int32_t stamp;
    LocalTime t;
  };
  const Case cases[] = {
      {684682671, {2000, 6, 15, 13, 45, 30}},
      {2162688, {1980, 1, 1, 0, 0, 0}},
      {1569174464, {2026, 12, 7, 22, 30, 0}},
      {-165609472, {1975, 1, 1, 0, 0, 0}},  // before 1980: a negative year offset
      {pack_time_stamp(2000, 2, 29, 23, 59, 58), {2000, 2, 29, 23, 59, 58}},
  };
  for (const Case& c : cases) {
    LocalTime t{};
    ASSERT_TRUE(unpack_time_stamp(c.stamp, &t)) << c.stamp;
    EXPECT_EQ(t.year, c.t.year) << c.stamp;
    EXPECT_EQ(t.month, c.t.month) << c.stamp;
    EXPECT_EQ(t.day, c.t.day) << c.stamp;
    EXPECT_EQ(t.hour, c.t.hour) << c.stamp;
    EXPECT_EQ(t.minute, c.t.minute) << c.stamp;
    EXPECT_EQ(t.second, c.t.second) << c.stamp;
    EXPECT_EQ(pack_time_stamp(t), c.stamp);
  }
}

TEST(UnpackTimeStamp, RefusesFieldsThatNameNoTime) {
  // Each field out of its range, but within its bits.
  const int32_t cases[] = {
      0,                                       // month 0, day 0
      pack_time_stamp(2001, 2, 29, 0, 0, 0),   // a common year
      pack_time_stamp(2000, 4, 31, 0, 0, 0),   //
      pack_time_stamp(2000, 13, 1, 0, 0, 0),   // month 13
      pack_time_stamp(2000, 1, 1, 24, 0, 0),   // hour 24
      pack_time_stamp(2000, 1, 1, 12, 60, 0),  // minute 60
      pack_time_stamp(2000, 1, 1, 12, 0, 60),  // second 60
  };
  for (int32_t stamp : cases) {
    LocalTime t{1, 2, 3, 4, 5, 6};
    EXPECT_FALSE(unpack_time_stamp(stamp, &t)) << stamp;
    EXPECT_EQ(t.year, 1) << "left as it was";
  }
}

}  // namespace
}  // namespace tarnel

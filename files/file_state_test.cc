#include "files/file_state.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "base/console.h"
#include "files/errors.h"

namespace tarnel {
namespace {

void change_every_value() {
  abort_flag = true;
  io_error = 101;
  search_error = SEARCH_NO_MORE;
  time_zone_offset = -120;
  existing_file_open_mode = O_RDONLY;
}

void expect_start_values() {
  EXPECT_FALSE(abort_flag);
  EXPECT_EQ(io_error, 0);
  EXPECT_EQ(search_error, 0);
  EXPECT_EQ(time_zone_offset, 0);
  EXPECT_EQ(existing_file_open_mode, O_RDWR);
}

TEST(FileState, ResetPutsAllFourBack) {
  change_every_value();
  abort_flag = false;  // not a file value: left to whoever owns it
  reset_file_state();
  expect_start_values();
}

// The test programs' main puts the values back before every test. The first
// of these two leaves them changed; the second, run after it in the same
// process (the test program run as a whole, not one test at a time as ctest
// does), finds them at their start values.
bool left_changed = false;

TEST(TestMain, FirstTestLeavesTheValuesChanged) {
  change_every_value();
  left_changed = true;
}

TEST(TestMain, NextTestStartsFromTheStartValues) {
  if (!left_changed) GTEST_SKIP() << "meaningful only after the test before it, in one process";
  expect_start_values();
}

}  // namespace
}  // namespace tarnel

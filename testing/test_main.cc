// The main of the test programs. Every test starts from the start values of
// the process-wide state (the abort flag, the file services' values), as the
// server does, whatever the tests before it left behind; no fixture has to
// remember to put them back.
#include <gtest/gtest.h>

#include "base/console.h"
#include "files/file_state.h"

namespace {

class StartValues : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override {
    tarnel::abort_flag = false;
    tarnel::reset_file_state();
  }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The listeners list takes ownership.
  ::testing::UnitTest::GetInstance()->listeners().Append(new StartValues);
  return RUN_ALL_TESTS();
}

#include "link/frame.h"

#include <gtest/gtest.h>

#include <string>

namespace tarnel {
namespace {

struct ChecksumCase {
  const char* name;
  std::string payload;
  uint32_t checksum;
};

class FrameChecksum : public ::testing::TestWithParam<ChecksumCase> {};

TEST_P(FrameChecksum, MatchesKnownValue) {
  const ChecksumCase& c = GetParam();
  EXPECT_EQ(frame_checksum(reinterpret_cast<const uint8_t*>(c.payload.data()), c.payload.size()),
            c.checksum);
  // The running sums give the same value byte by byte.
  FrameSums sums;
  for (unsigned char b : c.payload) sums.add(b);
  EXPECT_EQ(sums.value(), c.checksum);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, FrameChecksum,
    ::testing::Values(ChecksumCase{"Empty", "", 0x00000001}, ChecksumCase{"Abc", "abc", 0x024D0127},
                      ChecksumCase{"FullBlockOfFF", std::string(4096, '\xFF'), 0x0800F001}),
    [](const auto& row) { return std::string(row.param.name); });

// Adler-32 as a library computes it: both sums modulo 65521.
uint32_t adler32(const std::string& payload) {
  uint32_t a = 1, b = 0;
  for (unsigned char c : payload) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  return b << 16 | a;
}

TEST(FrameChecksum, DiffersFromAdler32OnceASumPasses65535) {
  // While no sum reaches 65521 the two agree ...
  EXPECT_EQ(adler32("abc"), frame_checksum(reinterpret_cast<const uint8_t*>("abc"), 3));
  // ... but the frame sums wrap at 65536, not 65521.
  const std::string block(4096, '\xFF');
  const uint32_t ours =
      frame_checksum(reinterpret_cast<const uint8_t*>(block.data()), block.size());
  EXPECT_EQ(ours, 0x0800F001u);
  EXPECT_NE(adler32(block), ours);
}

}  // namespace
}  // namespace tarnel

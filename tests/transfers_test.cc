// Files through the client and the server and back: every byte kept, in raw
// and in text mode, over frame and block boundaries.
#include <gtest/gtest.h>

#include "testing/temp_dir.h"
#include "tests/end_to_end.h"

namespace tarnel::end_to_end {
namespace {

struct RoundTrip {
  size_t size;
  bool text;
};

std::string Name(const ::testing::TestParamInfo<RoundTrip>& info) {
  return std::string(info.param.text ? "Text" : "Raw") + std::to_string(info.param.size);
}

class RoundTripTest : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(RoundTripTest, UploadThenDownloadGivesTheSameFile) {
  const RoundTrip p = GetParam();
  Bench bench;
  bench.start_server();
  const std::string content =
      random_content(p.size, p.text, static_cast<uint32_t>(p.size) + p.text);
  testing::write_file(bench.file("local.bin"), content);
  std::vector<std::string> mode;
  if (p.text) mode.push_back("--text");

  std::vector<std::string> put = mode;
  put.insert(put.end(), {"put", bench.file("local.bin"), bench.remote("stored.bin")});
  ClientRun up = run_client(bench, put);
  ASSERT_EQ(up.exit, 0) << up;
  // Text or raw, the server keeps the Linux file as it is (it has no CR).
  EXPECT_EQ(slurp(bench.file("stored.bin")), content);

  std::vector<std::string> get = mode;
  get.insert(get.end(), {"get", bench.remote("stored.bin"), bench.file("back.bin")});
  ClientRun down = run_client(bench, get);
  ASSERT_EQ(down.exit, 0) << down;
  EXPECT_EQ(slurp(bench.file("back.bin")), content);
  EXPECT_FALSE(exists(bench.file("back.bin.tarnel-part")));

  // The server writes its result line once the last frame is through; the
  // client may have ended just before.
  EXPECT_TRUE(bench.wait_for_console("DOWNLOAD OK", 10000)) << bench.console();
  EXPECT_NE(bench.console().find("UPLOAD OK"), std::string::npos) << bench.console();
  EXPECT_EQ(bench.stop_server(), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RoundTripTest,
                         ::testing::Values(RoundTrip{0, false}, RoundTrip{1, false},
                                           RoundTrip{4095, false}, RoundTrip{4096, false},
                                           RoundTrip{4097, false}, RoundTrip{100000, false},
                                           RoundTrip{0, true}, RoundTrip{1, true},
                                           RoundTrip{4095, true}, RoundTrip{4096, true},
                                           RoundTrip{4097, true}, RoundTrip{100000, true}),
                         Name);

TEST(TextMode, TravelsWithCrLfAndComesBackWithLf) {
  Bench bench;
  bench.start_server();
  testing::write_file(bench.file("stored.txt"), "a\nb\n\nc");
  // Raw through "raw": the client view as the server sends it.
  ClientRun wire = run_client(bench, {"raw", "AGET", bench.remote("stored.txt")});
  ASSERT_EQ(wire.exit, 0) << wire;
  EXPECT_NE(wire.out.find("SIZE 9\na\r\nb\r\n\r\nc"), std::string::npos) << wire;
  ClientRun down =
      run_client(bench, {"get", "--text", bench.remote("stored.txt"), bench.file("t")});
  ASSERT_EQ(down.exit, 0) << down;
  EXPECT_EQ(slurp(bench.file("t")), "a\nb\n\nc");
}

TEST(TextMode, UploadWarnsAboutCrBytesTheServerDrops) {
  Bench bench;
  bench.start_server();
  testing::write_file(bench.file("dos.txt"), "a\r\nb\r\n");
  ClientRun up = run_client(bench, {"put", "--text", bench.file("dos.txt"), bench.remote("s.txt")});
  ASSERT_EQ(up.exit, 0) << up;
  EXPECT_NE(up.err.find("holds 2 CR bytes"), std::string::npos) << up;
  EXPECT_EQ(slurp(bench.file("s.txt")), "a\nb\n");
}

TEST(Download, SetsTheModificationTimeFromTheServer) {
  use_kernel_time_zone();
  Bench bench;
  bench.start_server();
  testing::write_file(bench.file("old.bin"), "x");
  // 2001-02-03 04:05:06 UTC; the server and the client here share a time zone.
  const time_t when = 981173106;
  struct timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, bench.file("old.bin").c_str(), times, 0), 0);
  ClientRun down = run_client(bench, {"get", bench.remote("old.bin"), bench.file("copy.bin")});
  ASSERT_EQ(down.exit, 0) << down;
  struct stat st;
  ASSERT_EQ(stat(bench.file("copy.bin").c_str(), &st), 0);
  // The packed stamp keeps even seconds.
  EXPECT_LE(std::llabs(static_cast<long long>(st.st_mtime) - when), 1) << down;
}

TEST(Upload, IntoADirectoryTakesTheLocalName) {
  Bench bench;
  bench.start_server();
  ASSERT_EQ(mkdir(bench.file("sub").c_str(), 0777), 0);
  testing::write_file(bench.file("note.txt"), "hello");
  ClientRun up = run_client(bench, {"put", bench.file("note.txt"), bench.remote("sub") + "\\"});
  ASSERT_EQ(up.exit, 0) << up;
  EXPECT_EQ(slurp(bench.file("sub/note.txt")), "hello");
}

}  // namespace
}  // namespace tarnel::end_to_end

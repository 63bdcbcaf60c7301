// A client that stops in mid-transfer: the server serves the next one, and
// the transfer continues with --resume.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "testing/temp_dir.h"
#include "tests/end_to_end.h"

namespace tarnel::end_to_end {
namespace {

// A slow cable (about the speed of real printer ports), so that a transfer
// is still running when the test stops the client.
constexpr uint32_t kSlowBusNs = 1000;
constexpr size_t kFileSize = 48 * 1024;

/// Waits until `path` holds at least `bytes`; false after `ms`.
bool wait_for_size(const std::string& path, int64_t bytes, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (file_size(path) >= bytes) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

struct Stop {
  const char* name;
  int signal;
};

class StoppedDownloadTest : public ::testing::TestWithParam<Stop> {};

TEST_P(StoppedDownloadTest, NextCommandIsServedAndResumeCompletesTheFile) {
  Bench bench(kSlowBusNs);
  const std::string content = random_content(kFileSize, false, 7);
  testing::write_file(bench.file("source.bin"), content);
  bench.start_server();
  const std::string part = bench.file("copy.bin.tarnel-part");

  Client get(bench, {"get", bench.remote("source.bin"), bench.file("copy.bin")});
  ASSERT_TRUE(wait_for_size(part, 4096, 60000));
  ASSERT_EQ(kill(get.pid(), GetParam().signal), 0);
  ClientRun stopped = get.wait();
  if (GetParam().signal == SIGKILL) {
    EXPECT_EQ(stopped.signal, SIGKILL);
  } else {
    EXPECT_EQ(stopped.exit, 130) << stopped;
    EXPECT_NE(stopped.err.find("get --resume continues it"), std::string::npos) << stopped;
  }
  const int64_t held = file_size(part);
  EXPECT_GT(held, 0);
  EXPECT_LT(held, static_cast<int64_t>(kFileSize));
  EXPECT_FALSE(exists(bench.file("copy.bin")));
  EXPECT_EQ(slurp(part), content.substr(0, static_cast<size_t>(held)));

  // The next client is served, although the server may still be waiting
  // out the dead one's handshake.
  ClientRun ls = run_client(bench, {"ls", bench.remote("source.bin")});
  EXPECT_EQ(ls.exit, 0) << ls;
  EXPECT_NE(ls.out.find("source.bin"), std::string::npos) << ls;

  ClientRun resumed =
      run_client(bench, {"get", "--resume", bench.remote("source.bin"), bench.file("copy.bin")});
  ASSERT_EQ(resumed.exit, 0) << resumed;
  EXPECT_NE(resumed.out.find("resumed with " + std::to_string(held) + " bytes held"),
            std::string::npos)
      << resumed;
  EXPECT_EQ(slurp(bench.file("copy.bin")), content);
  EXPECT_FALSE(exists(part));
  EXPECT_TRUE(bench.wait_for_console("DOWNLOAD OK", 10000)) << bench.console();
  EXPECT_NE(bench.console().find("DOWNLOAD FAILED"), std::string::npos) << bench.console();
}

INSTANTIATE_TEST_SUITE_P(Signals, StoppedDownloadTest,
                         ::testing::Values(Stop{"Killed", SIGKILL}, Stop{"Interrupted", SIGINT}),
                         [](const ::testing::TestParamInfo<Stop>& row) {
                           return std::string(row.param.name);
                         });

TEST(StoppedUpload, KilledClientIsFollowedByAResumedUpload) {
  Bench bench(kSlowBusNs);
  const std::string content = random_content(kFileSize, false, 8);
  testing::write_file(bench.file("local.bin"), content);
  bench.start_server();

  Client put(bench, {"put", bench.file("local.bin"), bench.remote("stored.bin")});
  ASSERT_TRUE(wait_for_size(bench.file("stored.bin"), 3 * 4096, 60000));
  ASSERT_EQ(kill(put.pid(), SIGKILL), 0);
  put.wait();
  const int64_t held = file_size(bench.file("stored.bin"));
  ASSERT_LT(held, static_cast<int64_t>(kFileSize));

  ClientRun resumed =
      run_client(bench, {"put", "--resume", bench.file("local.bin"), bench.remote("stored.bin")});
  ASSERT_EQ(resumed.exit, 0) << resumed;
  EXPECT_NE(resumed.out.find("resumed at"), std::string::npos) << resumed;
  EXPECT_EQ(slurp(bench.file("stored.bin")), content);
  EXPECT_TRUE(bench.wait_for_console("UPLOAD OK", 10000)) << bench.console();
}

TEST(StoppedUpload, TextUploadResumesInTheClientView) {
  Bench bench;
  const std::string content = random_content(30000, true, 9);
  testing::write_file(bench.file("local.txt"), content);
  // What an interrupted text upload left on the server: a prefix.
  testing::write_file(bench.file("stored.txt"), content.substr(0, 17000));
  bench.start_server();
  ClientRun resumed = run_client(
      bench, {"put", "--text", "--resume", bench.file("local.txt"), bench.remote("stored.txt")});
  ASSERT_EQ(resumed.exit, 0) << resumed;
  EXPECT_NE(resumed.out.find("resumed at"), std::string::npos) << resumed;
  EXPECT_EQ(slurp(bench.file("stored.txt")), content);
}

TEST(StoppedDownload, TextDownloadResumesInTheClientView) {
  Bench bench;
  const std::string content = random_content(30000, true, 10);
  testing::write_file(bench.file("stored.txt"), content);
  // An interrupted text download: a prefix of the local form, which here
  // equals the stored file (it has no CR).
  testing::write_file(bench.file("copy.txt.tarnel-part"), content.substr(0, 12345));
  bench.start_server();
  ClientRun resumed = run_client(
      bench, {"get", "--text", "--resume", bench.remote("stored.txt"), bench.file("copy.txt")});
  ASSERT_EQ(resumed.exit, 0) << resumed;
  EXPECT_EQ(slurp(bench.file("copy.txt")), content);
}

TEST(StoppedDownload, ResumeOfACompleteFileOnlyChecksIt) {
  Bench bench;
  const std::string content = random_content(20000, false, 11);
  testing::write_file(bench.file("stored.bin"), content);
  testing::write_file(bench.file("copy.bin"), content);
  bench.start_server();
  ClientRun resumed =
      run_client(bench, {"get", "--resume", bench.remote("stored.bin"), bench.file("copy.bin")});
  ASSERT_EQ(resumed.exit, 0) << resumed;
  EXPECT_EQ(slurp(bench.file("copy.bin")), content);
  EXPECT_FALSE(exists(bench.file("copy.bin.tarnel-part")));
}

}  // namespace
}  // namespace tarnel::end_to_end

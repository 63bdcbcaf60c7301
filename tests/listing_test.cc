// "ls" end to end: a large directory, and the server ended by a key press
// while it sends a listing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "client/protocol.h"
#include "testing/temp_dir.h"
#include "tests/end_to_end.h"

namespace tarnel::end_to_end {
namespace {

void make_entries(Bench& bench, const std::string& dir, int count,
                  std::map<std::string, size_t>* sizes) {
  ASSERT_EQ(mkdir(bench.file(dir).c_str(), 0777), 0);
  for (int i = 0; i < count; ++i) {
    const std::string name = "entry-" + std::to_string(i) + ".dat";
    const size_t size = static_cast<size_t>(i % 37);
    testing::write_file(bench.file(dir + "/" + name), std::string(size, 'x'));
    (*sizes)[name] = size;
  }
}

TEST(List, ShowsEveryEntryOfAThousand) {
  Bench bench;
  std::map<std::string, size_t> sizes;
  make_entries(bench, "big", 1000, &sizes);
  bench.start_server();

  ClientRun raw = run_client(bench, {"ls", "--raw", bench.remote("big") + "/"});
  ASSERT_EQ(raw.exit, 0) << raw.err;
  std::map<std::string, size_t> listed;
  for (const client::ListingLine& line : client::parse_listing(raw.out)) {
    ASSERT_TRUE(line.parsed) << line.raw;
    EXPECT_EQ(line.entry.attributes, 32) << line.raw;
    listed[line.entry.name] = static_cast<size_t>(line.entry.size);
  }
  EXPECT_EQ(listed, sizes);
  // As sent: every line ends with CR LF.
  EXPECT_EQ(raw.out.substr(raw.out.size() - 2), "\r\n");

  ClientRun table = run_client(bench, {"ls", bench.remote("big") + "\\"});
  ASSERT_EQ(table.exit, 0) << table.err;
  EXPECT_NE(table.out.find("1000 files ("), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("-----a           36  "), std::string::npos);
  EXPECT_NE(table.out.find("  entry-999.dat\n"), std::string::npos);
  EXPECT_EQ(bench.stop_server(), 0);
}

TEST(List, ShowsDirectoriesAndPatterns) {
  Bench bench;
  ASSERT_EQ(mkdir(bench.file("d").c_str(), 0777), 0);
  ASSERT_EQ(mkdir(bench.file("d/sub").c_str(), 0555), 0);
  testing::write_file(bench.file("d/a.txt"), "1234");
  testing::write_file(bench.file("d/b.doc"), "");
  bench.start_server();

  ClientRun pattern = run_client(bench, {"ls", bench.remote("d") + "\\*.txt"});
  ASSERT_EQ(pattern.exit, 0) << pattern.err;
  EXPECT_NE(pattern.out.find("-----a            4  "), std::string::npos) << pattern.out;
  EXPECT_EQ(pattern.out.find("b.doc"), std::string::npos) << pattern.out;

  ClientRun all = run_client(bench, {"ls", bench.remote("d") + "/"});
  ASSERT_EQ(all.exit, 0) << all.err;
  EXPECT_NE(all.out.find("dr----"), std::string::npos) << all.out;
  EXPECT_NE(all.out.find("2 files (4 bytes), 1 directories"), std::string::npos) << all.out;
}

TEST(List, KeyOnTheServerEndsTheListingAndTheServer) {
  // A slow cable, so that the listing is still running when the key comes.
  Bench bench(1000);
  std::map<std::string, size_t> sizes;
  make_entries(bench, "many", 2000, &sizes);
  bench.start_server();
  Client ls(bench, {"ls", bench.remote("many") + "/"});
  ASSERT_TRUE(bench.wait_for_console("LIST ", 30000)) << bench.console();
  bench.press_key();
  ClientRun run = ls.wait();
  EXPECT_EQ(run.exit, 5) << run;
  EXPECT_NE(run.err.find("the server gave up the listing"), std::string::npos) << run;
  const int status = bench.wait_server(15000);
  ASSERT_TRUE(WIFEXITED(status)) << bench.console();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::string console = bench.console();
  EXPECT_NE(console.find("LIST FAILED"), std::string::npos) << console;
  EXPECT_NE(console.find("Program aborted."), std::string::npos) << console;
}

}  // namespace
}  // namespace tarnel::end_to_end

// What the servers share, as a user starts them: a folder that cannot be
// served ends the program at once, a folder served read-only to
// tarnel-client gives what lies inside and nothing else, and the server's
// own cable file is out of the client's reach.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testing/share_tree.h"
#include "tests/end_to_end.h"

namespace tarnel::end_to_end {
namespace {

TEST(Sharing, FolderThatCannotBeServedEndsTheProgramWithOneLine) {
  TempDir dir;
  testing::write_file(dir.file("file"), "x");
  struct {
    const char* program;
    std::vector<std::string> args;
    std::string line;
  } const cases[] = {
      {"tarnel-sim",
       {"--root", dir.file("missing")},
       "tarnel-sim: --root " + dir.file("missing") + ": no such directory\n"},
      {"tarnel-sim",
       {"2", "--root", dir.file("file"), "--read-only"},
       "tarnel-sim: --root " + dir.file("file") + ": not a directory\n"},
      {"tarnel-sim", {"--root"}, "tarnel-sim: --root needs a folder\n"},
      {"tarnel",
       {"--root", dir.file("missing")},
       "tarnel: --root " + dir.file("missing") + ": no such directory\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const std::string err_path = dir.file("err");
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(err, 0);
    testing::ChildOptions o;
    o.stderr_fd = err;
    o.cwd = dir.path();
    const testing::Finished run = testing::run_to_end(testing::program_path(c.program), c.args, o);
    close(err);
    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(WEXITSTATUS(run.status), 2);
    EXPECT_EQ(slurp(err_path), c.line);
    EXPECT_EQ(run.output, "");  // nothing served: not even the banner
    EXPECT_FALSE(exists(dir.file("tarnel-lpt1.cable")));
    EXPECT_FALSE(exists(dir.file("tarnel-lpt2.cable")));
  }
}

TEST(Sharing, OneFolderServedReadOnlyGivesWhatLiesInsideAndChangesNothing) {
  testing::ShareTree tree;
  const std::string before = testing::tree_snapshot(tree.base());
  Bench bench;
  bench.start_server({"--root", tree.share(), "--read-only"});
  EXPECT_NE(bench.console().find("Sharing only the folder " + tree.share() + ", read-only\n"),
            std::string::npos)
      << bench.console();

  const ClientRun got = run_client(bench, {"get", "\\a.txt", bench.file("a.txt")});
  EXPECT_EQ(got.exit, 0) << got;
  EXPECT_EQ(slurp(bench.file("a.txt")), "inside a");
  const ClientRun out = run_client(bench, {"get", "\\..\\outside\\secret.txt", bench.file("s")});
  EXPECT_NE(out.exit, 0) << out;
  EXPECT_NE(out.err.find("\"FILE ERROR 2\""), std::string::npos) << out;
  const ClientRun link = run_client(bench, {"get", "\\to_file", bench.file("s")});
  EXPECT_NE(link.err.find("\"FILE ERROR 2\""), std::string::npos) << link;
  const ClientRun put = run_client(bench, {"put", bench.file("a.txt"), "\\new.txt"});
  EXPECT_NE(put.exit, 0) << put;
  const ClientRun rm = run_client(bench, {"rm", "\\a.txt"});
  EXPECT_NE(rm.err.find("\"FILE ERROR 5\""), std::string::npos) << rm;
  const ClientRun ls = run_client(bench, {"ls", "\\"});
  EXPECT_EQ(ls.exit, 0) << ls;
  EXPECT_NE(ls.out.find("a.txt"), std::string::npos) << ls;
  EXPECT_EQ(ls.out.find("to_file"), std::string::npos) << ls;

  EXPECT_EQ(bench.stop_server(), 0);
  EXPECT_EQ(testing::tree_snapshot(tree.base()), before);
}

TEST(Sharing, TheServersOwnCableFileIsOutOfTheClientsReach) {
  Bench bench;
  bench.start_server();
  const std::string cable = bench.cable();
  const std::string before = slurp(cable).substr(0, 16);
  testing::write_file(bench.file("empty"), "");
  // An upload of 0 bytes onto it would cut the mapped file under both ends.
  const ClientRun put = run_client(bench, {"put", bench.file("empty"), cable});
  EXPECT_NE(put.exit, 0) << put;
  const ClientRun rm = run_client(bench, {"rm", cable});
  EXPECT_NE(rm.err.find("\"FILE ERROR 5\""), std::string::npos) << rm;
  const ClientRun mv = run_client(bench, {"mv", cable, bench.file("moved")});
  EXPECT_NE(mv.err.find("\"RENAME ERROR 5\""), std::string::npos) << mv;
  // Still the cable, and the server still answers; reading it is allowed.
  EXPECT_EQ(file_size(cable), 4096);
  const ClientRun get = run_client(bench, {"get", cable, bench.file("copy")});
  EXPECT_EQ(get.exit, 0) << get;
  EXPECT_EQ(slurp(bench.file("copy")).substr(0, 16), before);
  EXPECT_EQ(bench.stop_server(), 0);
}

}  // namespace
}  // namespace tarnel::end_to_end

// --help and --version of every program: taken off the command line first,
// answered on standard output, and nothing else happens (no server starts,
// no cable file appears).
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/end_to_end.h"

namespace tarnel::end_to_end {
namespace {

struct InfoCase {
  const char* program;
  std::vector<std::string> args;
  const char* starts;  // the first bytes of standard output
};

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  return names;
}

TEST(InfoOptions, AnsweredFirstAndNothingElseHappens) {
  const std::string version = TARNEL_VERSION;
  const InfoCase cases[] = {
      {"tarnel",
       {"--help"},
       "Usage: tarnel [--device PATH | --gpio CHIP] [--gpio-lines LINES] [--service]\n"},
      {"tarnel", {"2", "--help"}, "Usage: tarnel "},
      {"tarnel", {"--version"}, "tarnel 1"},
      {"tarnel-sim",
       {"--help"},
       "Usage: tarnel-sim [--cable PATH] [--service] [--root DIR] [--read-only]\n"},
      {"tarnel-sim", {"--cable", "x.cable", "3", "--help"}, "Usage: tarnel-sim "},
      {"tarnel-sim", {"--version"}, "tarnel-sim 1"},
      {"tarnel-sim", {"--version", "--help"}, "Usage: tarnel-sim "},
      {"tarnel-client", {"--help"}, "Usage: tarnel-client "},
      {"tarnel-client", {"--port", "9", "--help"}, "Usage: tarnel-client "},
      {"tarnel-client", {"--version"}, "tarnel-client 1"},
  };
  for (const InfoCase& c : cases) {
    std::string line = c.program;
    for (const std::string& a : c.args) line += " " + a;
    SCOPED_TRACE(line);
    testing::TempDir dir;
    const std::string out_path = dir.file("out");
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(out, 0);
    ASSERT_GE(in, 0);
    testing::ChildOptions o;
    o.stdin_fd = in;
    o.stdout_fd = out;
    o.cwd = dir.path();
    const pid_t pid = testing::start_child(testing::program_path(c.program), c.args, o);
    close(in);
    close(out);
    const int status = testing::wait_child(pid, 10000);
    ASSERT_TRUE(status != -1 && WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string text = slurp(out_path);
    EXPECT_EQ(text.substr(0, std::string(c.starts).size()), c.starts) << text;
    if (text.find("--version") == std::string::npos) {
      EXPECT_EQ(text, std::string(c.program) + " " + version + "\n");
    }
    EXPECT_EQ(text.find("TARNEL:parallel port server"), std::string::npos) << text;
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"out"});
  }
}

// An argument that begins with "-" and is no option of the program: one line
// naming it and the usage on standard error, status 2, nothing served and
// nothing created.
TEST(UnknownOptions, RefusedWithOneLineAndTheUsage) {
  const InfoCase cases[] = {
      {"tarnel",
       {"--share", "/srv"},
       "tarnel: unknown option --share\nUsage: tarnel [--device PATH | --gpio CHIP] "
       "[--gpio-lines LINES] [--service]\n              [--root DIR] [--read-only] [--charset "
       "NAME]"},
      {"tarnel", {"-2"}, "tarnel: unknown option -2\nUsage: tarnel "},
      {"tarnel", {"2", "--cable", "x.cable"}, "tarnel: unknown option --cable\nUsage: tarnel "},
      {"tarnel-sim", {"--frob"}, "tarnel-sim: unknown option --frob\nUsage: tarnel-sim "},
      {"tarnel-sim", {"--device", "/dev/null"}, "tarnel-sim: unknown option --device\nUsage: "},
      {"tarnel-client", {"-x", "ls"}, "tarnel-client: unknown option -x\nUsage: tarnel-client "},
  };
  for (const InfoCase& c : cases) {
    std::string line = c.program;
    for (const std::string& a : c.args) line += " " + a;
    SCOPED_TRACE(line);
    testing::TempDir dir;
    const std::string out_path = dir.file("out");
    const std::string err_path = dir.file("err");
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(out, 0);
    ASSERT_GE(err, 0);
    testing::ChildOptions o;
    o.stdout_fd = out;
    o.stderr_fd = err;
    o.cwd = dir.path();
    const pid_t pid = testing::start_child(testing::program_path(c.program), c.args, o);
    close(out);
    close(err);
    const int status = testing::wait_child(pid, 10000);
    ASSERT_TRUE(status != -1 && WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_EQ(slurp(out_path), "") << "nothing on the console";
    const std::string text = slurp(err_path);
    EXPECT_EQ(text.substr(0, std::string(c.starts).size()), c.starts) << text;
    std::vector<std::string> names = entries(dir.path());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"err", "out"}));
  }
}

}  // namespace
}  // namespace tarnel::end_to_end

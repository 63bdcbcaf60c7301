// "get" and "put" of the client against the server's command loop over a
// virtual cable, all in this process: the files' bytes, the report lines
// and the messages the commands print. Then the phases on their own where
// that shows a fault better: the partial file and the finish.
#include "client/transfer_phases.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "client/client_port.h"
#include "client/commands.h"
#include "client/options.h"
#include "client/protocol.h"
#include "client/session.h"
#include "link/lines.h"
#include "testing/cable_pair.h"
#include "testing/recording_output.h"
#include "testing/server_thread.h"
#include "testing/temp_dir.h"
#include "testing/transfer_testing.h"

namespace tarnel::client {
namespace {

using testing::read_file;
using testing::same_bytes;
using testing::write_file;

/// `n` bytes of every value, CR, LF and NUL among them.
std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

/// Whether `line` is `head` followed by " in S.SS s, R.R KB/s" (the rate,
/// which the test cannot know).
::testing::AssertionResult report_line(const std::string& line, const std::string& head) {
  if (line.compare(0, head.size(), head) != 0) {
    return ::testing::AssertionFailure()
           << "\"" << line << "\" does not begin with \"" << head << "\"";
  }
  const std::string rate = line.substr(head.size());
  const bool shaped = rate.size() > 14 && rate.compare(0, 4, " in ") == 0 &&
                      rate.find(" s, ") != std::string::npos &&
                      rate.compare(rate.size() - 5, 5, " KB/s") == 0;
  if (!shaped)
    return ::testing::AssertionFailure() << "no rate after the report: \"" << rate << "\"";
  return ::testing::AssertionSuccess();
}

/// A client session on end B, and the server's command loop on end A.
class ClientOverCable : public ::testing::Test {
 protected:
  ClientOverCable()
      : port_(cable_.peer_port(), testing::kTestPortBase, cable_.peer_port().cable()),
        lines_(port_, testing::kTestPortBase, Waiting::kPatient),
        session_(lines_, port_, SessionSettings{}) {
    // As tarnel-client: this end keeps its reply codes up by its own rule.
    lines_.set_reply_hold_ms(0);
  }

  /// Runs a command line as tarnel-client would, with this test's output.
  Outcome run(const std::vector<std::string>& argv) {
    Options options;
    std::string error;
    if (!parse_options(argv, &options, &error)) return Outcome::Fail(Exit::kUsage, error);
    return run_command(session_, options, output_);
  }

  std::string path(const std::string& name) { return cable_.dir().file(name); }
  /// The same file as the server is asked for it: "\dir\name".
  std::string remote(const std::string& name) {
    std::string p = path(name);
    for (char& c : p) {
      if (c == '/') c = '\\';
    }
    return p;
  }

  testing::CablePair cable_{0};
  testing::ServerThread server_{cable_};
  ClientPort port_;
  Lines lines_;
  Session session_;
  testing::RecordingOutput output_;
};

TEST_F(ClientOverCable, GetOfARawFileWritesEveryByteAndReportsIt) {
  const std::string content = random_bytes(10000, 1);
  write_file(path("served.bin"), content);

  const Outcome o = run({"get", remote("served.bin"), path("got.bin")});
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_TRUE(same_bytes(read_file(path("got.bin")), content));
  EXPECT_FALSE(exists(path("got.bin.tarnel-part")));
  const std::vector<std::string> lines = output_.out_lines();
  ASSERT_EQ(lines.size(), 1u) << output_.out_bytes();
  EXPECT_TRUE(report_line(
      lines[0], "Received " + remote("served.bin") + " into " + path("got.bin") + ": 10000 bytes"));
  EXPECT_EQ(output_.err_bytes(), "");
}

TEST_F(ClientOverCable, OnATerminalTheBarIsDrawnAndTakenOffBeforeTheReport) {
  write_file(path("served.bin"), random_bytes(10000, 8));
  output_.set_terminal(true);

  const Outcome o = run({"get", remote("served.bin"), path("got.bin")});
  ASSERT_TRUE(o.ok()) << o.message;
  const std::string& err = output_.err_bytes();
  EXPECT_EQ(err.rfind("\rserved.bin [", 0), 0u) << err;
  EXPECT_NE(err.find("served.bin [####################] 100% 9.8 KiB / 9.8 KiB"), std::string::npos)
      << err;
  // Cleared for the report line, and not drawn again.
  EXPECT_EQ(err.substr(err.size() - 4), "\r\033[K");
  EXPECT_EQ(output_.out_lines().size(), 1u);
}

TEST_F(ClientOverCable, GetInTextModeGivesLfLinesAndCountsTheCrLfView) {
  // The server keeps LF line ends and sends CR LF in text mode.
  const std::string content = "first line\nsecond\n\nlast, unended";
  write_file(path("served.txt"), content);

  const Outcome o = run({"get", "--text", remote("served.txt"), path("got.txt")});
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_EQ(read_file(path("got.txt")), content);
  const std::vector<std::string> lines = output_.out_lines();
  ASSERT_EQ(lines.size(), 1u) << output_.out_bytes();
  // 32 bytes and 3 LF: 35 travel.
  EXPECT_TRUE(report_line(
      lines[0], "Received " + remote("served.txt") + " into " + path("got.txt") + ": 35 bytes"));
  EXPECT_EQ(output_.err_bytes(), "");
}

TEST_F(ClientOverCable, GetResumedContinuesThePartialFileAndKeepsTheServersTime) {
  const std::string content = random_bytes(20000, 2);
  write_file(path("served.bin"), content);
  // An even second: the server's time stamps count in steps of two.
  const time_t when = 1600000000;
  const struct timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path("served.bin").c_str(), times, 0), 0);
  write_file(path("got.bin.tarnel-part"), content.substr(0, 9000));

  const Outcome o = run({"get", "--resume", remote("served.bin"), path("got.bin")});
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_TRUE(same_bytes(read_file(path("got.bin")), content));
  EXPECT_FALSE(exists(path("got.bin.tarnel-part")));
  struct stat st;
  ASSERT_EQ(stat(path("got.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, when);
  const std::vector<std::string> lines = output_.out_lines();
  ASSERT_EQ(lines.size(), 1u) << output_.out_bytes();
  EXPECT_TRUE(report_line(lines[0], "Received " + remote("served.bin") + " into " +
                                        path("got.bin") +
                                        ": 20000 bytes, resumed with 9000 bytes held"));
  EXPECT_EQ(output_.err_bytes(), "");
}

TEST_F(ClientOverCable, GetResumedOfAChangedFileKeepsThePartialFileAsItWas) {
  const std::string content = random_bytes(20000, 3);
  write_file(path("served.bin"), content);
  std::string held = content.substr(0, 9000);
  held[8000] = static_cast<char>(held[8000] ^ 1);  // within the bytes fetched again
  write_file(path("got.bin.tarnel-part"), held);

  const Outcome o = run({"get", "--resume", remote("served.bin"), path("got.bin")});
  EXPECT_EQ(o.exit, Exit::kMismatch);
  EXPECT_EQ(o.message, "the server's file differs from the partial download " +
                           path("got.bin.tarnel-part") + "; get without --resume starts over");
  EXPECT_TRUE(same_bytes(read_file(path("got.bin.tarnel-part")), held));
  EXPECT_FALSE(exists(path("got.bin")));
  EXPECT_EQ(output_.out_bytes(), "");
  EXPECT_EQ(output_.err_bytes(), "");
  // The refused rest of the data leaves the link in step for the next command.
  const Outcome again = run({"get", remote("served.bin"), path("again.bin")});
  ASSERT_TRUE(again.ok()) << again.message;
  EXPECT_TRUE(same_bytes(read_file(path("again.bin")), content));
}

TEST_F(ClientOverCable, GetOfAMissingFileIsAFileErrorAndLeavesNoFile) {
  const Outcome o = run({"get", remote("absent.bin"), path("got.bin")});
  EXPECT_EQ(o.exit, Exit::kFileError);
  EXPECT_EQ(o.message, "the server answered \"FILE ERROR 2\": not found");
  EXPECT_FALSE(exists(path("got.bin")));
  EXPECT_FALSE(exists(path("got.bin.tarnel-part")));
  EXPECT_EQ(output_.out_bytes(), "");
  EXPECT_EQ(output_.err_bytes(), "");
}

TEST_F(ClientOverCable, PutOfARawFileStoresEveryByteAndReportsIt) {
  const std::string content = random_bytes(10000, 4);
  write_file(path("local.bin"), content);

  const Outcome o = run({"put", path("local.bin"), remote("stored.bin")});
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_TRUE(same_bytes(read_file(path("stored.bin")), content));
  const std::vector<std::string> lines = output_.out_lines();
  ASSERT_EQ(lines.size(), 1u) << output_.out_bytes();
  EXPECT_TRUE(report_line(
      lines[0], "Sent " + path("local.bin") + " to " + remote("stored.bin") + ": 10000 bytes"));
  EXPECT_EQ(output_.err_bytes(), "");
}

TEST_F(ClientOverCable, PutResumedSendsOnlyWhatTheServerLacks) {
  const std::string content = random_bytes(20000, 5);
  write_file(path("local.bin"), content);
  // The server keeps 4096 stored bytes back and restarts at a multiple of
  // 1024: at 9216 here. A byte it holds before that point stays as it is,
  // which shows that only the rest travelled.
  std::string stored = content.substr(0, 13312);
  stored[100] = static_cast<char>(stored[100] ^ 1);
  write_file(path("stored.bin"), stored);

  const Outcome o = run({"put", "--resume", path("local.bin"), remote("stored.bin")});
  ASSERT_TRUE(o.ok()) << o.message;
  std::string want = content;
  want[100] = stored[100];
  EXPECT_TRUE(same_bytes(read_file(path("stored.bin")), want));
  const std::vector<std::string> lines = output_.out_lines();
  ASSERT_EQ(lines.size(), 1u) << output_.out_bytes();
  EXPECT_TRUE(report_line(lines[0], "Sent " + path("local.bin") + " to " + remote("stored.bin") +
                                        ": 20000 bytes, resumed at 9216"));
  EXPECT_EQ(output_.err_bytes(), "");
}

TEST_F(ClientOverCable, PutResumedOfANewFileSaysSoAndSendsAll) {
  const std::string content = random_bytes(5000, 6);
  write_file(path("local.bin"), content);

  const Outcome o = run({"put", "--resume", path("local.bin"), remote("stored.bin")});
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_TRUE(same_bytes(read_file(path("stored.bin")), content));
  EXPECT_EQ(output_.err_lines(),
            std::vector<std::string>{"tarnel-client: nothing of " + remote("stored.bin") +
                                     " stored yet; sending all of it"});
  const std::vector<std::string> lines = output_.out_lines();
  ASSERT_EQ(lines.size(), 1u) << output_.out_bytes();
  EXPECT_TRUE(report_line(
      lines[0], "Sent " + path("local.bin") + " to " + remote("stored.bin") + ": 5000 bytes"));
}

TEST_F(ClientOverCable, PutInTextModeWarnsOfTheCrBytesTheServerDrops) {
  write_file(path("local.txt"), "one\r\ntwo\n");

  const Outcome o = run({"put", "--text", path("local.txt"), remote("stored.txt")});
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_EQ(read_file(path("stored.txt")), "one\ntwo\n");
  EXPECT_EQ(output_.err_lines(),
            std::vector<std::string>{"tarnel-client: warning: " + path("local.txt") +
                                     " holds 1 CR bytes; the server drops every CR of a text "
                                     "upload"});
  const std::vector<std::string> lines = output_.out_lines();
  ASSERT_EQ(lines.size(), 1u) << output_.out_bytes();
  // 9 bytes and 2 LF travel as 11.
  EXPECT_TRUE(report_line(
      lines[0], "Sent " + path("local.txt") + " to " + remote("stored.txt") + ": 11 bytes"));
}

TEST_F(ClientOverCable, ATextUploadWithCrBytesIsResumed) {
  // Lone CR bytes and CR LF pairs all through the file; the server keeps
  // the text without any CR.
  std::string content;
  for (int i = 0; content.size() < 20000; ++i) {
    content += "line " + std::to_string(i) + (i % 3 == 0 ? "\r\n" : i % 3 == 1 ? "\rx\n" : "\n");
  }
  std::string stored;
  for (char c : content) {
    if (c != '\r') stored += c;
  }
  write_file(path("local.txt"), content);
  // An upload cut short: the first 13000 bytes the server kept.
  write_file(path("stored.txt"), stored.substr(0, 13000));

  const Outcome o = run({"put", "--text", "--resume", path("local.txt"), remote("stored.txt")});
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_TRUE(same_bytes(read_file(path("stored.txt")), stored));
  const std::vector<std::string> lines = output_.out_lines();
  ASSERT_EQ(lines.size(), 1u) << output_.out_bytes();
  const size_t wire =
      content.size() + static_cast<size_t>(std::count(content.begin(), content.end(), '\n'));
  const std::string head = "Sent " + path("local.txt") + " to " + remote("stored.txt") + ": " +
                           std::to_string(wire) + " bytes, resumed at ";
  EXPECT_EQ(lines[0].rfind(head, 0), 0u) << lines[0];
}

TEST_F(ClientOverCable, ListPrintsTheTableAndTheCounts) {
  ASSERT_EQ(mkdir(path("shown").c_str(), 0777), 0);
  write_file(path("shown/a.txt"), "12345");
  const time_t when = 1600000000;
  const struct timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path("shown/a.txt").c_str(), times, 0), 0);

  const Outcome o = run({"ls", remote("shown") + "\\*.*"});
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_EQ(output_.out_lines(),
            (std::vector<std::string>{
                "Attr           Size  Modified             Name",
                "-----a            5  " + format_stamp(pack_local_time(when)) + "  a.txt",
                "1 files (5 bytes), 0 directories"}))
      << output_.out_bytes();
}

TEST_F(ClientOverCable, EveryOtherCommandPrintsItsLine) {
  // One session after another, as separate runs of tarnel-client would.
  struct Step {
    std::vector<std::string> argv;
    std::string line;
  };
  const std::string dir = remote("made");
  const std::string file = remote("file.txt");
  const std::string moved = remote("made") + "\\moved.txt";
  write_file(path("file.txt"), "x");
  const Step steps[] = {
      {{"connect"}, "Connected: the server answered \"OK A\"."},
      {{"raw", "CONNECT"}, "OK A"},
      {{"mkdir", dir}, "Created " + dir},
      {{"mv", file, moved}, "Renamed " + file + " to " + moved},
      {{"rm", moved}, "Deleted " + moved},
      {{"rmdir", dir}, "Removed " + dir},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.argv[0]);
    testing::RecordingOutput output;
    Options options;
    std::string error;
    ASSERT_TRUE(parse_options(step.argv, &options, &error)) << error;
    const Outcome o = run_command(session_, options, output);
    ASSERT_TRUE(o.ok()) << o.message;
    EXPECT_EQ(output.out_lines(), std::vector<std::string>{step.line});
    EXPECT_EQ(output.err_bytes(), "");
  }
  EXPECT_FALSE(exists(path("made")));
  EXPECT_FALSE(exists(path("file.txt")));
}

TEST_F(ClientOverCable, ARawCommandWithoutAnswerIsSaidSo) {
  const Outcome o = run({"raw", "REST", "0"});
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_EQ(output_.out_bytes(), "");
  EXPECT_EQ(output_.err_lines(),
            std::vector<std::string>{"tarnel-client: sent; the server answers this command with "
                                     "nothing"});
}

// Copies of several files and of trees.

/// Every entry of the directory `dir`, sorted.
std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(ClientOverCable, AFileNamedLikeAPartialFileArrivesBesideItsNamesake) {
  ASSERT_EQ(mkdir(path("srv").c_str(), 0777), 0);
  ASSERT_EQ(mkdir(path("srv/tree").c_str(), 0777), 0);
  for (const std::string dir : {"srv/", "srv/tree/"}) {
    write_file(path(dir + "X"), "the file X");
    write_file(path(dir + "X.tarnel-part"), "a file of that name");
    write_file(path(dir + "X.tarnel-part.1"), "and one more");
  }
  ASSERT_EQ(mkdir(path("dest").c_str(), 0777), 0);

  // The partial file's name comes first, then the file it belongs to; and
  // a tree, in the order the server lists it.
  Outcome o = run({"get", remote("srv/X.tarnel-part"), remote("srv/X.tarnel-part.1"),
                   remote("srv/X"), path("dest")});
  ASSERT_TRUE(o.ok()) << o.message;
  o = run({"get", "-r", remote("srv/tree"), path("dest")});
  ASSERT_TRUE(o.ok()) << o.message;
  for (const std::string dir : {"dest/", "dest/tree/"}) {
    SCOPED_TRACE(dir);
    EXPECT_EQ(entries(path(dir)).size(), dir == "dest/" ? 4u : 3u);
    EXPECT_EQ(read_file(path(dir + "X")), "the file X");
    EXPECT_EQ(read_file(path(dir + "X.tarnel-part")), "a file of that name");
    EXPECT_EQ(read_file(path(dir + "X.tarnel-part.1")), "and one more");
  }
}

TEST_F(ClientOverCable, AResumedCopyFindsThePartialFileUnderItsOtherName) {
  ASSERT_EQ(mkdir(path("srv").c_str(), 0777), 0);
  const std::string content = random_bytes(20000, 11);
  write_file(path("srv/X"), content);
  write_file(path("srv/X.tarnel-part"), "a file of that name");
  ASSERT_EQ(mkdir(path("dest").c_str(), 0777), 0);
  // Left by an interrupted run of the same copy.
  write_file(path("dest/X.tarnel-part.1"), content.substr(0, 9000));

  const Outcome o =
      run({"get", "--resume", remote("srv/X.tarnel-part"), remote("srv/X"), path("dest")});
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_TRUE(same_bytes(read_file(path("dest/X")), content));
  EXPECT_EQ(read_file(path("dest/X.tarnel-part")), "a file of that name");
  EXPECT_FALSE(exists(path("dest/X.tarnel-part.1")));
  const std::vector<std::string> lines = output_.out_lines();
  ASSERT_EQ(lines.size(), 3u) << output_.out_bytes();
  EXPECT_TRUE(report_line(lines[1], "Received " + remote("srv/X") + " into " + path("dest/X") +
                                        ": 20000 bytes, resumed with 9000 bytes held"));
}

TEST_F(ClientOverCable, SourcesOfTheSameNameAreRefusedBeforeAnythingIsCopied) {
  ASSERT_EQ(mkdir(path("a").c_str(), 0777), 0);
  ASSERT_EQ(mkdir(path("b").c_str(), 0777), 0);
  ASSERT_EQ(mkdir(path("c").c_str(), 0777), 0);
  ASSERT_EQ(mkdir(path("into").c_str(), 0777), 0);
  write_file(path("a/x"), "from a");
  write_file(path("b/x"), "from b");
  write_file(path("c/y"), "from c");
  struct Case {
    std::vector<std::string> argv;
    std::string first, second;
    std::string name;
  };
  const Case cases[] = {
      {{"get", remote("c/y"), remote("a/x"), remote("b/x"), path("into")},
       remote("a/x"),
       remote("b/x"),
       "x"},
      {{"get", "-r", remote("a/x"), remote("b/x"), path("into")},
       remote("a/x"),
       remote("b/x"),
       "x"},
      {{"put", path("c/y"), path("a/x"), path("b/x"), remote("into") + "\\"},
       path("a/x"),
       path("b/x"),
       "x"},
      {{"put", "-r", path("a"), path("c"), path("a/"), remote("into") + "\\"},
       path("a"),
       path("a/"),
       "a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv[0] + " " + c.argv[1]);
    testing::RecordingOutput output;
    Options options;
    std::string error;
    ASSERT_TRUE(parse_options(c.argv, &options, &error)) << error;
    const Outcome o = run_command(session_, options, output);
    EXPECT_EQ(o.exit, Exit::kUsage);
    EXPECT_EQ(o.message, c.first + " and " + c.second + " have the same name \"" + c.name +
                             "\" in " + c.argv.back() + "; nothing is copied");
    EXPECT_EQ(output.out_bytes(), "");
    EXPECT_EQ(entries(path("into")), std::vector<std::string>{});
  }
}

TEST_F(ClientOverCable, AGetOfATreeFollowsNoLinkInItsDestination) {
  ASSERT_EQ(mkdir(path("top").c_str(), 0777), 0);
  ASSERT_EQ(mkdir(path("top/sub").c_str(), 0777), 0);
  write_file(path("top/sub/evil"), "through the link");
  write_file(path("top/file"), "over the link");
  write_file(path("top/ok"), "fine");
  // An old time stamp for the server's directories, which the copy sets
  // on its own.
  const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path("top/sub").c_str(), old, 0), 0);
  ASSERT_EQ(mkdir(path("outside").c_str(), 0777), 0);
  write_file(path("outside/mine"), "mine");
  ASSERT_EQ(mkdir(path("dest").c_str(), 0777), 0);
  ASSERT_EQ(mkdir(path("dest/top").c_str(), 0777), 0);
  ASSERT_EQ(symlink(path("outside").c_str(), path("dest/top/sub").c_str()), 0);
  ASSERT_EQ(symlink(path("outside/mine").c_str(), path("dest/top/file").c_str()), 0);
  struct stat before;
  ASSERT_EQ(stat(path("outside").c_str(), &before), 0);

  const Outcome o = run({"get", "-r", remote("top"), path("dest")});
  EXPECT_EQ(o.exit, Exit::kLocalFile);
  EXPECT_EQ(entries(path("outside")), std::vector<std::string>{"mine"});
  EXPECT_EQ(read_file(path("outside/mine")), "mine");
  struct stat after;
  ASSERT_EQ(stat(path("outside").c_str(), &after), 0);
  EXPECT_EQ(after.st_mtime, before.st_mtime);
  // The links stay as they were, and the rest of the copy is done.
  char target[4096];
  ASSERT_GT(readlink(path("dest/top/sub").c_str(), target, sizeof target), 0);
  ASSERT_GT(readlink(path("dest/top/file").c_str(), target, sizeof target), 0);
  EXPECT_EQ(read_file(path("dest/top/ok")), "fine");
  std::vector<std::string> told = output_.err_lines();
  std::sort(told.begin(), told.end());
  EXPECT_EQ(told, (std::vector<std::string>{
                      "tarnel-client: " + remote("top/file") +
                          ": not following the symbolic link " + path("dest/top/file"),
                      "tarnel-client: not following the symbolic link " + path("dest/top/sub"),
                  }));
}

TEST_F(ClientOverCable, AReportLineShowsTheServersNameInVisibleFormAndTheFileKeepsIt) {
  // C1 controls (CSI as UTF-8 and as a lone byte): the server sends such a
  // name as it is; one with bytes below 0x20 it lists under a stand-in.
  const std::string name =
      "e\xc2\x9b"
      "2J\x9b";
  ASSERT_EQ(mkdir(path("top").c_str(), 0777), 0);
  write_file(path("top/" + name), "x");
  ASSERT_EQ(mkdir(path("dest").c_str(), 0777), 0);

  const Outcome o = run({"get", "-r", remote("top"), path("dest")});
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_EQ(read_file(path("dest/top/" + name)), "x");
  const std::vector<std::string> lines = output_.out_lines();
  ASSERT_EQ(lines.size(), 2u) << output_.out_bytes();
  const std::string shown = "eM-^[2JM-^[";
  EXPECT_TRUE(report_line(lines[0], "Received " + remote("top") + "\\" + shown + " into " +
                                        path("dest/top/") + shown + ": 1 bytes"));
}

// The phases on their own.

class PartialFile : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return dir_.file(name); }

  GetPlan plan(bool resume, bool text = false) const {
    GetPlan p;
    p.remote = "\\served.bin";
    p.local = path("got.bin");
    p.part_path = path("got.bin.tarnel-part");
    p.command = "GET \\served.bin";
    p.resume = resume;
    p.text = text;
    return p;
  }

  testing::TempDir dir_;
};

TEST_F(PartialFile, AFreshDownloadEmptiesAnOldPartialFile) {
  write_file(path("got.bin.tarnel-part"), "old bytes");
  Partial part;
  ASSERT_TRUE(open_partial(plan(false), &part).ok());
  EXPECT_TRUE(part.made_here);
  EXPECT_EQ(part.offset, 0);
  EXPECT_EQ(part.held(), 0);
  EXPECT_EQ(read_file(path("got.bin.tarnel-part")), "");
}

TEST_F(PartialFile, AResumeAsksForTheLast4096HeldBytesAgain) {
  const std::string held = random_bytes(5000, 7);
  write_file(path("got.bin.tarnel-part"), held);
  Partial part;
  ASSERT_TRUE(open_partial(plan(true), &part).ok());
  EXPECT_FALSE(part.made_here);
  EXPECT_EQ(part.offset, 904);
  EXPECT_EQ(part.overlap, held.substr(904));
  EXPECT_EQ(read_file(path("got.bin.tarnel-part")), held);
}

TEST_F(PartialFile, ATextResumeCountsTheHeldBytesInTheCrLfView) {
  // 1000 bytes with 10 LF before the overlap, then 4096 more.
  std::string held;
  for (int i = 0; i < 10; ++i) held += std::string(99, 'x') + "\n";
  held += std::string(4095, 'y') + "\n";
  write_file(path("got.bin.tarnel-part"), held);
  Partial part;
  ASSERT_TRUE(open_partial(plan(true, true), &part).ok());
  EXPECT_EQ(part.offset, 1000 + 10);
  EXPECT_EQ(part.overlap, std::string(4095, 'y') + "\r\n");
}

TEST_F(PartialFile, AResumeWithoutOneStartsFromACopyOfTheLocalFile) {
  write_file(path("got.bin"), "an earlier copy");
  Partial part;
  ASSERT_TRUE(open_partial(plan(true), &part).ok());
  EXPECT_TRUE(part.made_here);
  EXPECT_EQ(part.offset, 0);
  EXPECT_EQ(part.overlap, "an earlier copy");
  EXPECT_EQ(read_file(path("got.bin.tarnel-part")), "an earlier copy");
  EXPECT_EQ(read_file(path("got.bin")), "an earlier copy");
}

TEST_F(PartialFile, ADirectoryInItsPlaceIsRefused) {
  ASSERT_EQ(mkdir(path("got.bin.tarnel-part").c_str(), 0777), 0);
  Partial part;
  const Outcome o = open_partial(plan(true), &part);
  EXPECT_EQ(o.exit, Exit::kLocalFile);
  EXPECT_EQ(o.message.rfind("cannot ", 0), 0u) << o.message;
}

TEST_F(PartialFile, AfterAFailureOnlyAFileWithNewBytesStays) {
  struct Case {
    bool made_here;
    int64_t written;
    Exit exit;
    bool stays;
    bool told;  // the message says where the partial download is
  };
  const Case cases[] = {
      {true, 0, Exit::kLink, false, false},      // empty, or a mere copy of LOCAL
      {true, 10, Exit::kLink, true, true},       // new data: for --resume
      {false, 0, Exit::kLink, true, true},       // there before this run
      {false, 0, Exit::kMismatch, true, false},  // the message says what to do
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "made_here " << c.made_here << ", written " << c.written
                                      << ", exit " << static_cast<int>(c.exit));
    write_file(path("got.bin.tarnel-part"), "held");
    Partial part;
    part.path = path("got.bin.tarnel-part");
    part.made_here = c.made_here;
    part.written = c.written;
    const Outcome o = keep_or_drop_partial(part, Outcome::Fail(c.exit, "it failed"));
    EXPECT_EQ(o.exit, c.exit);
    EXPECT_EQ(exists(part.path), c.stays);
    EXPECT_EQ(o.message, c.told ? "it failed; the partial download is in " + part.path +
                                      " (get --resume continues it)"
                                : "it failed");
  }
}

TEST_F(PartialFile, OneThatCannotBeRemovedIsToldAsKept) {
  ASSERT_EQ(mkdir(path("got.bin.tarnel-part").c_str(), 0777), 0);
  Partial part;
  part.path = path("got.bin.tarnel-part");
  part.made_here = true;
  const Outcome o = keep_or_drop_partial(part, Outcome::Fail(Exit::kLink, "it failed"));
  EXPECT_EQ(o.message,
            "it failed; the partial download is in " + part.path + " (get --resume continues it)");
}

int failing_set_times(int, const struct timespec*) {
  errno = EROFS;
  return -1;
}

TEST_F(PartialFile, FinishGivesTheFileTheServersTimeAndItsName) {
  Partial part;
  ASSERT_TRUE(open_partial(plan(false), &part).ok());
  ASSERT_EQ(write(part.fd, "abc", 3), 3);
  GetAnnouncement announced;
  announced.total = 3;
  announced.have_stamp = true;
  announced.stamp = pack_local_time(1600000000);
  testing::RecordingOutput output;
  FileReport report;

  ASSERT_TRUE(finish_download(plan(false), announced, output, &part, &report).ok());
  EXPECT_EQ(read_file(path("got.bin")), "abc");
  EXPECT_FALSE(exists(path("got.bin.tarnel-part")));
  struct stat st;
  ASSERT_EQ(stat(path("got.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1600000000);
  EXPECT_EQ(report.text, "Received \\served.bin into " + path("got.bin") + ": 3 bytes");
  EXPECT_EQ(output.err_bytes(), "");
}

TEST_F(PartialFile, ATimeThatCannotBeSetIsWarnedOfAndTheFileStillArrives) {
  Partial part;
  ASSERT_TRUE(open_partial(plan(false), &part).ok());
  ASSERT_EQ(write(part.fd, "abc", 3), 3);
  GetAnnouncement announced;
  announced.total = 3;
  announced.have_stamp = true;
  announced.stamp = pack_local_time(1600000000);
  testing::RecordingOutput output;
  FileReport report;

  const Outcome o =
      finish_download(plan(false), announced, output, &part, &report, failing_set_times);
  ASSERT_TRUE(o.ok()) << o.message;
  EXPECT_EQ(read_file(path("got.bin")), "abc");
  EXPECT_FALSE(exists(path("got.bin.tarnel-part")));
  EXPECT_EQ(output.err_lines(), std::vector<std::string>{
                                    "tarnel-client: warning: cannot set the modification time of " +
                                    path("got.bin") + ": Read-only file system"});
  EXPECT_EQ(report.text, "Received \\served.bin into " + path("got.bin") + ": 3 bytes");
}

}  // namespace
}  // namespace tarnel::client

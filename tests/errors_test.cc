// Every class of failure of the client, with its exit status and message.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <thread>

#include "link/lines.h"
#include "link/text.h"
#include "link/virtual_cable.h"
#include "testing/temp_dir.h"
#include "tests/end_to_end.h"

namespace tarnel::end_to_end {
namespace {

struct ErrorCase {
  const char* name;
  bool server;
  std::function<std::vector<std::string>(Bench&)> setup;
  int exit;
  const char* message;
};

std::vector<std::string> args(std::initializer_list<std::string> a) { return a; }

const ErrorCase kCases[] = {
    {"UnknownCommand", false, [](Bench&) { return args({"frobnicate"}); }, 2, "unknown command"},
    {"PortOutOfRange", false,
     [](Bench&) {
       return args({"--port", "7", "connect"});
     },
     2, "--port needs a number from 1 to 3"},
    {"MissingArgument", false,
     [](Bench&) {
       return args({"mv", "a"});
     },
     2, "wrong number of arguments"},
    {"CableOfTheWrongSize", false,
     [](Bench& b) {
       testing::write_file(b.file("bad.cable"), std::string(100, 'x'));
       return args({"--cable", b.file("bad.cable"), "connect"});
     },
     3, "not 4096"},
    {"NoServer", false, [](Bench&) { return args({"connect"}); }, 4, "no server answering"},
    {"UnknownServerCommand", true,
     [](Bench&) {
       return args({"raw", "HELLO"});
     },
     6, "bad-command signal"},
    {"FileError", true,
     [](Bench& b) {
       return args({"get", b.remote("missing"), b.file("x")});
     },
     8, "\"FILE ERROR 2\": not found"},
    {"FileErrorForADirectory", true,
     [](Bench& b) {
       mkdir(b.file("sub").c_str(), 0777);
       return args({"get", b.remote("sub"), b.file("x")});
     },
     8, "is a directory"},
    {"DirErrorOfAListing", true,
     [](Bench& b) {
       return args({"ls", b.remote("nodir") + "/"});
     },
     9, "\"DIR ERROR 18\": no such directory"},
    {"DirErrorOfMkdir", true,
     [](Bench& b) {
       return args({"mkdir", b.remote("no/such")});
     },
     9, "\"DIR ERROR 2\": not found"},
    {"DirErrorOfRmdir", true,
     [](Bench& b) {
       mkdir(b.file("full").c_str(), 0777);
       testing::write_file(b.file("full/f"), "x");
       return args({"rmdir", b.remote("full")});
     },
     9, "directory not empty"},
    {"RenameError", true,
     [](Bench& b) {
       return args({"mv", b.remote("missing"), b.remote("y")});
     },
     10, "\"RENAME ERROR 2\": not found"},
    {"RestError", true,
     [](Bench& b) {
       testing::write_file(b.file("plain"), "x");
       testing::write_file(b.file("local"), "y");
       return args({"put", "--resume", b.file("local"), b.remote("plain") + "/x"});
     },
     11, "\"REST ERROR 3\": path not found, or not a directory"},
    {"LocalFileUnreadable", true,
     [](Bench& b) {
       return args({"put", b.file("absent"), "x"});
     },
     12, "cannot read"},
    {"LocalFileUnwritable", true,
     [](Bench& b) {
       testing::write_file(b.file("there"), "x");
       return args({"get", b.remote("there"), b.file("nodir/there")});
     },
     12, "cannot create"},
    {"ResumeAgainstAChangedFile", true,
     [](Bench& b) {
       testing::write_file(b.file("f"), random_content(20000, false, 1));
       testing::write_file(b.file("f.out.tarnel-part"), random_content(9000, false, 2));
       return args({"get", "--resume", b.remote("f"), b.file("f.out")});
     },
     13, "differs from the partial download"},
    {"ResumeOfALongerPartial", true,
     [](Bench& b) {
       const std::string content = random_content(30000, false, 3);
       testing::write_file(b.file("g"), content.substr(0, 10000));
       testing::write_file(b.file("g.out.tarnel-part"), content);
       return args({"get", "--resume", b.remote("g"), b.file("g.out")});
     },
     13, "is shorter than the partial download"},
};

class ClientErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ClientErrorTest, ExitsWithItsOwnStatusAndSaysWhy) {
  const ErrorCase& c = GetParam();
  Bench bench;
  if (c.server) bench.start_server();
  ClientRun run = run_client(bench, c.setup(bench));
  EXPECT_EQ(run.exit, c.exit) << run;
  EXPECT_NE(run.err.find(c.message), std::string::npos) << run;
  if (c.server) {
    // The server goes on serving.
    ClientRun next = run_client(bench, {"connect"});
    EXPECT_EQ(next.exit, 0) << next;
    EXPECT_EQ(bench.stop_server(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Classes, ClientErrorTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ErrorCase>& row) {
                           return std::string(row.param.name);
                         });

TEST(ClientErrors, HelpListsEveryExitStatus) {
  Bench bench;
  ClientRun help = run_client(bench, {"--help"});
  ASSERT_EQ(help.exit, 0);
  for (int status : {0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 130}) {
    const std::string entry = (status < 10    ? "    "
                               : status < 100 ? "   "
                                              : "  ") +
                              std::to_string(status) + "  ";
    EXPECT_NE(help.out.find(entry), std::string::npos) << status;
  }
}

TEST(ClientErrors, FailedDownloadLeavesNoPartialFile) {
  Bench bench;
  bench.start_server();
  ClientRun run = run_client(bench, {"get", bench.remote("missing"), bench.file("x")});
  EXPECT_EQ(run.exit, 8) << run;
  EXPECT_FALSE(exists(bench.file("x")));
  EXPECT_FALSE(exists(bench.file("x.tarnel-part")));
}

/// Two clients on one cable would split the server's replies between them:
/// end B is taken by one client at a time.
TEST(ClientErrors, SecondClientOnTheCableIsRefusedWithAReason) {
  Bench bench;
  bench.start_server();
  {
    CablePort first(bench.cable(), VirtualCable::kEndB);
    std::string why;
    ASSERT_TRUE(first.claim(1, 0x378, &why)) << why;
    ClientRun run = run_client(bench, {"connect"});
    EXPECT_EQ(run.exit, 3) << run;
    EXPECT_NE(run.err.find("end B is taken by another program"), std::string::npos) << run;
  }
  ClientRun next = run_client(bench, {"connect"});
  EXPECT_EQ(next.exit, 0) << next;
  EXPECT_EQ(bench.stop_server(), 0);
}

/// A server that answers "CONNECT" and then says something no client
/// expects.
TEST(ClientErrors, UnexpectedReplyHasItsOwnStatus) {
  Bench bench;
  CablePort port(bench.cable(), VirtualCable::kEndA);
  std::string why;
  ASSERT_TRUE(port.claim(1, 0x378, &why)) << why;
  Lines lines(port, 0x378, Waiting::kPatient);
  lines.init_control_lines();
  lines.clear_data_lines();
  std::vector<std::string> received;
  std::thread fake([&] {
    for (const char* answer : {"OK A", "MAYBE"}) {
      std::string command;
      // The client may take a moment to start: try a few frames' time.
      RecvResult r = RecvResult::RECV_FAILED;
      for (int i = 0; i < 5 && r != RecvResult::RECV_OK; ++i) receive_command(lines, command, &r);
      if (r != RecvResult::RECV_OK) return;
      received.push_back(command);
      send_text(lines, answer);
    }
  });
  ClientRun run = run_client(bench, {"rm", "\\x"});
  fake.join();
  EXPECT_EQ(run.exit, 7) << run;
  EXPECT_NE(run.err.find("unexpected reply \"MAYBE\" to DEL \\x"), std::string::npos) << run;
  EXPECT_EQ(received, (std::vector<std::string>{"CONNECT", "DEL \\x"}));
}

struct RefusedUpload {
  const char* name;
  size_t size;
};

class RefusedUploadTest : public ::testing::TestWithParam<RefusedUpload> {};

TEST_P(RefusedUploadTest, IsReportedAsFailed) {
  // The server cannot create the file (its directory is a file); it says so
  // by refusing the next frame only, or not at all for an empty file.
  Bench bench;
  bench.start_server();
  testing::write_file(bench.file("plain"), "x");
  testing::write_file(bench.file("local"), std::string(GetParam().size, 'z'));
  ClientRun run = run_client(bench, {"put", bench.file("local"), bench.remote("plain") + "/f"});
  EXPECT_EQ(run.exit, 5) << run;
  EXPECT_NE(run.err.find("the upload failed: "), std::string::npos) << run;
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(bench.wait_for_console("UPLOAD FAILED", 10000)) << bench.console();
  ClientRun next = run_client(bench, {"connect"});
  EXPECT_EQ(next.exit, 0) << next;
}

INSTANTIATE_TEST_SUITE_P(Sizes, RefusedUploadTest,
                         ::testing::Values(RefusedUpload{"Empty", 0},
                                           RefusedUpload{"OneFrame", 100},
                                           RefusedUpload{"ThreeFrames", 10000}),
                         [](const ::testing::TestParamInfo<RefusedUpload>& row) {
                           return std::string(row.param.name);
                         });

}  // namespace
}  // namespace tarnel::end_to_end

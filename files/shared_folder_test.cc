// The whole server over the cable while it shares one folder (--root) or
// shares read-only (--read-only): what the client gets, and that nothing it
// must not change changes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/numbers.h"
#include "files/confined_file_system.h"
#include "files/file_system.h"
#include "files/read_only_file_system.h"
#include "testing/server_thread.h"
#include "testing/share_tree.h"
#include "testing/transfer_testing.h"

namespace tarnel {
namespace {

using testing::CablePair;
using testing::Peer;
using testing::ServerThread;
using testing::ShareTree;

/// The client's side of one server.
class Client {
 public:
  explicit Client(CablePair& cable) : peer_(cable) {}

  Peer& peer() { return peer_; }

  /// Sends a command that gets no reply.
  void tell(const std::string& text) {
    ASSERT_EQ(peer_.send_command(text), SendResult::SEND_OK) << text;
  }
  /// Sends a command and returns its first reply.
  std::string ask(const std::string& text) {
    if (peer_.send_command(text) != SendResult::SEND_OK) return "<not sent>";
    return peer_.reply();
  }
  /// "LIST ": the names listed, each with its attribute number ("a.txt 32"),
  /// or the error reply.
  std::vector<std::string> list(const std::string& path) {
    std::string reply = ask("LIST " + path);
    while (reply == "WAIT") reply = peer_.reply();
    if (reply.rfind("SIZE ", 0) != 0) return {reply};
    const int32_t total = text_to_number(reply.substr(5));
    std::string data;
    for (int32_t number = 1; data.size() < static_cast<size_t>(total); ++number) {
      std::string payload;
      if (peer_.receive_data(number, &payload) != RecvResult::RECV_OK) break;
      data += payload;
    }
    std::vector<std::string> names;
    size_t at = 0;
    while (at < data.size()) {
      const size_t end = data.find("\r\n", at);
      const std::string line = data.substr(at, end - at);
      names.push_back(line.substr(0, line.find('\t')) + " " + line.substr(line.rfind('\t') + 1));
      at = end == std::string::npos ? data.size() : end + 2;
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  /// "GET ": the replies, and the data in *data.
  std::vector<std::string> get(const std::string& path, std::string* data) {
    std::vector<std::string> replies{ask("GET " + path)};
    while (replies.back().rfind("TIME ", 0) == 0 || replies.back().rfind("ATTR ", 0) == 0) {
      replies.push_back(peer_.reply());
    }
    data->clear();
    if (replies.back().rfind("SIZE ", 0) != 0) return replies;
    const int32_t size = text_to_number(replies.back().substr(5));
    for (int32_t number = 1; data->size() < static_cast<size_t>(size); ++number) {
      std::string payload;
      if (peer_.receive_data(number, &payload) != RecvResult::RECV_OK) break;
      *data += payload;
    }
    return replies;
  }
  /// "PUT " path, "SIZE " and the data: whether every frame was taken.
  bool put(const std::string& path, const std::string& data) {
    tell("PUT " + path);
    tell("SIZE " + std::to_string(data.size()));
    const std::vector<SendResult> sent = testing::send_upload(peer_, data);
    return std::all_of(sent.begin(), sent.end(),
                       [](SendResult r) { return r == SendResult::SEND_OK; });
  }

 private:
  Peer peer_;
};

/// A server that shares the share of a ShareTree, read-only when asked.
class SharedFolder : public ::testing::Test {
 protected:
  void serve(bool read_only) {
    std::string why;
    confined_ = ConfinedFileSystem::open_root(tree_.share(), &why);
    ASSERT_TRUE(confined_) << why;
    FileSystem* fs = confined_.get();
    if (read_only) {
      read_only_ = std::make_unique<ReadOnlyFileSystem>(*confined_);
      fs = read_only_.get();
    }
    server_ = std::make_unique<ServerThread>(cable_, fs);
  }
  void TearDown() override { server_.reset(); }

  ShareTree tree_;
  CablePair cable_{0};
  Client client_{cable_};
  std::unique_ptr<ConfinedFileSystem> confined_;
  std::unique_ptr<ReadOnlyFileSystem> read_only_;
  std::unique_ptr<ServerThread> server_;
};

struct WayOut {
  const char* what;
  std::vector<std::string> before;  // commands without a reply
  std::string command;
  std::string reply;
};

const WayOut kWaysOut[] = {
    {"\"..\" out", {}, "GET \\..\\outside\\secret.txt", "FILE ERROR 2"},
    {"\"..\" out from below", {}, "GET \\sub\\..\\..\\outside\\secret.txt", "FILE ERROR 2"},
    {"link to a directory outside", {}, "GET \\to_dir\\secret.txt", "FILE ERROR 2"},
    {"link to a file outside", {}, "GET \\to_file", "FILE ERROR 2"},
    {"absolute link", {}, "AGET \\abs_inside", "FILE ERROR 2"},
    {"delete outside", {}, "DEL \\..\\outside\\secret.txt", "FILE ERROR 2"},
    {"delete through a link", {}, "DEL \\to_dir\\secret.txt", "FILE ERROR 2"},
    {"rename out", {"RNFR \\a.txt"}, "RNTO \\..\\outside\\a.txt", "RENAME ERROR 2"},
    {"rename into a link outside", {"RNFR \\a.txt"}, "RNTO \\to_dir\\a.txt", "RENAME ERROR 2"},
    {"rename in from outside",
     {"RNFR \\..\\outside\\secret.txt"},
     "RNTO \\stolen.txt",
     "RENAME ERROR 2"},
    {"rename in through a link",
     {"RNFR \\to_dir\\secret.txt"},
     "RNTO \\stolen.txt",
     "RENAME ERROR 2"},
    {"MD outside", {}, "MD \\..\\made", "DIR ERROR 2"},
    {"MD through a link", {}, "MD \\to_dir\\made", "DIR ERROR 2"},
    {"RD outside", {}, "RD \\..\\outside\\keep", "DIR ERROR 2"},
    {"RD through a link", {}, "RD \\to_dir\\keep", "DIR ERROR 2"},
    {"RD of the root's parent", {}, "RD \\..", "DIR ERROR 2"},
    {"LIST outside", {}, "LIST \\..\\outside\\", "DIR ERROR 18"},
    {"LIST pattern outside", {}, "LIST \\..\\*.*", "DIR ERROR 18"},
    {"LIST pattern through a link", {}, "LIST \\to_dir\\*.txt", "DIR ERROR 18"},
    {"LIST one entry outside", {}, "LIST \\..\\outside\\secret.txt", "DIR ERROR 3"},
    {"LIST a link outside", {}, "LIST \\to_file", "DIR ERROR 3"},
    {"resume outside", {"PUT \\..\\outside\\secret.txt"}, "REST ?", "REST ERROR 2"},
};

TEST_F(SharedFolder, EveryWayOutAnswersAsMissingAndChangesNothingOutside) {
  serve(false);
  const std::string before = tree_.outside_snapshot();
  const std::string share_before = testing::tree_snapshot(tree_.share());
  for (const WayOut& c : kWaysOut) {
    for (const std::string& text : c.before) client_.tell(text);
    EXPECT_EQ(client_.ask(c.command), c.reply) << c.what;
    EXPECT_EQ(tree_.outside_snapshot(), before) << c.what;
  }
  EXPECT_EQ(testing::tree_snapshot(tree_.share()), share_before);
}

TEST_F(SharedFolder, UploadThroughADanglingLinkOutsideIsRefused) {
  serve(false);
  const std::string before = tree_.outside_snapshot();
  EXPECT_FALSE(client_.put("\\dangling_out", "hello"));
  EXPECT_FALSE(client_.put("\\..\\outside\\new.txt", "hello"));
  EXPECT_FALSE(client_.put("\\to_dir\\secret.txt", "hello"));
  EXPECT_EQ(tree_.outside_snapshot(), before);
  // The same inside: stored.
  EXPECT_TRUE(client_.put("\\dangling_in", "hello"));
  EXPECT_EQ(testing::read_file(tree_.share("made.txt")), "hello");
}

TEST_F(SharedFolder, InsideEverythingWorksAndTheRootListsOnlyWhatLiesInside) {
  serve(false);
  const std::string before = tree_.outside_snapshot();
  // Links that lead out, absolute links and dangling ones are left out.
  EXPECT_EQ(client_.list("\\"), (std::vector<std::string>{"a.txt 32", "empty 16", "sub 16"}));
  EXPECT_EQ(client_.list(""), client_.list("\\*.*"));
  EXPECT_EQ(client_.list("\\sub\\..\\sub\\"), (std::vector<std::string>{"b.txt 32", "up 32"}));
  std::string data;
  EXPECT_EQ(client_.get("\\sub\\up", &data).back(), "SIZE 8");
  EXPECT_EQ(data, "inside a");
  EXPECT_EQ(client_.get("sub\\..\\a.txt", &data).back(), "SIZE 8");
  EXPECT_EQ(client_.ask("MD \\new"), "OK");
  EXPECT_EQ(client_.ask("MD \\new"), "OK");  // there already
  EXPECT_TRUE(client_.put("\\new\\f.txt", "stored"));
  client_.tell("RNFR \\new\\f.txt");
  EXPECT_EQ(client_.ask("RNTO \\new\\..\\g.txt"), "OK");
  EXPECT_EQ(testing::read_file(tree_.share("g.txt")), "stored");
  EXPECT_EQ(client_.ask("RD \\new"), "OK");
  EXPECT_EQ(client_.ask("DEL \\g.txt"), "OK");
  // The link itself is inside: it goes, what it points at stays.
  EXPECT_EQ(client_.ask("DEL \\to_file"), "OK");
  EXPECT_EQ(tree_.outside_snapshot(), before);
}

TEST_F(SharedFolder, ReadOnlyChangesNothingAndReadsWork) {
  serve(true);
  const std::string before = testing::tree_snapshot(tree_.base());
  struct {
    std::vector<std::string> before;
    std::string command;
    std::string reply;
  } const cases[] = {
      {{}, "DEL \\a.txt", "FILE ERROR 5"},
      {{}, "DEL \\none", "FILE ERROR 2"},
      {{}, "DEL \\to_file", "FILE ERROR 5"},
      {{}, "MD \\new", "DIR ERROR 5"},
      {{}, "MD \\sub", "OK"},  // there already
      {{}, "MD \\none\\new", "DIR ERROR 2"},
      {{}, "RD \\empty", "DIR ERROR 5"},
      {{}, "RD \\none", "DIR ERROR 2"},
      {{"RNFR \\a.txt"}, "RNTO \\b.txt", "RENAME ERROR 5"},
      {{"RNFR \\none"}, "RNTO \\b.txt", "RENAME ERROR 2"},
      {{"PUT \\a.txt"}, "REST ?", "REST=0"},
      {{"PUT \\none"}, "REST ?", "REST ERROR 2"},
  };
  for (const auto& c : cases) {
    for (const std::string& text : c.before) client_.tell(text);
    const std::string reply = client_.ask(c.command);
    EXPECT_EQ(reply, c.reply) << c.command;
  }
  // Uploads: refused, nothing created, nothing cut.
  EXPECT_FALSE(client_.put("\\a.txt", "overwritten"));
  EXPECT_FALSE(client_.put("\\new.txt", "new"));
  client_.tell("PUT \\a.txt");
  client_.tell("SIZE 0");  // would cut the file to nothing
  // Reads, and everything read-only.
  std::string data;
  const std::vector<std::string> replies = client_.get("\\a.txt", &data);
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0].rfind("TIME ", 0), 0u);
  EXPECT_EQ(replies[1], "ATTR 33");
  EXPECT_EQ(replies[2], "SIZE 8");
  EXPECT_EQ(data, "inside a");
  EXPECT_EQ(client_.list("\\"), (std::vector<std::string>{"a.txt 33", "empty 17", "sub 17"}));
  EXPECT_EQ(testing::tree_snapshot(tree_.base()), before);
}

}  // namespace
}  // namespace tarnel

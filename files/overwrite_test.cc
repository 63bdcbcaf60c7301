// An upload over an existing file, through the command loop: the old file
// stays whole until the new one is, a cut upload is resumed from its partial
// file, and the partial is never seen or reached by the client.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "files/names.h"
#include "files/partial.h"
#include "testing/peer.h"
#include "testing/result_printing.h"
#include "testing/server_thread.h"
#include "testing/transfer_testing.h"

namespace tarnel {
namespace {

using testing::read_file;
using testing::same_bytes;
using testing::send_upload;
using testing::write_file;

WholeFileSystem whole_fs;

std::string client_path(std::string local) {
  for (char& c : local) {
    if (c == '/') c = '\\';
  }
  return local;
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

/// The names a listing of `folder` shows.
std::vector<std::string> listed(testing::Peer& peer, const std::string& folder) {
  std::vector<std::string> names;
  if (peer.send_command("LIST " + client_path(folder) + "\\") != SendResult::SEND_OK) return names;
  std::string reply = peer.reply();
  while (reply == "WAIT") reply = peer.reply();
  const size_t total = std::stoul(reply.substr(5));
  std::string lines;
  for (int32_t n = 1; lines.size() < total; ++n) {
    std::string block;
    if (peer.receive_data(n, &block) != RecvResult::RECV_OK) break;
    lines += block;
  }
  for (size_t at = 0; at < lines.size();) {
    const size_t end = lines.find("\r\n", at);
    names.push_back(lines.substr(at, lines.find('\t', at) - at));
    at = end == std::string::npos ? lines.size() : end + 2;
  }
  return names;
}

/// Sends "PUT "/"APUT ", the parameters and "SIZE ", then the frames from
/// `from` (a client-view offset) on; the frames' results. With `cut_after`
/// frames sent, a cancel frame ends the upload.
std::vector<SendResult> put(testing::Peer& peer, const std::string& path,
                            const std::string& content, bool text,
                            const std::vector<std::string>& parameters, size_t from = 0,
                            size_t cut_after = 0) {
  EXPECT_EQ(peer.send_command((text ? "APUT " : "PUT ") + client_path(path)), SendResult::SEND_OK);
  for (const std::string& p : parameters) {
    EXPECT_EQ(peer.send_command(p), SendResult::SEND_OK);
    if (p == "REST ?") {
      EXPECT_EQ(peer.reply(), "REST=" + std::to_string(from));
    }
  }
  EXPECT_EQ(peer.send_command("SIZE " + std::to_string(content.size())), SendResult::SEND_OK);
  const std::string rest = content.substr(from);
  if (cut_after == 0) return send_upload(peer, rest);
  std::vector<SendResult> sent = send_upload(peer, rest.substr(0, cut_after * 4096));
  sent.push_back(peer.send_data(FRAME_CANCEL, ""));
  return sent;
}

/// What the client wrote into a text upload: CR LF line ends.
std::string client_text(size_t lines) {
  std::string s;
  for (size_t i = 0; i < lines; ++i) {
    for (size_t j = 0; j < 38; ++j) s += static_cast<char>('a' + (i * 7 + j) % 26);
    s += "\r\n";
  }
  return s;
}

std::string stored_text(const std::string& client) {
  std::string s;
  for (char c : client) {
    if (c != '\r') s += c;
  }
  return s;
}

struct Mode {
  const char* name;
  bool text;
};

class Overwrite : public ::testing::TestWithParam<Mode> {};

TEST_P(Overwrite, CutKeepsTheOldFileAndTheResumeCompletesTheNewOne) {
  const bool text = GetParam().text;
  testing::CablePair cable(0);
  testing::Peer peer(cable);
  testing::ServerThread server(cable);
  const std::string path = cable.dir().file("X");
  const std::string old = testing::pattern(30000, 9);
  write_file(path, old);
  ::chmod(path.c_str(), 0640);
  const std::string sent = text ? client_text(600) : testing::pattern(24000, 4);
  const std::string stored = text ? stored_text(sent) : sent;

  // Three frames arrive, then the client gives up.
  put(peer, path, sent, text, {}, 0, 3);
  EXPECT_TRUE(same_bytes(read_file(path), old)) << "the old file byte for byte";
  const std::string kept = text ? stored_text(sent.substr(0, 3 * 4096)) : sent.substr(0, 3 * 4096);
  EXPECT_TRUE(same_bytes(read_file(partial_path(path)), kept)) << "what came, beside it";
  std::vector<std::string> names = listed(peer, cable.dir().path());
  EXPECT_EQ(std::count(names.begin(), names.end(), "X"), 1);
  for (const std::string& n : names) EXPECT_FALSE(is_partial_name(n)) << n;

  // "REST ?" measures the partial: 4096 bytes kept back, in whole
  // kilobytes, counted in the client view.
  const size_t point = (kept.size() - 4096) / 1024 * 1024;
  size_t from = point;
  if (text) {
    from = 0;
    for (size_t stored_count = 0; stored_count < point; ++from) {
      if (sent[from] != '\r') ++stored_count;
    }
  }
  for (SendResult r : put(peer, path, sent, text, {"TIME 684682671", "REST ?"}, from)) {
    EXPECT_EQ(r, SendResult::SEND_OK);
  }
  EXPECT_TRUE(same_bytes(read_file(path), stored));
  EXPECT_FALSE(exists(partial_path(path))) << "nothing is left beside it";
  EXPECT_EQ(mode_of(path), 0640u) << "the old file's permission bits";
  server.stop();
  const std::string out = server.console().output();
  EXPECT_NE(out.find("UPLOAD FAILED\n"), std::string::npos) << out;
  EXPECT_NE(out.find("UPLOAD OK\n"), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Modes, Overwrite,
                         ::testing::Values(Mode{"Raw", false}, Mode{"Text", true}),
                         [](const ::testing::TestParamInfo<Mode>& param) {
                           return std::string(param.param.name);
                         });

TEST(CutUpload, ReadOnlyAttributeWaitsForTheWholeFileSoTheResumeCanWrite) {
  testing::CablePair cable(0);
  testing::Peer peer(cable);
  testing::ServerThread server(cable);
  const std::string sent = testing::pattern(20000, 6);
  for (const bool overwrite : {false, true}) {
    SCOPED_TRACE(overwrite ? "overwrite" : "new file");
    const std::string path = cable.dir().file(overwrite ? "old.bin" : "new.bin");
    if (overwrite) write_file(path, "old");
    put(peer, path, sent, false, {"ATTR 33", "TIME 684682671"}, 0, 3);
    const std::string written = overwrite ? partial_path(path) : path;
    EXPECT_NE(mode_of(written) & S_IWUSR, 0u) << "the attribute went onto a part";
    for (SendResult r : put(peer, path, sent, false, {"ATTR 33", "REST ?"}, 8192)) {
      EXPECT_EQ(r, SendResult::SEND_OK);
    }
    EXPECT_TRUE(same_bytes(read_file(path), sent));
    EXPECT_EQ(mode_of(path) & S_IWUSR, 0u) << "read-only once whole";
  }
}

TEST(PartialName, FitsAFolderEntryAndIsKnownAgain) {
  const std::string long_name(250, 'n');
  struct {
    std::string target;
    std::string partial;  // empty: hashed
  } const cases[] = {
      {"/d/report.doc", "/d/.report.doc.tarnel-upload"},
      {"/x", "/.x.tarnel-upload"},
      {"/d/" + std::string(240, 'a'), "/d/." + std::string(240, 'a') + ".tarnel-upload"},
      {"/d/" + long_name, ""},
      {"/d/" + long_name + "2", ""},
  };
  std::vector<std::string> hashed;
  for (const auto& c : cases) {
    const std::string partial = partial_path(c.target);
    const std::string name = partial.substr(partial.rfind('/') + 1);
    EXPECT_LE(name.size(), 255u) << c.target.size();
    EXPECT_TRUE(is_partial_name(name)) << name;
    EXPECT_TRUE(is_partial_path(partial)) << name;
    EXPECT_EQ(folder_of(partial), folder_of(c.target));
    if (!c.partial.empty()) {
      EXPECT_EQ(partial, c.partial);
    } else {
      EXPECT_EQ(name.size(), 1 + 16 + PARTIAL_SUFFIX.size()) << "a hashed name";
      hashed.push_back(name);
    }
  }
  ASSERT_EQ(hashed.size(), 2u);
  EXPECT_NE(hashed[0], hashed[1]);
  // The client's own unfinished downloads, and names near the form, are not
  // partials.
  for (const char* name : {"f.tarnel-part", "x.tarnel-upload", ".tarnel-upload",
                           ".x.tarnel-uploads", ".x.tarnel-upload.bak", "tarnel-upload"}) {
    EXPECT_FALSE(is_partial_name(name)) << name;
  }
}

TEST(Partial, OutOfTheClientsReachByItsOwnNameAndDroppedWithItsTarget) {
  testing::CablePair cable(0);
  testing::Peer peer(cable);
  testing::ServerThread server(cable);
  const std::string target = cable.dir().file("T");
  write_file(target, "target");
  // A partial left by a cut overwrite, and an entry that merely has the form.
  write_file(partial_path(target), "partial");
  write_file(cable.dir().file(".other.tarnel-upload"), "other");
  for (const std::string& name : {partial_path(target), cable.dir().file(".other.tarnel-upload")}) {
    const std::string client = client_path(name);
    EXPECT_EQ(peer.send_command("DEL " + client), SendResult::SEND_OK);
    EXPECT_EQ(peer.reply(), "FILE ERROR 5") << name;
    EXPECT_EQ(peer.send_command("MD " + client), SendResult::SEND_OK);
    EXPECT_EQ(peer.reply(), "DIR ERROR 5") << name;
    EXPECT_EQ(peer.send_command("RNFR " + client_path(target)), SendResult::SEND_OK);
    EXPECT_EQ(peer.send_command("RNTO " + client), SendResult::SEND_OK);
    EXPECT_EQ(peer.reply(), "RENAME ERROR 5") << name;
    EXPECT_EQ(peer.send_command("PUT " + client), SendResult::SEND_OK);
    EXPECT_EQ(peer.send_command("REST ?"), SendResult::SEND_OK);
    EXPECT_EQ(peer.reply(), "REST ERROR 5") << name;
    EXPECT_EQ(peer.send_command("LIST " + client), SendResult::SEND_OK);
    EXPECT_EQ(peer.reply(), "DIR ERROR 3") << name;
    EXPECT_TRUE(exists(name));
  }
  EXPECT_EQ(read_file(partial_path(target)), "partial");
  EXPECT_EQ(read_file(target), "target");
  // Deleting the target drops its partial; the other stays.
  EXPECT_EQ(peer.send_command("DEL " + client_path(target)), SendResult::SEND_OK);
  EXPECT_EQ(peer.reply(), "OK");
  EXPECT_FALSE(exists(partial_path(target)));
  EXPECT_TRUE(exists(cable.dir().file(".other.tarnel-upload")));
  // So does renaming it, onto a name or from it.
  write_file(target, "target");
  write_file(partial_path(target), "partial");
  const std::string moved = cable.dir().file("M");
  write_file(partial_path(moved), "partial of M");
  EXPECT_EQ(peer.send_command("RNFR " + client_path(target)), SendResult::SEND_OK);
  EXPECT_EQ(peer.send_command("RNTO " + client_path(moved)), SendResult::SEND_OK);
  EXPECT_EQ(peer.reply(), "OK");
  EXPECT_FALSE(exists(partial_path(target)));
  EXPECT_FALSE(exists(partial_path(moved)));
  EXPECT_EQ(read_file(moved), "target");
}

}  // namespace
}  // namespace tarnel

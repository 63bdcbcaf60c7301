// The command exchange against a client end that follows the link's rules
// to the letter and nothing more (testing/literal_peer.h): it takes a
// frame's result only from the reply code it reads after the last byte's
// acknowledgement, and it is slow to read it. Every reply code that ends a
// frame must stay on the server's lines long enough for such a sender.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <chrono>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "link/frame.h"
#include "testing/cable_pair.h"
#include "testing/literal_peer.h"
#include "testing/name_table.h"
#include "testing/server_thread.h"
#include "testing/temp_dir.h"
#include "testing/wire_frames.h"

namespace tarnel {
namespace {

using testing::CablePair;
using testing::LiteralPeer;
using testing::ServerThread;

std::string client_path(std::string local) {
  for (char& c : local) {
    if (c == '/') c = '\\';
  }
  return local;
}

/// Returns from the exchange with a failure when `got` is not `want`.
#define STEP_EQ(got, want)                                                                     \
  do {                                                                                         \
    const auto got_ = (got);                                                                   \
    const auto want_ = (want);                                                                 \
    if (!(got_ == want_))                                                                      \
      return ::testing::AssertionFailure() << #got << " is " << ::testing::PrintToString(got_) \
                                           << ", want " << ::testing::PrintToString(want_);    \
  } while (0)

using Play = std::function<::testing::AssertionResult(LiteralPeer& peer, const std::string& dir)>;

struct ExchangeCase {
  const char* name;
  /// Plays the client's part; `dir` is the test's directory.
  Play play;
};

/// Plays `play` against a fresh server on a cable with `bus_ns`, then checks
/// that the server still answers. An exchange in which the peer was held up
/// past the server's hold by the scheduler (a loaded machine) proves nothing
/// about the server: it is played again, up to five times, and when the peer
/// was late every time the test is skipped, saying so.
void play_against_server(uint32_t bus_ns, const Play& play,
                         const ClientNames& names = ClientNames()) {
  constexpr int kAttempts = 5;
  for (int attempt = 1;; ++attempt) {
    CablePair cable(bus_ns);
    LiteralPeer peer(cable);
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    {
      ServerThread server(cable, nullptr, names);
      result = play(peer, cable.dir().path());
      if (result) {
        // The server goes on serving.
        result = peer.command("CONNECT") == SendResult::SEND_OK && peer.reply() == "OK A"
                     ? ::testing::AssertionSuccess()
                     : ::testing::AssertionFailure() << "CONNECT afterwards failed";
      }
    }
    if (peer.late_reads() == 0) {
      EXPECT_TRUE(result) << "attempt " << attempt;
      return;
    }
    if (attempt == kAttempts) {
      if (!result) {
        GTEST_SKIP() << "the peer read a reply code late in all " << kAttempts
                     << " attempts (a machine too busy to judge): " << result.message();
      }
      return;
    }
  }
}

class CommandExchange : public ::testing::TestWithParam<std::tuple<ExchangeCase, uint32_t>> {};

TEST_P(CommandExchange, EndsWithTheResultTheServerGave) {
  const auto& [c, bus_ns] = GetParam();
  play_against_server(bus_ns, c.play);
}

const ExchangeCase kCases[] = {
    {"Connect",
     [](LiteralPeer& peer, const std::string&) -> ::testing::AssertionResult {
       STEP_EQ(peer.command("CONNECT"), SendResult::SEND_OK);
       STEP_EQ(peer.reply(), "OK A");
       return ::testing::AssertionSuccess();
     }},
    {"RestThenGet",
     [](LiteralPeer& peer, const std::string& dir) -> ::testing::AssertionResult {
       testing::write_file(dir + "/f.txt", "0123456789abcdef");
       STEP_EQ(peer.command("REST 10"), SendResult::SEND_OK);
       STEP_EQ(peer.command("GET " + client_path(dir + "/f.txt")), SendResult::SEND_OK);
       STEP_EQ(peer.reply(), "REST 10");
       STEP_EQ(peer.reply().rfind("TIME ", 0), 0u);
       STEP_EQ(peer.reply().rfind("ATTR ", 0), 0u);
       STEP_EQ(peer.reply(), "SIZE 16");
       std::string data;
       STEP_EQ(peer.receive_frame(1, &data), RecvResult::RECV_OK);
       STEP_EQ(data, "abcdef");
       return ::testing::AssertionSuccess();
     }},
    {"EmptyCommand",
     [](LiteralPeer& peer, const std::string&) -> ::testing::AssertionResult {
       STEP_EQ(peer.command(""), SendResult::SEND_OK);
       STEP_EQ(peer.expect_bad_command(), true);
       return ::testing::AssertionSuccess();
     }},
    {"UnknownWord",
     [](LiteralPeer& peer, const std::string&) -> ::testing::AssertionResult {
       STEP_EQ(peer.command("HELLO"), SendResult::SEND_OK);
       STEP_EQ(peer.expect_bad_command(), true);
       return ::testing::AssertionSuccess();
     }},
    {"CancelFrameAsCommand",
     [](LiteralPeer& peer, const std::string&) -> ::testing::AssertionResult {
       STEP_EQ(peer.send_bytes(testing::cancel_frame_bytes()), SendResult::SEND_REFUSED);
       STEP_EQ(peer.expect_bad_command(), true);
       STEP_EQ(peer.wait_for_rest(), true);
       return ::testing::AssertionSuccess();
     }},
    {"CommandNumberedFive",
     [](LiteralPeer& peer, const std::string&) -> ::testing::AssertionResult {
       STEP_EQ(peer.send_frame(5, "CONNECT"), SendResult::SEND_ABORTED);
       STEP_EQ(peer.wait_for_rest(), true);
       return ::testing::AssertionSuccess();
     }},
    {"UploadFrameWithNoUploadPending",
     [](LiteralPeer& peer, const std::string&) -> ::testing::AssertionResult {
       STEP_EQ(peer.command("SIZE 10"), SendResult::SEND_OK);
       STEP_EQ(peer.send_frame(1, "0123456789"), SendResult::SEND_REFUSED);
       return ::testing::AssertionSuccess();
     }},
    {"ElevenBadChecksums",
     [](LiteralPeer& peer, const std::string&) -> ::testing::AssertionResult {
       const testing::WireBytes frame = testing::frame_bytes(0, "CONNECT");
       STEP_EQ(peer.send_copies(testing::bad_copies_then_good(frame, 11)),
               SendResult::SEND_ABORTED);
       STEP_EQ(peer.resends(), 11);  // each REPLY_RESEND seen, the last one too
       STEP_EQ(peer.wait_for_rest(), true);
       return ::testing::AssertionSuccess();
     }},
    {"TenBadChecksumsThenAGoodCopy",
     [](LiteralPeer& peer, const std::string&) -> ::testing::AssertionResult {
       const testing::WireBytes frame = testing::frame_bytes(0, "CONNECT");
       STEP_EQ(peer.send_copies(testing::bad_copies_then_good(frame, 10)), SendResult::SEND_OK);
       STEP_EQ(peer.resends(), 10);
       STEP_EQ(peer.reply(), "OK A");
       return ::testing::AssertionSuccess();
     }},
};

INSTANTIATE_TEST_SUITE_P(LiteralPeer, CommandExchange,
                         ::testing::Combine(::testing::ValuesIn(kCases),
                                            ::testing::Values(0u, 1000u)),
                         [](const auto& row) {
                           return std::string(std::get<0>(row.param).name) + "_bus_ns_" +
                                  std::to_string(std::get<1>(row.param));
                         });

// Round trips through the same client end: what tarnel-client does in
// tests/, with nothing of the link's own code on the client's side.

/// Stores `content` under the client path `path` with "PUT " or "APUT ",
/// in frames of 4096 bytes from `offset` on (after a resume query).
::testing::AssertionResult upload(LiteralPeer& peer, const std::string& word,
                                  const std::string& path, const std::string& content) {
  STEP_EQ(peer.command(word + path), SendResult::SEND_OK);
  STEP_EQ(peer.command("SIZE " + std::to_string(content.size())), SendResult::SEND_OK);
  for (size_t at = 0, n = 1; at < content.size(); at += 4096, ++n) {
    STEP_EQ(peer.send_frame(static_cast<int32_t>(n), content.substr(at, 4096)),
            SendResult::SEND_OK);
  }
  return ::testing::AssertionSuccess();
}

/// Fetches the client path `path` with "GET " or "AGET ": the replies up to
/// "SIZE ", then the data frames.
::testing::AssertionResult download(LiteralPeer& peer, const std::string& word,
                                    const std::string& path, size_t bytes, std::string* data,
                                    std::vector<std::string>* replies) {
  STEP_EQ(peer.command(word + path), SendResult::SEND_OK);
  for (;;) {
    const std::string reply = peer.reply();
    replies->push_back(reply);
    if (reply.rfind("SIZE ", 0) == 0) break;
    STEP_EQ(reply.rfind("<failed", 0) == 0 || reply.rfind("FILE ERROR", 0) == 0, false);
  }
  data->clear();
  for (int32_t n = 1; data->size() < bytes; ++n) {
    std::string payload;
    STEP_EQ(peer.receive_frame(n, &payload), RecvResult::RECV_OK);
    *data += payload;
  }
  return ::testing::AssertionSuccess();
}

/// Reads the reply that announces a listing's size into *total. A listing
/// that runs across a tick of the server's seconds clock sends the keep-alive
/// "WAIT" first, however short it is: every client takes it and waits on.
::testing::AssertionResult listing_size(LiteralPeer& peer, size_t* total) {
  std::string reply = peer.reply();
  while (reply == "WAIT") reply = peer.reply();
  if (reply.rfind("SIZE ", 0) != 0) {
    return ::testing::AssertionFailure() << "LIST replied " << ::testing::PrintToString(reply);
  }
  *total = std::stoul(reply.substr(5));
  return ::testing::AssertionSuccess();
}

std::string bytes_of_every_value(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  return s;
}

const ExchangeCase kRoundTrips[] = {
    {"Raw",
     [](LiteralPeer& peer, const std::string& dir) -> ::testing::AssertionResult {
       const std::string content = bytes_of_every_value(5000);
       const std::string path = client_path(dir + "/raw.bin");
       if (auto r = upload(peer, "PUT ", path, content); !r) return r;
       std::string data;
       std::vector<std::string> replies;
       if (auto r = download(peer, "GET ", path, content.size(), &data, &replies); !r) return r;
       STEP_EQ(replies.size(), 3u);  // TIME, ATTR, SIZE
       STEP_EQ(replies[2], "SIZE 5000");
       STEP_EQ(data == content, true);
       STEP_EQ(testing::read_file(dir + "/raw.bin") == content, true);
       return ::testing::AssertionSuccess();
     }},
    {"Text",
     [](LiteralPeer& peer, const std::string& dir) -> ::testing::AssertionResult {
       std::string client_text, stored_text;
       for (int i = 0; i < 300; ++i) {
         client_text += "line " + std::to_string(i) + "\r\n";
         stored_text += "line " + std::to_string(i) + "\n";
       }
       const std::string path = client_path(dir + "/t.txt");
       if (auto r = upload(peer, "APUT ", path, client_text); !r) return r;
       std::string data;
       std::vector<std::string> replies;
       if (auto r = download(peer, "AGET ", path, client_text.size(), &data, &replies); !r)
         return r;
       STEP_EQ(replies.back(), "SIZE " + std::to_string(client_text.size()));
       STEP_EQ(data == client_text, true);
       STEP_EQ(testing::read_file(dir + "/t.txt") == stored_text, true);
       return ::testing::AssertionSuccess();
     }},
    {"ResumedUploadAndDownload",
     [](LiteralPeer& peer, const std::string& dir) -> ::testing::AssertionResult {
       const std::string content = bytes_of_every_value(9000);
       // An earlier upload broke off after 6000 bytes.
       testing::write_file(dir + "/r.bin", content.substr(0, 6000));
       const std::string path = client_path(dir + "/r.bin");
       STEP_EQ(peer.command("PUT " + path), SendResult::SEND_OK);
       STEP_EQ(peer.command("REST ?"), SendResult::SEND_OK);
       STEP_EQ(peer.reply(), "REST=1024");  // 4096 bytes kept back, whole kilobytes
       STEP_EQ(peer.command("SIZE 9000"), SendResult::SEND_OK);
       for (size_t at = 1024, n = 1; at < content.size(); at += 4096, ++n) {
         STEP_EQ(peer.send_frame(static_cast<int32_t>(n), content.substr(at, 4096)),
                 SendResult::SEND_OK);
       }
       // Then fetched from byte 8000 on.
       STEP_EQ(peer.command("REST 8000"), SendResult::SEND_OK);
       std::string data;
       std::vector<std::string> replies;
       if (auto r = download(peer, "GET ", path, 1000, &data, &replies); !r) return r;
       STEP_EQ(replies.front(), "REST 8000");
       STEP_EQ(replies.back(), "SIZE 9000");
       STEP_EQ(data == content.substr(8000), true);
       STEP_EQ(testing::read_file(dir + "/r.bin") == content, true);
       return ::testing::AssertionSuccess();
     }},
    {"Listing",
     [](LiteralPeer& peer, const std::string& dir) -> ::testing::AssertionResult {
       testing::write_file(dir + "/alpha.txt", "0123456789");
       testing::write_file(dir + "/beta.dat", "");
       STEP_EQ(peer.command("LIST " + client_path(dir + "/")), SendResult::SEND_OK);
       size_t total = 0;
       if (auto r = listing_size(peer, &total); !r) return r;
       std::string lines;
       for (int32_t n = 1; lines.size() < total; ++n) {
         std::string block;
         STEP_EQ(peer.receive_frame(n, &block), RecvResult::RECV_OK);
         lines += block;
       }
       STEP_EQ(lines.size(), total);
       STEP_EQ(lines.find("alpha.txt") != std::string::npos, true);
       STEP_EQ(lines.find("beta.dat") != std::string::npos, true);
       return ::testing::AssertionSuccess();
     }},
    {"Management",
     [](LiteralPeer& peer, const std::string& dir) -> ::testing::AssertionResult {
       struct stat st;
       STEP_EQ(peer.command("MD " + client_path(dir + "/d")), SendResult::SEND_OK);
       STEP_EQ(peer.reply(), "OK");
       STEP_EQ(stat((dir + "/d").c_str(), &st) == 0 && S_ISDIR(st.st_mode), true);
       testing::write_file(dir + "/d/f", "x");
       STEP_EQ(peer.command("RNFR " + client_path(dir + "/d/f")), SendResult::SEND_OK);
       STEP_EQ(peer.command("RNTO " + client_path(dir + "/d/g")), SendResult::SEND_OK);
       STEP_EQ(peer.reply(), "OK");
       STEP_EQ(testing::read_file(dir + "/d/g"), "x");
       STEP_EQ(peer.command("DEL " + client_path(dir + "/d/g")), SendResult::SEND_OK);
       STEP_EQ(peer.reply(), "OK");
       STEP_EQ(peer.command("RD " + client_path(dir + "/d")), SendResult::SEND_OK);
       STEP_EQ(peer.reply(), "OK");
       STEP_EQ(stat((dir + "/d").c_str(), &st), -1);
       STEP_EQ(peer.command("RD " + client_path(dir + "/d")), SendResult::SEND_OK);
       STEP_EQ(peer.reply().rfind("DIR ERROR ", 0), 0u);
       return ::testing::AssertionSuccess();
     }},
};

class LiteralRoundTrip : public ::testing::TestWithParam<std::tuple<ExchangeCase, uint32_t>> {};

TEST_P(LiteralRoundTrip, ServerDoesWhatTheClientAsked) {
  const auto& [c, bus_ns] = GetParam();
  play_against_server(bus_ns, c.play);
}

INSTANTIATE_TEST_SUITE_P(LiteralPeer, LiteralRoundTrip,
                         ::testing::Combine(::testing::ValuesIn(kRoundTrips),
                                            ::testing::Values(0u, 1000u)),
                         [](const auto& row) {
                           return std::string(std::get<0>(row.param).name) + "_bus_ns_" +
                                  std::to_string(std::get<1>(row.param));
                         });

// Names through the wire: every name of the table listed, fetched,
// renamed and deleted by the name the listing gives it, and uploaded by its
// own name wherever the client can send that, with no code page and under
// CP1252 and CP850.

ClientNames names_in(const char* code_page) {
  Charset charset;
  std::string error;
  if (code_page != nullptr && !Charset::open(code_page, &charset, &error)) ADD_FAILURE() << error;
  return code_page == nullptr ? ClientNames() : ClientNames(charset);
}

::testing::AssertionResult listing(LiteralPeer& peer, const std::string& path,
                                   std::vector<std::string>* lines) {
  STEP_EQ(peer.command("LIST " + path), SendResult::SEND_OK);
  size_t total = 0;
  if (auto r = listing_size(peer, &total); !r) return r;
  std::string data;
  for (int32_t n = 1; data.size() < total; ++n) {
    std::string block;
    STEP_EQ(peer.receive_frame(n, &block), RecvResult::RECV_OK);
    data += block;
  }
  lines->clear();
  for (size_t at = 0; at < data.size();) {
    const size_t end = data.find("\r\n", at);
    STEP_EQ(end == std::string::npos, false);
    lines->push_back(data.substr(at, end - at));
    at = end + 2;
  }
  return ::testing::AssertionSuccess();
}

/// The folder holding every name is listed; the entry of `row` is then
/// fetched, renamed, deleted and stored.
::testing::AssertionResult play_names(LiteralPeer& peer, const std::string& dir, size_t page,
                                      size_t row_played) {
  const ClientNames names = names_in(testing::kNameCodePages[page]);
  const auto& table = testing::name_table();
  const std::string folder = dir + "/names/";
  STEP_EQ(mkdir(folder.c_str(), 0755), 0);
  STEP_EQ(mkdir((dir + "/up").c_str(), 0755), 0);
  std::map<std::string, size_t> expected;  // the name the client sees -> table row
  for (size_t i = 0; i < table.size(); ++i) {
    testing::write_file(folder + table[i].local, "row " + std::to_string(i));
    const char* client = table[i].client[page];
    const std::string shown = client == nullptr              ? names.stand_in(table[i].local)
                              : client == testing::kSameName ? table[i].local
                                                             : client;
    STEP_EQ(expected.emplace(shown, i).second, true);  // no two rows under one name
  }

  // Listed: one whole line per entry, under the expected name.
  std::vector<std::string> lines;
  if (auto r = listing(peer, client_path(folder), &lines); !r) return r;
  STEP_EQ(lines.size(), table.size());
  std::set<std::string> listed;
  for (const std::string& line : lines) {
    STEP_EQ(line.size() <= 253, true);
    const size_t tab = line.find('\t');
    STEP_EQ(std::count(line.begin(), line.end(), '\t'), 3);
    STEP_EQ(line.find_first_of("\r\n"), std::string::npos);
    const std::string name = line.substr(0, tab);
    STEP_EQ(expected.count(name), 1u);
    listed.insert(name);
  }
  STEP_EQ(listed.size(), table.size());

  for (const auto& [shown, row] : expected) {
    if (row != row_played) continue;
    const testing::NameCase& c = table[row];
    const std::string content = "row " + std::to_string(row);
    const std::string remote = client_path(folder) + shown;
    // Fetched by that name.
    std::string data;
    std::vector<std::string> replies;
    if (auto r = download(peer, "GET ", remote, content.size(), &data, &replies); !r) {
      return r << " (" << c.what << ")";
    }
    STEP_EQ(data, content);
    if (c.client[page] == nullptr) {
      // A new entry may not take an existing entry's stand-in.
      STEP_EQ(peer.command("MD " + remote), SendResult::SEND_OK);
      STEP_EQ(peer.reply(), "DIR ERROR 2");
      STEP_EQ(peer.command("PUT " + remote), SendResult::SEND_OK);
      STEP_EQ(peer.command("SIZE 1"), SendResult::SEND_OK);
      STEP_EQ(peer.send_frame(1, "x"), SendResult::SEND_REFUSED);
      testing::write_file(dir + "/spare", "spare");
      STEP_EQ(peer.command("RNFR " + client_path(dir + "/spare")), SendResult::SEND_OK);
      STEP_EQ(peer.command("RNTO " + remote), SendResult::SEND_OK);
      STEP_EQ(peer.reply(), "RENAME ERROR 2");
    }
    // Renamed away (and back, where the name travels); deleted by it.
    const std::string moved = client_path(folder) + "moved";
    STEP_EQ(peer.command("RNFR " + remote), SendResult::SEND_OK);
    STEP_EQ(peer.command("RNTO " + moved), SendResult::SEND_OK);
    STEP_EQ(peer.reply(), "OK");
    STEP_EQ(testing::read_file(folder + "moved"), content);
    if (c.client[page] == nullptr) {
      STEP_EQ(rename((folder + "moved").c_str(), (folder + c.local).c_str()), 0);
    } else {
      STEP_EQ(peer.command("RNFR " + moved), SendResult::SEND_OK);
      STEP_EQ(peer.command("RNTO " + remote), SendResult::SEND_OK);
      STEP_EQ(peer.reply(), "OK");
    }
    STEP_EQ(testing::read_file(folder + c.local), content);
    STEP_EQ(peer.command("DEL " + remote), SendResult::SEND_OK);
    STEP_EQ(peer.reply(), "OK");
    struct stat st;
    STEP_EQ(lstat((folder + c.local).c_str(), &st), -1);

    // Uploaded by its own name, where the client can send it.
    if (c.client[page] != nullptr) {
      if (auto r = upload(peer, "PUT ", client_path(dir + "/up/") + shown, content); !r) return r;
      STEP_EQ(peer.command("CONNECT"), SendResult::SEND_OK);  // the upload is over
      STEP_EQ(peer.reply(), "OK A");
      STEP_EQ(testing::read_file(dir + "/up/" + c.local), content);
    } else if (c.unsendable) {
      // Its control bytes are refused, never stored.
      STEP_EQ(peer.command("PUT " + client_path(dir + "/up/") + c.local), SendResult::SEND_OK);
      STEP_EQ(peer.command("SIZE 1"), SendResult::SEND_OK);
      STEP_EQ(peer.send_frame(1, "x"), SendResult::SEND_REFUSED);
      STEP_EQ(lstat((dir + "/up/" + c.local).c_str(), &st), -1);
    }
  }
  return ::testing::AssertionSuccess();
}

class NameRoundTrip : public ::testing::TestWithParam<std::tuple<size_t, size_t, uint32_t>> {};

TEST_P(NameRoundTrip, IsListedFetchedRenamedDeletedAndStored) {
  const auto& [page, row, bus_ns] = GetParam();
  play_against_server(
      bus_ns,
      [page = page, row = row](LiteralPeer& peer, const std::string& dir) {
        return play_names(peer, dir, page, row);
      },
      names_in(testing::kNameCodePages[page]));
}

INSTANTIATE_TEST_SUITE_P(LiteralPeer, NameRoundTrip,
                         ::testing::Combine(::testing::Values(size_t{0}, size_t{1}, size_t{2}),
                                            ::testing::Range(size_t{0},
                                                             testing::name_table().size()),
                                            ::testing::Values(0u, 1000u)),
                         [](const auto& row) {
                           const char* page = testing::kNameCodePages[std::get<0>(row.param)];
                           std::string what = testing::name_table()[std::get<1>(row.param)].what;
                           for (char& c : what) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return std::string(page != nullptr ? page : "Bytes") + "_" + what +
                                  "_bus_ns_" + std::to_string(std::get<2>(row.param));
                         });

// A client on an old machine pauses between data frames while it writes each
// block to its disk or reads the next one, and its own handshake wait may
// sleep as the link's rules for it say. Such a client must cost no more than its own
// pauses: the server answers it as soon as it is back and, above all, never
// falls into step with a client that sleeps, each end asleep while the other
// answers.

struct SlowClientCase {
  const char* name;
  LiteralPeer::Wait wait;
  uint32_t bus_ns;
  bool upload;
};

// The case by its name in a failure's "where GetParam() = ...".
void PrintTo(const SlowClientCase& c, std::ostream* os) { *os << c.name; }

constexpr auto kFramePause = std::chrono::milliseconds(15);
constexpr size_t kSlowClientBytes = 64 * 1024;  // 16 frames

class SlowClient : public ::testing::TestWithParam<SlowClientCase> {};

TEST_P(SlowClient, CostsOnlyItsOwnPauses) {
  const SlowClientCase& c = GetParam();
  const std::string content = bytes_of_every_value(kSlowClientBytes);
  const size_t frames = (content.size() + 4095) / 4096;
  const auto pauses = static_cast<int64_t>(frames - 1) * kFramePause;
  // What the server may sleep meanwhile: its short sleeps while the client
  // pauses, with room for a client thread that a busy machine holds up. A
  // server that sleeps 100 ms at a late handshake sleeps at least 1.5 s.
  // That is checked after every frame, so that a server which oversleeps
  // ends the test soon.
  const auto may_sleep = pauses + std::chrono::milliseconds(300);
  // A bound on the test's time only: the transfer takes about a second, and
  // a busy machine slows it several times over. A server that falls into
  // step with the client takes minutes a frame; the peer gives up at this
  // bound, so that such a server fails the test soon.
  const auto crawling = std::chrono::seconds(30);
  for (int attempt = 1;; ++attempt) {
    CablePair cable(c.bus_ns);
    LiteralPeer peer(cable);
    peer.set_wait(c.wait);
    peer.set_frame_pause(kFramePause);
    const std::string dir = cable.dir().path();
    const std::string path = client_path(dir + "/slow.bin");
    if (!c.upload) testing::write_file(dir + "/slow.bin", content);
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    std::chrono::microseconds slept{0};
    std::chrono::steady_clock::duration took{};
    {
      ServerThread server(cable);
      const auto play = [&]() -> ::testing::AssertionResult {
        if (c.upload) {
          STEP_EQ(peer.command("PUT " + path), SendResult::SEND_OK);
          STEP_EQ(peer.command("SIZE " + std::to_string(content.size())), SendResult::SEND_OK);
        } else {
          STEP_EQ(peer.command("GET " + path), SendResult::SEND_OK);
          for (std::string reply; reply.rfind("SIZE ", 0) != 0;) {
            reply = peer.reply();
            STEP_EQ(reply.rfind("<failed", 0), std::string::npos);
          }
        }
        const auto start = std::chrono::steady_clock::now();
        peer.set_deadline(start + crawling);
        const std::chrono::microseconds slept_before = server.slept();
        std::string got;
        for (int32_t n = 1; static_cast<size_t>(n) <= frames; ++n) {
          if (c.upload) {
            STEP_EQ(peer.send_frame(n, content.substr(static_cast<size_t>(n - 1) * 4096, 4096)),
                    SendResult::SEND_OK);
          } else {
            std::string payload;
            STEP_EQ(peer.receive_frame(n, &payload), RecvResult::RECV_OK);
            got += payload;
          }
          STEP_EQ(server.slept() - slept_before <= may_sleep, true);
          STEP_EQ(std::chrono::steady_clock::now() - start < crawling, true);
        }
        took = std::chrono::steady_clock::now() - start;
        slept = server.slept() - slept_before;
        peer.clear_deadline();
        if (c.upload) {
          // The server has written the last block once it has accepted it.
          STEP_EQ(testing::read_file(dir + "/slow.bin") == content, true);
        } else {
          STEP_EQ(got == content, true);
        }
        STEP_EQ(peer.command("CONNECT"), SendResult::SEND_OK);
        STEP_EQ(peer.reply(), "OK A");
        return ::testing::AssertionSuccess();
      };
      result = play();
    }
    if (peer.late_reads() == 0 || attempt == 5) {
      EXPECT_TRUE(result) << "attempt " << attempt;
      const auto ms = [](auto d) {
        return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
      };
      EXPECT_LE(slept, may_sleep)
          << "the server slept while the client answered; the transfer took " << ms(took) << " ms";
      RecordProperty("transfer_ms", ms(took));
      RecordProperty("server_slept_ms", ms(slept));
      return;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    LiteralPeer, SlowClient,
    ::testing::Values(
        // At a real port's pace, a client that waits as the link's rules say, sleeps and all.
        SlowClientCase{"LiteralWaitGet_bus_ns_1000", LiteralPeer::Wait::kLiteral, 1000, false},
        SlowClientCase{"LiteralWaitPut_bus_ns_1000", LiteralPeer::Wait::kLiteral, 1000, true},
        // A client that polls without sleeping, at both paces.
        SlowClientCase{"PatientWaitGet_bus_ns_0", LiteralPeer::Wait::kPatient, 0, false},
        SlowClientCase{"PatientWaitPut_bus_ns_0", LiteralPeer::Wait::kPatient, 0, true},
        SlowClientCase{"PatientWaitGet_bus_ns_1000", LiteralPeer::Wait::kPatient, 1000, false},
        SlowClientCase{"PatientWaitPut_bus_ns_1000", LiteralPeer::Wait::kPatient, 1000, true}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tarnel

#include "files/listing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/numbers.h"
#include "files/errors.h"
#include "files/file_system.h"
#include "files/metadata.h"
#include "link/text.h"
#include "testing/server_thread.h"
#include "testing/transfer_testing.h"

namespace tarnel {
namespace {

/// The file system the services reach here: the whole one.
WholeFileSystem whole_fs;

using testing::Exchange;
using testing::Peer;
using testing::TempDir;

/// 2000-06-15 13:45:30 UTC; with the time zone offset 0 of the tests it packs
/// to 684682671.
constexpr int64_t kMtime = 961076730;
constexpr const char* kStamp = "684682671";

void set_mtime(const std::string& path, int64_t seconds) {
  timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

/// A regular file with `bytes`, mode 0644 and the test's modification time.
void make_file(const std::string& path, const std::string& bytes = "") {
  testing::write_file(path, bytes);
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  set_mtime(path, kMtime);
}

/// The name whose line with size 0 and the test's time stamp is `length`
/// bytes long: name TAB "0" TAB stamp TAB "32" CR LF.
std::string name_for_line(size_t length, char fill, int index) {
  std::string number = std::to_string(index);
  const size_t name_length = length - (3 + 1 + 9 + 2 + 2);
  return number + std::string(name_length - number.size(), fill);
}

/// A local absolute path as the client writes it.
std::string client_path_of(const std::string& local) {
  std::string out = local;
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

std::string line_of(const std::string& name, const std::string& size, const std::string& stamp,
                    const std::string& attributes) {
  return name + "\t" + size + "\t" + stamp + "\t" + attributes + "\r\n";
}

/// What the client sees of a listing.
struct Listing {
  std::vector<std::string> replies;  // everything up to and with "SIZE " or "DIR ERROR "
  int32_t total = -1;                // from "SIZE "
  std::vector<std::string> blocks;
  RecvResult last_receive = RecvResult::RECV_OK;

  std::string data() const {
    std::string all;
    for (const auto& b : blocks) all += b;
    return all;
  }
  /// The lines of all blocks, each with its CR LF.
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    const std::string all = data();
    size_t at = 0;
    while (at < all.size()) {
      size_t end = all.find("\r\n", at);
      if (end == std::string::npos) {
        out.push_back(all.substr(at));  // a cut line: the tests catch it
        break;
      }
      out.push_back(all.substr(at, end + 2 - at));
      at = end + 2;
    }
    return out;
  }
  std::multiset<std::string> line_set() const {
    auto l = lines();
    return {l.begin(), l.end()};
  }
};

Listing receive_listing(Peer& peer) {
  Listing got;
  for (;;) {
    std::string text = peer.reply();
    got.replies.push_back(text);
    if (text != "WAIT") break;
  }
  const std::string& last = got.replies.back();
  if (last.rfind("SIZE ", 0) != 0) return got;
  got.total = text_to_number(std::string_view(last).substr(5));
  size_t bytes = 0;
  for (int32_t number = 1; bytes < static_cast<size_t>(got.total); ++number) {
    std::string payload;
    got.last_receive = peer.receive_data(number, &payload);
    if (got.last_receive != RecvResult::RECV_OK) break;
    bytes += payload.size();
    got.blocks.push_back(payload);
  }
  return got;
}

/// list_directory on the server end of a cable, the test as the client.
class ListingTest : public ::testing::Test {
 protected:
  /// Lists `path` (as the client sends it) and returns what the client got;
  /// the server's result goes to result_.
  Listing list(const std::string& path, SecondsClock clock = monotonic_seconds,
               const ClientNames& names = ClientNames()) {
    x_.serve([this, path, clock, names](Lines& lines, testing::FakeConsole& console) {
      result_ = list_directory(lines, console, whole_fs, path, clock, names);
    });
    Listing got = receive_listing(x_.peer());
    x_.join();
    return got;
  }
  std::string dir_path(const std::string& name = "") { return dir_.path() + "/" + name; }

  Exchange x_;
  TempDir dir_;
  std::atomic<bool> result_{false};
};

TEST(ListingSearchPath, PreparesTheClientsPath) {
  struct {
    std::string from, to;
  } const cases[] = {
      {"", "/*.*"},
      {"\\", "/*.*"},
      {"/", "/*.*"},
      {"\\home\\user\\", "/home/user/*.*"},
      {"\\home\\user\\*.txt", "/home/user/*.txt"},
      {"home\\user", "/home/user"},
      {"\\home", "/home"},
      {std::string(255, 'a'), "/" + std::string(254, 'a')},
      // A trailing separator near the limit: what is left of "*.*" after the cut.
      {"\\" + std::string(252, 'a') + "\\", "/" + std::string(252, 'a') + "/*"},
      {"\\" + std::string(253, 'a') + "\\", "/" + std::string(253, 'a') + "/"},
  };
  for (const auto& c : cases) EXPECT_EQ(listing_search_path(c.from), c.to) << c.from;
}

TEST(ListingLine, IsNameSizeStampAttributesWithCrLf) {
  FoundEntry entry;
  entry.name = "readme.txt";
  entry.size = 1234;
  entry.time_stamp = 684682671;
  entry.attributes = 32;
  std::string line;
  ASSERT_TRUE(listing_line(entry, line));
  EXPECT_EQ(line, "readme.txt\t1234\t684682671\t32\r\n");
  EXPECT_EQ(line.size(), 30u);

  entry.time_stamp = -165609472;
  entry.attributes = 17;
  ASSERT_TRUE(listing_line(entry, line));
  EXPECT_EQ(line, "readme.txt\t1234\t-165609472\t17\r\n");
}

TEST(ListingLine, EntryWhoseLineCannotBeWholeIsLeftOut) {
  FoundEntry entry;
  entry.size = 0;
  entry.time_stamp = 684682671;
  entry.attributes = 32;
  std::string line;
  entry.name = std::string(238, 'n');  // 238 + 17 = 255: fits exactly
  ASSERT_TRUE(listing_line(entry, line));
  EXPECT_EQ(line.size(), 255u);
  EXPECT_EQ(line.substr(253), "\r\n");
  entry.name = std::string(239, 'n');
  EXPECT_FALSE(listing_line(entry, line));
  EXPECT_TRUE(line.empty());
}

TEST_F(ListingTest, LinesCarryNameSizeStampAndAttributes) {
  make_file(dir_path("a"), "0123456789");
  make_file(dir_path("b.c"));
  const std::string sub = dir_path("sub");
  ASSERT_EQ(mkdir(sub.c_str(), 0555), 0);
  ASSERT_EQ(chmod(sub.c_str(), 0555), 0);
  set_mtime(sub, kMtime);
  struct stat st;
  ASSERT_EQ(stat(sub.c_str(), &st), 0);

  Listing got = list(client_path_of(dir_path()));
  const std::multiset<std::string> expected = {
      line_of("a", "10", kStamp, "32"),
      line_of("b.c", "0", kStamp, "32"),
      line_of("sub", std::to_string(st.st_size), kStamp, "17"),
  };
  EXPECT_EQ(got.line_set(), expected);
  ASSERT_EQ(got.replies.size(), 1u);
  size_t sum = 0;
  for (const auto& l : expected) sum += l.size();
  EXPECT_EQ(got.replies[0], "SIZE " + std::to_string(sum));
  EXPECT_EQ(got.blocks.size(), 1u);
  EXPECT_TRUE(result_);
  EXPECT_EQ(x_.console().output(), "");  // no "*" for the last block
}

TEST_F(ListingTest, EmptyDirectoryGivesSizeZeroAndNoBlock) {
  Listing got = list(dir_path());
  EXPECT_EQ(got.replies, std::vector<std::string>{"SIZE 0"});
  EXPECT_TRUE(got.blocks.empty());
  // A block would have found no one to take it, and failed the listing.
  EXPECT_TRUE(result_);
}

TEST_F(ListingTest, NothingFoundGivesDirError) {
  make_file(dir_path("a.txt"));
  struct {
    std::string path;
    std::string reply;
  } const cases[] = {
      {dir_path("nosuchdir/"), "DIR ERROR 18"},
      {dir_path("nosuchfile"), "DIR ERROR 3"},
      {dir_path("*.xyz"), "DIR ERROR 18"},
      {dir_path("a.txt/below"), "DIR ERROR 18"},  // not ENOENT
  };
  for (const auto& c : cases) {
    Listing got = list(c.path);
    EXPECT_EQ(got.replies, std::vector<std::string>{c.reply}) << c.path;
    EXPECT_TRUE(result_) << c.path;  // the error reply was delivered
    EXPECT_EQ(search_error, c.reply == "DIR ERROR 3" ? 3 : 18);
  }
}

TEST_F(ListingTest, PathWithoutTrailingSeparatorListsTheEntryItself) {
  const std::string sub = dir_path("home");
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  make_file(sub + "/inside");
  set_mtime(sub, kMtime);
  struct stat st;
  ASSERT_EQ(stat(sub.c_str(), &st), 0);

  Listing got = list(client_path_of(sub));
  EXPECT_EQ(got.lines(),
            std::vector<std::string>{line_of("home", std::to_string(st.st_size), kStamp, "16")});
  EXPECT_TRUE(result_);
}

TEST_F(ListingTest, DotFilesListedButNeverDotAndDotDot) {
  make_file(dir_path(".profile"));
  make_file(dir_path("Makefile"));
  const std::string ro = dir_path(".ro");
  make_file(ro);
  ASSERT_EQ(chmod(ro.c_str(), 0444), 0);

  Listing got = list(dir_path("*.*"));
  EXPECT_EQ(got.line_set(), (std::multiset<std::string>{
                                line_of(".profile", "0", kStamp, "32"),
                                line_of("Makefile", "0", kStamp, "32"),
                                line_of(".ro", "0", kStamp, "33"),
                            }));
  EXPECT_EQ(search_error, SEARCH_NO_MORE);  // a complete listing ran out of entries
}

TEST_F(ListingTest, SymbolicLinksListAsTheirTargetDanglingOnesNotAtAll) {
  const std::string target = dir_path("target");
  ASSERT_EQ(mkdir(target.c_str(), 0555), 0);
  ASSERT_EQ(chmod(target.c_str(), 0555), 0);
  set_mtime(target, kMtime);
  ASSERT_EQ(symlink(target.c_str(), dir_path("link").c_str()), 0);
  ASSERT_EQ(symlink(dir_path("gone").c_str(), dir_path("dangling").c_str()), 0);
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  const std::string size = std::to_string(st.st_size);

  Listing got = list(dir_path());
  EXPECT_EQ(got.line_set(), (std::multiset<std::string>{
                                line_of("target", size, kStamp, "17"),
                                line_of("link", size, kStamp, "17"),
                            }));
}

TEST_F(ListingTest, FortyByteLinesFillTheFirstBlockWith98Lines) {
  for (int i = 0; i < 150; ++i) make_file(dir_path(name_for_line(40, 'f', i)));
  Listing got = list(dir_path());
  EXPECT_EQ(got.total, 150 * 40);
  ASSERT_EQ(got.blocks.size(), 2u);
  EXPECT_EQ(got.blocks[0].size(), 98u * 40);  // sent once the fill passed 3896
  EXPECT_EQ(got.blocks[1].size(), 52u * 40);
  EXPECT_EQ(got.lines().size(), 150u);
  for (const auto& line : got.lines()) EXPECT_EQ(line.size(), 40u);
  EXPECT_EQ(x_.console().output(), "*");  // one star per full block
  EXPECT_TRUE(result_);
}

TEST_F(ListingTest, BlockIsSentBeforeALineThatWouldPassThePayloadLimit) {
  // 19 lines of 205 bytes make 3895, not yet past 3896; a 20th would make a
  // block of 4100 bytes.
  std::multiset<std::string> expected;
  for (int i = 0; i < 45; ++i) {
    const std::string name = name_for_line(205, 'g', i);
    make_file(dir_path(name));
    expected.insert(line_of(name, "0", kStamp, "32"));
  }
  Listing got = list(dir_path());
  EXPECT_EQ(got.total, 45 * 205);
  std::vector<size_t> sizes;
  for (const auto& b : got.blocks) sizes.push_back(b.size());
  EXPECT_EQ(sizes, (std::vector<size_t>{19 * 205, 19 * 205, 7 * 205}));
  EXPECT_EQ(got.line_set(), expected);
  EXPECT_EQ(x_.console().output(), "**");
  EXPECT_TRUE(result_);
}

TEST_F(ListingTest, EntryWithANameTooLongForItsLineIsListedUnderAStandIn) {
  // Left out, such an entry would be missed by whoever copies the folder.
  const std::string long_name(250, 'L');
  const std::string would_fit_today(238, 'F');  // with short numbers its line is 255 bytes
  const std::string longest_as_it_is(LISTING_NAME_MAX, 'E');
  for (const std::string& name : {long_name, would_fit_today, longest_as_it_is}) {
    make_file(dir_path(name));
  }
  make_file(dir_path("short"));

  Listing got = list(dir_path());
  const ClientNames names;
  const std::multiset<std::string> expected = {
      line_of(names.stand_in(long_name), "0", kStamp, "32"),
      line_of(names.stand_in(would_fit_today), "0", kStamp, "32"),
      line_of(longest_as_it_is, "0", kStamp, "32"),
      line_of("short", "0", kStamp, "32"),
  };
  EXPECT_EQ(got.line_set(), expected);
  EXPECT_EQ(static_cast<size_t>(got.total), got.data().size());  // the total is what is sent
  EXPECT_TRUE(result_);
}

TEST_F(ListingTest, ANameCannotFakeListingEntries) {
  const std::string forged = "inj\t999\t684682671\t16\r\nfake";
  make_file(dir_path(forged));
  make_file(dir_path("fake"));
  Listing got = list(dir_path());
  const std::string stand_in = ClientNames().stand_in(forged);
  EXPECT_EQ(stand_in.find_first_of("\t\r\n"), std::string::npos);
  EXPECT_EQ(got.line_set(), (std::multiset<std::string>{line_of(stand_in, "0", kStamp, "32"),
                                                        line_of("fake", "0", kStamp, "32")}));
  EXPECT_TRUE(result_);
}

TEST_F(ListingTest, PatternsMatchNamesAsTheClientSeesThem) {
  Charset cp1252;
  std::string error;
  ASSERT_TRUE(Charset::open("CP1252", &cp1252, &error)) << error;
  const ClientNames names(cp1252);
  make_file(dir_path("M\xC3\xBCller.txt"));  // UTF-8 on the disk
  make_file(dir_path("Mu.txt"));
  make_file(dir_path("M\xC3\xBC\xCE\xA9.txt"));  // with an Omega: a stand-in
  // "M" + CP1252's u umlaut + "*": the UTF-8 name matches, seen as CP1252.
  Listing got = list(client_path_of(dir_path()) + "M\xFC*.*", monotonic_seconds, names);
  EXPECT_EQ(got.line_set(),
            (std::multiset<std::string>{
                line_of("M\xFCller.txt", "0", kStamp, "32"),
                line_of(names.stand_in("M\xC3\xBC\xCE\xA9.txt"), "0", kStamp, "32")}));
  // One named entry, by its stand-in.
  got = list(client_path_of(dir_path()) + names.stand_in("M\xC3\xBC\xCE\xA9.txt"),
             monotonic_seconds, names);
  EXPECT_EQ(got.lines(), (std::vector<std::string>{
                             line_of(names.stand_in("M\xC3\xBC\xCE\xA9.txt"), "0", kStamp, "32")}));
}

TEST_F(ListingTest, AStandInThatIsTheNameOfAnotherEntryListsOnlyThatEntry) {
  struct Case {
    const char* code_page;  // nullptr: names as bytes
    std::string local;      // listed under a stand-in
  } const cases[] = {
      {nullptr, "tab\tname.txt"}, {"CP1252", "M\xC3\xBC\xCE\xA9.txt"},  // u umlaut and Omega
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.local);
    ClientNames names;
    if (c.code_page != nullptr) {
      Charset charset;
      std::string error;
      ASSERT_TRUE(Charset::open(c.code_page, &charset, &error)) << error;
      names = ClientNames(charset);
    }
    TempDir dir;
    const std::string stand_in = names.stand_in(c.local);
    std::string real;  // the stand-in as a name on this side
    ASSERT_TRUE(names.charset().to_utf8(stand_in, &real));
    make_file(dir.file(c.local), "abc");
    make_file(dir.file(real), "the real one");
    const std::string folder = client_path_of(dir.path()) + "\\";
    const std::string real_line = line_of(stand_in, "12", kStamp, "32");
    for (const std::string& path : {folder, folder + "*.txt", folder + stand_in}) {
      Listing got = list(path, monotonic_seconds, names);
      EXPECT_EQ(got.lines(), std::vector<std::string>{real_line}) << path;
      EXPECT_EQ(static_cast<size_t>(got.total), got.data().size()) << path;
      EXPECT_TRUE(result_);
    }
    // Once the name is free again the entry is listed under its stand-in,
    // the same as ever.
    ASSERT_EQ(unlink(dir.file(real).c_str()), 0);
    EXPECT_EQ(list(folder, monotonic_seconds, names).lines(),
              std::vector<std::string>{line_of(stand_in, "3", kStamp, "32")});
  }
}

TEST_F(ListingTest, AnUnusableNameIsRefusedAsAMissingEntry) {
  Charset cp1252;
  std::string error;
  ASSERT_TRUE(Charset::open("CP1252", &cp1252, &error)) << error;
  make_file(dir_path("a\tb"));
  for (const std::string& name : {std::string("a\tb"), std::string("*\x81*")}) {
    Listing got = list(client_path_of(dir_path()) + name, monotonic_seconds, ClientNames(cp1252));
    EXPECT_EQ(got.replies, (std::vector<std::string>{"DIR ERROR 3"})) << name;
  }
}

TEST_F(ListingTest, FilesOf2GiBAndMoreShowTheLargestSize) {
  const std::string sizes[] = {"2147483647", "2147483648", "4294967301"};
  for (const auto& size : sizes) {
    const std::string path = dir_path("s" + size);
    make_file(path);
    ASSERT_EQ(truncate(path.c_str(), std::stoll(size)), 0);  // sparse
    set_mtime(path, kMtime);
  }
  Listing got = list(dir_path());
  EXPECT_EQ(got.line_set(), (std::multiset<std::string>{
                                line_of("s2147483647", "2147483647", kStamp, "32"),
                                line_of("s2147483648", "2147483647", kStamp, "32"),
                                line_of("s4294967301", "2147483647", kStamp, "32"),
                            }));
}

TEST(Listing, MoreLinesThanFitInAHundredBlocks) {
  TempDir dir;
  std::multiset<std::string> expected;
  for (int i = 0; i < 2000; ++i) {
    const std::string name = name_for_line(205, 'h', i);
    make_file(dir.path() + "/" + name);
    expected.insert(line_of(name, "0", kStamp, "32"));
  }
  // 400 KB cross the cable here. The server end waits patiently, as the
  // test's end does: with the server's sleeping wait, every moment the test's
  // thread is kept off a busy core costs 100 ms. What the test looks at is
  // the blocks, not the waiting.
  testing::CablePair cable(0);
  Lines server(cable.server_port(), testing::kTestPortBase, Waiting::kPatient);
  Peer peer(cable);
  testing::FakeConsole console;
  bool result = false;
  std::thread serving(
      [&] { result = list_directory(server, console, whole_fs, dir.path() + "/"); });
  Listing got = receive_listing(peer);
  serving.join();

  EXPECT_EQ(got.total, 2000 * 205);
  ASSERT_EQ(got.blocks.size(), 106u);  // 105 of 19 lines, then 5 lines
  for (size_t i = 0; i + 1 < got.blocks.size(); ++i) {
    EXPECT_GT(got.blocks[i].size(), 3840u) << i;
    EXPECT_LE(got.blocks[i].size(), 4096u) << i;
  }
  EXPECT_EQ(got.line_set(), expected);
  EXPECT_EQ(console.output(), std::string(105, '*'));
  EXPECT_TRUE(result);
}

TEST_F(ListingTest, KeepAliveAtMostOncePerSecondOfTheClock) {
  for (int i = 0; i < 5; ++i) make_file(dir_path("f" + std::to_string(i)));
  // Seven entries ("." and ".." too): the clock reads 10 at the start, then
  // once per entry 10, 10, 11, 11, 12, 13, 13.
  auto readings =
      std::make_shared<std::vector<int64_t>>(std::vector<int64_t>{10, 10, 10, 11, 11, 12, 13, 13});
  auto next = std::make_shared<size_t>(0);
  Listing got = list(dir_path(), [readings, next] {
    const size_t i = std::min(*next, readings->size() - 1);
    ++*next;
    return (*readings)[i];
  });
  EXPECT_EQ(got.replies,
            (std::vector<std::string>{"WAIT", "WAIT", "WAIT", "SIZE " + std::to_string(5 * 19)}));
  EXPECT_EQ(got.lines().size(), 5u);
  EXPECT_TRUE(result_);

  Listing quiet = list(dir_path(), [] { return int64_t{42}; });
  EXPECT_EQ(quiet.replies, std::vector<std::string>{"SIZE 95"});
}

// Through the command loop: the console's result line, and a key press.
class ListCommand : public ::testing::Test {
 protected:
  ListCommand() : peer_(cable_) { server_ = std::make_unique<testing::ServerThread>(cable_); }
  ~ListCommand() override { server_.reset(); }
  testing::CablePair cable_{0};
  TempDir dir_;
  Peer peer_;
  std::unique_ptr<testing::ServerThread> server_;
};

TEST_F(ListCommand, ResultLineFollowsTheListing) {
  make_file(dir_.path() + "/a");
  const std::string command = "LIST " + client_path_of(dir_.path()) + "\\";
  ASSERT_EQ(peer_.send_command(command), SendResult::SEND_OK);
  Listing got = receive_listing(peer_);
  EXPECT_EQ(got.lines(), std::vector<std::string>{line_of("a", "0", kStamp, "32")});

  const std::string missing = "LIST " + client_path_of(dir_.path()) + "\\nosuchdir\\";
  ASSERT_EQ(peer_.send_command(missing), SendResult::SEND_OK);
  EXPECT_EQ(peer_.reply(), "DIR ERROR 18");
  server_->stop();
  EXPECT_EQ(server_->console().output(), command + "\nLIST OK\n" + missing + "\nLIST OK\n");
}

TEST_F(ListCommand, KeyPressWhileTheFirstBlockFillsSendsOneCancelFrame) {
  for (int i = 0; i < 150; ++i) make_file(dir_.path() + "/" + name_for_line(40, 'k', i));
  const std::string command = "LIST " + client_path_of(dir_.path()) + "\\";
  ASSERT_EQ(peer_.send_command(command), SendResult::SEND_OK);
  // The first pass does not look at the keyboard; the second does, once the
  // first block is full.
  server_->console().press_key();
  // (A keep-alive comes first when the first pass runs across a tick of the
  // seconds clock.)
  std::string size = peer_.reply();
  while (size == "WAIT") size = peer_.reply();
  EXPECT_EQ(size, "SIZE 6000");
  std::string payload;
  EXPECT_EQ(peer_.receive_data(1, &payload), RecvResult::RECV_REFUSED);  // the cancel frame
  EXPECT_TRUE(payload.empty());
  // The key stays pending: the loop ends by itself.
  server_->stop();
  EXPECT_EQ(server_->console().output(), command + "\nLIST FAILED\n");
}

TEST(Listing, LinkBusyOnEntrySendsNothing) {
  testing::CablePair cable(0);
  Lines lines = cable.server_lines();
  testing::FakeConsole console;
  lines.set_busy(true);
  EXPECT_FALSE(list_directory(lines, console, whole_fs, "\\"));
  EXPECT_EQ(cable.cable().writes(VirtualCable::kEndA), 0u);
  EXPECT_EQ(cable.cable().reads(VirtualCable::kEndA), 0u);
}

}  // namespace
}  // namespace tarnel

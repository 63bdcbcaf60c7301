// Names end to end: a folder holding every name of the table copied back
// whole by "get -r", with no code page and with the server and the client
// both under CP1252 and CP850, as the other PC would see it; an upload of
// an accented name stored in UTF-8; an entry renamed and deleted by the
// stand-in the listing gives it.
#include "files/names.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "base/charset.h"
#include "client/protocol.h"
#include "testing/name_table.h"
#include "testing/temp_dir.h"
#include "tests/end_to_end.h"

namespace tarnel::end_to_end {
namespace {

using testing::kNameCodePages;
using testing::name_table;

std::set<std::string> entries(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    closedir(d);
  }
  return names;
}

std::string backslashes(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

class NamesEndToEnd : public ::testing::TestWithParam<size_t> {};

TEST_P(NamesEndToEnd, EveryNameComesBackAndAnAccentedNameIsStoredInUtf8) {
  const char* code_page = kNameCodePages[GetParam()];
  std::vector<std::string> charset;
  if (code_page != nullptr) charset = {"--charset", code_page};
  Charset table;
  std::string error;
  if (code_page != nullptr) {
    ASSERT_TRUE(Charset::open(code_page, &table, &error)) << error;
  }
  const ClientNames names = code_page != nullptr ? ClientNames(table) : ClientNames();

  Bench bench;
  bench.start_server(charset);
  const std::string folder = bench.file("names");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  // What the client stores each file as: its listed name, in UTF-8.
  std::map<std::string, std::string> expected;
  for (size_t i = 0; i < name_table().size(); ++i) {
    const std::string& local = name_table()[i].local;
    testing::write_file(folder + "/" + local, "row " + std::to_string(i));
    std::string here;
    ASSERT_TRUE(table.to_utf8(names.client_name(local), &here));
    expected[here] = "row " + std::to_string(i);
  }
  ASSERT_EQ(expected.size(), name_table().size());

  auto client = [&](std::vector<std::string> args) {
    args.insert(args.begin(), charset.begin(), charset.end());
    return run_client(bench, args);
  };

  // Listed: every entry on a line of its own.
  ClientRun ls = client({"ls", "--raw", backslashes(folder) + "\\"});
  ASSERT_EQ(ls.exit, 0) << ls;
  std::set<std::string> listed;
  for (const client::ListingLine& line : client::parse_listing(ls.out)) {
    EXPECT_TRUE(line.parsed) << line.raw;
    listed.insert(line.entry.name);
  }
  EXPECT_EQ(listed.size(), name_table().size()) << ls.out;

  // The whole folder: every file, none missing, none twice.
  ClientRun get = client({"get", "-r", backslashes(folder), bench.file("back")});
  ASSERT_EQ(get.exit, 0) << get;
  const std::set<std::string> back = entries(bench.file("back"));
  EXPECT_EQ(back.size(), expected.size());
  for (const auto& [name, content] : expected) {
    EXPECT_EQ(slurp(bench.file("back/" + name)), content) << name;
  }

  // Stored under its UTF-8 name, whatever the code page on the wire.
  const std::string accented = "\xC3\x84rger \xC3\xA9t\xC3\xA9.txt";  // A-umlaut, e-acute
  testing::write_file(bench.file(accented), "put");
  ASSERT_EQ(mkdir(bench.file("up").c_str(), 0755), 0);
  ClientRun put = client({"put", bench.file(accented), backslashes(bench.file("up")) + "\\"});
  ASSERT_EQ(put.exit, 0) << put;
  EXPECT_EQ(entries(bench.file("up")), std::set<std::string>{accented});

  // Renamed and deleted by the stand-in of a name with a TAB.
  std::string stand_in;
  ASSERT_TRUE(table.to_utf8(names.stand_in("tab\tname.txt"), &stand_in));
  ClientRun mv =
      client({"mv", backslashes(folder) + "\\" + stand_in, backslashes(folder) + "\\renamed.txt"});
  ASSERT_EQ(mv.exit, 0) << mv;
  EXPECT_EQ(slurp(folder + "/renamed.txt"), slurp(bench.file("back/" + stand_in)));
  ASSERT_TRUE(table.to_utf8(names.stand_in("esc\x1B[31m.txt"), &stand_in));
  ClientRun rm = client({"rm", backslashes(folder) + "\\" + stand_in});
  ASSERT_EQ(rm.exit, 0) << rm;
  EXPECT_EQ(entries(folder).count("esc\x1B[31m.txt"), 0u);
  EXPECT_EQ(bench.stop_server(), 0);
}

INSTANTIATE_TEST_SUITE_P(CodePages, NamesEndToEnd, ::testing::Values(0, 1, 2),
                         [](const ::testing::TestParamInfo<size_t>& row) {
                           const char* page = kNameCodePages[row.param];
                           return std::string(page != nullptr ? page : "Bytes");
                         });

// The 255-byte measure of a command is taken on what goes on the wire:
// under CP1252 every accented letter is one byte there and two in UTF-8.
TEST(CodePagePaths, APathUnder255BytesOnTheWireIsServedWhateverItsUtf8Length) {
  const std::vector<std::string> charset = {"--charset", "CP1252"};
  Charset cp1252;
  std::string error;
  ASSERT_TRUE(Charset::open("CP1252", &cp1252, &error)) << error;
  Bench bench;
  bench.start_server(charset);
  auto client = [&](std::vector<std::string> args) {
    args.insert(args.begin(), charset.begin(), charset.end());
    return run_client(bench, args);
  };
  const std::string top = backslashes(bench.dir().path());
  // As many letters as leave room for "LIST ", "GET " and the file's name.
  const size_t n = std::min<size_t>(100, (255 - 16 - top.size()) / 2);
  std::string e_acute, u_umlaut;
  for (size_t i = 0; i < n; ++i) {
    e_acute += "\xC3\xA9";
    u_umlaut += "\xC3\xBC";
  }
  const std::string inner = bench.file(e_acute + "/" + u_umlaut);
  ASSERT_EQ(mkdir(bench.file(e_acute).c_str(), 0755), 0);
  ASSERT_EQ(mkdir(inner.c_str(), 0755), 0);
  testing::write_file(inner + "/f.txt", "deep");
  const std::string folder = top + "\\" + e_acute + "\\" + u_umlaut + "\\";
  std::string wire;
  ASSERT_TRUE(cp1252.from_utf8("GET " + folder + "f.txt", &wire));
  ASSERT_LE(wire.size(), 255u);
  ASSERT_GT(folder.size(), 255u);

  ClientRun ls = client({"ls", folder});
  ASSERT_EQ(ls.exit, 0) << ls;
  EXPECT_NE(ls.out.find("f.txt"), std::string::npos) << ls;
  ClientRun get = client({"get", folder + "f.txt", bench.file("got.txt")});
  ASSERT_EQ(get.exit, 0) << get;
  EXPECT_EQ(slurp(bench.file("got.txt")), "deep");
  testing::write_file(bench.file("g.txt"), "stored");
  ClientRun put = client({"put", bench.file("g.txt"), folder});
  ASSERT_EQ(put.exit, 0) << put;
  EXPECT_EQ(slurp(inner + "/g.txt"), "stored");
  ClientRun tree = client({"get", "-r", top + "\\" + e_acute, bench.file("back")});
  ASSERT_EQ(tree.exit, 0) << tree;
  EXPECT_EQ(slurp(bench.file("back/" + u_umlaut + "/f.txt")), "deep");
  EXPECT_EQ(slurp(bench.file("back/" + u_umlaut + "/g.txt")), "stored");

  // Past 255 bytes on the wire the command is still refused, before it is sent.
  std::string longer = folder;
  do {
    longer += "\xC3\xA9";
    ASSERT_TRUE(cp1252.from_utf8("LIST " + longer, &wire));
  } while (wire.size() <= 255);
  ClientRun too_long = client({"ls", longer});
  EXPECT_EQ(too_long.exit, 2) << too_long;
  EXPECT_NE(too_long.err.find("255 bytes"), std::string::npos) << too_long;
  EXPECT_EQ(bench.stop_server(), 0);
}

// A file really called as another entry's stand-in: the name is that file's
// for the listing and for every command; the entry the stand-in was made for
// is neither listed nor reached by it until the name is free again.
TEST(StandInClash, ARealNameWinsOverTheStandInOfAnotherEntry) {
  const ClientNames names;
  const std::string tab = "tab\tname.txt";
  const std::string stand_in = names.stand_in(tab);
  Bench bench;
  bench.start_server();
  const std::string folder = bench.file("clash");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  testing::write_file(folder + "/" + tab, "tab");
  testing::write_file(folder + "/" + stand_in, "real");
  const std::string remote = backslashes(folder) + "\\" + stand_in;
  auto listed = [&]() {
    std::vector<std::pair<std::string, int32_t>> found;
    ClientRun ls = run_client(bench, {"ls", "--raw", backslashes(folder) + "\\"});
    EXPECT_EQ(ls.exit, 0) << ls;
    for (const client::ListingLine& line : client::parse_listing(ls.out)) {
      found.emplace_back(line.entry.name, line.entry.size);
    }
    std::sort(found.begin(), found.end());
    return found;
  };

  using Listed = std::vector<std::pair<std::string, int32_t>>;
  EXPECT_EQ(listed(), (Listed{{stand_in, 4}}));
  ClientRun tree = run_client(bench, {"get", "-r", backslashes(folder), bench.file("back")});
  ASSERT_EQ(tree.exit, 0) << tree;
  EXPECT_EQ(entries(bench.file("back")), std::set<std::string>{stand_in});
  EXPECT_EQ(slurp(bench.file("back/" + stand_in)), "real");
  ClientRun get = run_client(bench, {"get", remote, bench.file("got")});
  ASSERT_EQ(get.exit, 0) << get;
  EXPECT_EQ(slurp(bench.file("got")), "real");
  testing::write_file(bench.file("new"), "newer");
  ClientRun put = run_client(bench, {"put", bench.file("new"), remote});
  ASSERT_EQ(put.exit, 0) << put;
  EXPECT_EQ(slurp(folder + "/" + stand_in), "newer");
  ClientRun mv = run_client(bench, {"mv", remote, backslashes(folder) + "\\moved.txt"});
  ASSERT_EQ(mv.exit, 0) << mv;
  EXPECT_EQ(slurp(folder + "/moved.txt"), "newer");
  EXPECT_EQ(slurp(folder + "/" + tab), "tab");

  // The name is free: the stand-in, the same as before, is the TAB file's.
  EXPECT_EQ(listed(), (Listed{{"moved.txt", 5}, {stand_in, 3}}));
  get = run_client(bench, {"get", remote, bench.file("got2")});
  ASSERT_EQ(get.exit, 0) << get;
  EXPECT_EQ(slurp(bench.file("got2")), "tab");

  // Taken again, by a file on this side: "rm" deletes that file only.
  testing::write_file(folder + "/" + stand_in, "again");
  ClientRun rm = run_client(bench, {"rm", remote});
  ASSERT_EQ(rm.exit, 0) << rm;
  EXPECT_EQ(entries(folder), (std::set<std::string>{tab, "moved.txt"}));
  EXPECT_EQ(bench.stop_server(), 0);
}

TEST(CharsetOption, AnUnknownCodePageIsRefusedAtStart) {
  for (const char* program : {"tarnel-sim", "tarnel-client"}) {
    testing::TempDir dir;
    const std::string err_path = dir.file("err");
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    testing::ChildOptions o;
    o.stdin_fd = in;
    o.stdout_fd = err;
    o.stderr_fd = err;
    o.cwd = dir.path();
    const pid_t pid = testing::start_child(testing::program_path(program),
                                           {"--charset", "NO-SUCH-PAGE", "ls"}, o);
    close(in);
    close(err);
    const int status = testing::wait_child(pid, 10000);
    ASSERT_TRUE(status != -1 && WIFEXITED(status)) << program;
    EXPECT_EQ(WEXITSTATUS(status), 2) << program;
    const std::string text = slurp(err_path);
    EXPECT_NE(text.find("NO-SUCH-PAGE"), std::string::npos) << text;
    EXPECT_EQ(text.find("TARNEL:parallel port server"), std::string::npos) << text;
    EXPECT_EQ(entries(dir.path()), std::set<std::string>{"err"}) << program;  // no cable made
  }
}

}  // namespace
}  // namespace tarnel::end_to_end

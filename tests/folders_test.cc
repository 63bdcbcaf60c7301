// Whole folders through the client: put -r and get -r of a tree, several
// sources in one run, and a failing file that does not stop the copy.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>

#include "testing/temp_dir.h"
#include "tests/end_to_end.h"

namespace tarnel::end_to_end {
namespace {

struct Node {
  bool directory = false;
  std::string content;
  time_t mtime = 0;
};

/// Every file and directory under `root`, by path relative to it.
std::map<std::string, Node> read_tree(const std::string& root, const std::string& rel = "") {
  std::map<std::string, Node> tree;
  const std::string dir = rel.empty() ? root : root + "/" + rel;
  DIR* d = opendir(dir.c_str());
  if (!d) {
    ADD_FAILURE() << "cannot read " << dir;
    return tree;
  }
  std::vector<std::string> names;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  for (const std::string& name : names) {
    const std::string r = rel.empty() ? name : rel + "/" + name;
    struct stat st;
    EXPECT_EQ(lstat((root + "/" + r).c_str(), &st), 0);
    Node node;
    node.mtime = st.st_mtime;
    if (S_ISDIR(st.st_mode)) {
      node.directory = true;
      for (auto& [k, v] : read_tree(root, r)) tree[k] = v;
    } else {
      node.content = slurp(root + "/" + r);
    }
    tree[r] = node;
  }
  return tree;
}

void set_mtime(const std::string& path, time_t t) {
  struct timespec times[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

/// A tree with nested and empty directories, empty files and a large file
/// (1 MB raw; less in text mode, which the small files cover as well); the
/// files' times on even seconds (the wire keeps two-second steps).
void make_tree(const std::string& root, bool text) {
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  for (const char* d : {"/sub", "/sub/deeper", "/sub/deeper/deepest", "/empty dir"}) {
    ASSERT_EQ(mkdir((root + d).c_str(), 0755), 0);
  }
  struct File {
    const char* path;
    size_t size;
  };
  const File files[] = {{"/notes.txt", 3000},
                        {"/empty", 0},
                        {"/sub/big.bin", text ? 100000u : 1u << 20},
                        {"/sub/deeper/one", 1},
                        {"/sub/deeper/deepest/e2", 0},
                        {"/sub/deeper/deepest/f", 4097}};
  time_t t = 1600000000;
  for (const File& f : files) {
    testing::write_file(root + f.path, random_content(f.size, text, static_cast<uint32_t>(f.size)));
    set_mtime(root + f.path, t);
    t += 86400 * 3 + 3602;
  }
}

std::string backslashes(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

size_t count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

class TreeCopy : public ::testing::TestWithParam<bool> {};

TEST_P(TreeCopy, PutAndGetBringBackAnIdenticalTree) {
  const bool text = GetParam();
  use_kernel_time_zone();
  Bench bench;
  bench.start_server();
  make_tree(bench.file("tree"), text);
  ASSERT_EQ(mkdir(bench.file("srv").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(bench.file("back").c_str(), 0755), 0);
  std::vector<std::string> mode;
  if (text) mode.push_back("--text");

  // Into an existing directory, named as the file manager names it: the
  // tree keeps its name there.
  std::vector<std::string> put = mode;
  put.insert(put.end(), {"put", "-r", bench.file("tree"), backslashes(bench.remote("srv")) + "\\"});
  ClientRun up = run_client(bench, put);
  ASSERT_EQ(up.exit, 0) << up;
  const auto original = read_tree(bench.file("tree"));
  const auto stored = read_tree(bench.file("srv/tree"));
  ASSERT_EQ(stored.size(), original.size());
  for (const auto& [path, node] : original) {
    SCOPED_TRACE(path);
    ASSERT_EQ(stored.count(path), 1u);
    EXPECT_EQ(stored.at(path).directory, node.directory);
    EXPECT_EQ(stored.at(path).content, node.content);
    if (!node.directory) {
      EXPECT_EQ(stored.at(path).mtime, node.mtime);
    }
  }
  // A report with its rate for each of the six files, then the summary.
  EXPECT_EQ(count(up.out, " KB/s\n"), 7u) << up.out;
  EXPECT_NE(up.out.find("Sent 6 files, "), std::string::npos) << up.out;

  // Back into an existing directory, with the server's name again.
  std::vector<std::string> get = mode;
  get.insert(get.end(), {"get", "-r", bench.remote("srv/tree"), bench.file("back")});
  ClientRun down = run_client(bench, get);
  ASSERT_EQ(down.exit, 0) << down;
  const auto back = read_tree(bench.file("back/tree"));
  ASSERT_EQ(back.size(), original.size());
  for (const auto& [path, node] : original) {
    SCOPED_TRACE(path);
    ASSERT_EQ(back.count(path), 1u);
    EXPECT_EQ(back.at(path).directory, node.directory);
    EXPECT_EQ(back.at(path).content, node.content);
    if (node.directory) {
      // The server's directory times, in the wire's two-second steps.
      const time_t server = stored.at(path).mtime;
      EXPECT_LE(back.at(path).mtime, server);
      EXPECT_GE(back.at(path).mtime, server - 1);
    } else {
      EXPECT_EQ(back.at(path).mtime, node.mtime);
    }
  }
  EXPECT_NE(down.out.find("Received 6 files, "), std::string::npos) << down.out;
  EXPECT_EQ(count(down.out, " KB/s\n"), 7u) << down.out;

  // To a name that does not exist yet: the copy takes that name.
  std::vector<std::string> again = mode;
  again.insert(again.end(), {"get", "-r", bench.remote("srv/tree/sub/deeper"), bench.file("copy")});
  ClientRun renamed = run_client(bench, again);
  ASSERT_EQ(renamed.exit, 0) << renamed;
  EXPECT_EQ(slurp(bench.file("copy/deepest/f")), original.at("sub/deeper/deepest/f").content);
  EXPECT_EQ(bench.stop_server(), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, TreeCopy, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& row) {
                           return std::string(row.param ? "Text" : "Raw");
                         });

TEST(SeveralFiles, AFailingFileIsReportedAndTheCopyGoesOn) {
  Bench bench;
  bench.start_server();
  testing::write_file(bench.file("a"), "first");
  testing::write_file(bench.file("b"), "second");
  ASSERT_EQ(mkdir(bench.file("srv").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(bench.file("back").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(bench.file("adir").c_str(), 0755), 0);

  ClientRun up = run_client(bench, {"put", bench.file("a"), bench.file("missing"),
                                    bench.file("adir"), bench.file("b"), bench.remote("srv")});
  EXPECT_EQ(up.exit, 12) << up;  // a local file that cannot be read comes first
  EXPECT_EQ(slurp(bench.file("srv/a")), "first");
  EXPECT_EQ(slurp(bench.file("srv/b")), "second");
  EXPECT_NE(up.err.find("cannot read " + bench.file("missing")), std::string::npos) << up;
  EXPECT_NE(up.err.find("omitting directory " + bench.file("adir")), std::string::npos) << up;
  EXPECT_NE(up.out.find("Sent 2 files, 11 bytes in "), std::string::npos) << up;
  EXPECT_NE(up.out.find("; 2 failed"), std::string::npos) << up;

  ClientRun down = run_client(bench, {"get", bench.remote("srv/a"), bench.remote("srv/nope"),
                                      bench.remote("srv/b"), bench.file("back")});
  EXPECT_EQ(down.exit, 8) << down;  // FILE ERROR from the server
  EXPECT_EQ(slurp(bench.file("back/a")), "first");
  EXPECT_EQ(slurp(bench.file("back/b")), "second");
  EXPECT_NE(down.err.find(bench.remote("srv/nope")), std::string::npos) << down;
  EXPECT_NE(down.out.find("Received 2 files, 11 bytes in "), std::string::npos) << down;

  // Several sources need a directory to go into.
  ClientRun not_dir =
      run_client(bench, {"put", bench.file("a"), bench.file("b"), bench.remote("srv/a")});
  EXPECT_EQ(not_dir.exit, 9) << not_dir;
  EXPECT_NE(not_dir.err.find("is not a directory on the server"), std::string::npos) << not_dir;
  EXPECT_EQ(bench.stop_server(), 0);
}

}  // namespace
}  // namespace tarnel::end_to_end

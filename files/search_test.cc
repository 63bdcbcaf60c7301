#include "files/search.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>

#include "files/errors.h"
#include "files/file_system.h"
#include "files/metadata.h"
#include "testing/temp_dir.h"

namespace tarnel {
namespace {

/// The file system the services reach here: the whole one.
WholeFileSystem whole_fs;

using testing::TempDir;

struct MatchCase {
  const char* pattern;
  const char* name;
  bool matches;
};

TEST(MatchName, FollowsTheSearchRule) {
  const MatchCase cases[] = {
      // "*.*" takes every name, with a dot or without.
      {"*.*", "a.txt", true},
      {"*.*", "readme", true},
      {"*.*", ".profile", true},
      {"*.*", ".", true},
      {"*.*", "..", true},
      {"*.*", "", true},
      // "*.txt"
      {"*.txt", "a.txt", true},
      {"*.txt", ".txt", true},
      {"*.txt", "a.doc", false},
      {"*.txt", "readme", false},
      {"*.txt", "b.txt.bak", false},
      {"*.txt", "a.TXT", false},  // case matters
      {"*.txt", "x.y.txt", true},
      // "?" takes exactly one byte.
      {"a?", "ab", true},
      {"a?", "a", false},
      {"a?", "abc", false},
      {"??", "ab", true},
      {"?", "", false},
      // A star and one last ordinary byte: the byte is not required.
      {"*c", "abc", true},
      {"*c", "xyz", true},
      {"*c", "", true},
      {"a*b", "ab", true},
      {"a*b", "axb", true},
      {"a*b", "axc", true},
      {"a*b", "a", true},
      {"a*b", "ba", false},
      // Exact names.
      {"readme", "readme", true},
      {"readme", "readm", false},
      {"readme", "readmee", false},
      {"readme", "README", false},
      {"", "", true},
      {"", "a", false},
      {"*", "anything", true},
      {"*", "", true},
      {"a*", "abc", true},
      {"a*", "bcd", false},
      {"*?", "", true},
      {"*.c", "x.cc", false},
      {"*ab", "xaab", true},
      {"*ab", "xaabq", false},
      {"*.txt", "a.txt.txt", true},
      {"*?", "a", true},
      {"x*y*z", "x1y2z", true},
  };
  for (const MatchCase& c : cases) {
    EXPECT_EQ(match_name(c.pattern, c.name), c.matches)
        << '"' << c.pattern << "\" against \"" << c.name << '"';
  }
}

TEST(MatchName, ManyStarsAgainstALongNameStayQuick) {
  // Each star tries every place of the name; without remembering the
  // answers this takes time like (name length)^(stars).
  const std::string name = std::string(254, 'a') + "c";
  std::string pattern;
  for (int i = 0; i < 20; ++i) pattern += "*a";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(match_name(pattern + "b", name));
  EXPECT_TRUE(match_name(pattern + "c", name));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

class Search : public ::testing::Test {
 protected:
  /// The names that a whole search finds.
  std::multiset<std::string> names(const std::string& search_path) {
    std::multiset<std::string> found;
    SearchRecord record;
    find_first(whole_fs, search_path, SEARCH_ALL_ATTRIBUTES, record);
    while (search_error == 0) {
      found.insert(record.found.name);
      find_next(record);
    }
    EXPECT_EQ(search_error, SEARCH_NO_MORE);
    EXPECT_EQ(record.directory, nullptr);  // released by the step that ran out
    return found;
  }

  TempDir dir_;
};

TEST_F(Search, PatternSearchFindsMatchingEntriesAndDots) {
  testing::write_file(dir_.file("a.txt"), "12345");
  testing::write_file(dir_.file("b.doc"), "");
  testing::write_file(dir_.file("Makefile"), "");
  EXPECT_EQ(names(dir_.path() + "/*.*"),
            (std::multiset<std::string>{".", "..", "a.txt", "b.doc", "Makefile"}));
  EXPECT_EQ(names(dir_.path() + "/*.txt"), (std::multiset<std::string>{"a.txt"}));
}

TEST_F(Search, FoundEntryCarriesSizeStampAndAttributes) {
  const std::string f = dir_.file("a.txt");
  testing::write_file(f, "12345");
  ASSERT_EQ(chmod(f.c_str(), 0444), 0);
  SearchRecord record;
  find_first(whole_fs, dir_.path() + "/a.*", SEARCH_ALL_ATTRIBUTES, record);
  ASSERT_EQ(search_error, 0);
  EXPECT_EQ(record.found.name, "a.txt");
  EXPECT_EQ(record.found.size, 5);
  EXPECT_EQ(record.found.attributes, 33);
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(record.found.time_stamp, time_stamp_of(st.st_mtime));
}

TEST_F(Search, SingleEntrySearch) {
  testing::write_file(dir_.file("one"), "x");
  SearchRecord record;
  find_first(whole_fs, dir_.file("one"), SEARCH_ALL_ATTRIBUTES, record);
  EXPECT_EQ(search_error, 0);
  EXPECT_EQ(record.found.name, "one");
  EXPECT_TRUE(record.single_entry);
  find_next(record);
  EXPECT_EQ(search_error, SEARCH_NO_MORE);

  find_first(whole_fs, dir_.file("missing"), SEARCH_ALL_ATTRIBUTES, record);
  EXPECT_EQ(search_error, SEARCH_NOT_FOUND);  // ENOENT
  find_first(whole_fs, dir_.file("one") + "/below", SEARCH_ALL_ATTRIBUTES, record);
  EXPECT_EQ(search_error, SEARCH_NO_MORE);  // ENOTDIR: another reason

  find_first(whole_fs, dir_.file("one"), 16, record);  // a file, but only directories accepted
  EXPECT_NE(search_error, 0);
}

TEST_F(Search, EmptyPathAndMissingDirectory) {
  SearchRecord record;
  find_first(whole_fs, "", SEARCH_ALL_ATTRIBUTES, record);
  EXPECT_EQ(search_error, SEARCH_NOT_FOUND);
  find_next(record);
  EXPECT_EQ(search_error, SEARCH_NO_MORE);

  find_first(whole_fs, dir_.file("nosuchdir") + "/*.*", SEARCH_ALL_ATTRIBUTES, record);
  EXPECT_EQ(search_error, SEARCH_NO_MORE);
  find_first(whole_fs, "*.*", SEARCH_ALL_ATTRIBUTES, record);  // no directory part at all
  EXPECT_EQ(search_error, SEARCH_NO_MORE);
}

TEST_F(Search, WildcardsInTheDirectoryPartAreTakenLiterally) {
  ASSERT_EQ(mkdir(dir_.file("d*").c_str(), 0777), 0);
  ASSERT_EQ(mkdir(dir_.file("dx").c_str(), 0777), 0);
  testing::write_file(dir_.file("d*") + "/in-star", "");
  testing::write_file(dir_.file("dx") + "/in-x", "");
  EXPECT_EQ(names(dir_.file("d*") + "/in*"), (std::multiset<std::string>{"in-star"}));
}

TEST_F(Search, EntriesWhoseStatusCannotBeReadAreSkipped) {
  testing::write_file(dir_.file("real"), "");
  ASSERT_EQ(symlink(dir_.file("nowhere").c_str(), dir_.file("dangling").c_str()), 0);
  EXPECT_EQ(names(dir_.path() + "/*.*"), (std::multiset<std::string>{".", "..", "real"}));
}

}  // namespace
}  // namespace tarnel

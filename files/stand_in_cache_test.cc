#include "files/stand_in_cache.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "testing/name_table.h"
#include "testing/temp_dir.h"

namespace tarnel {
namespace {

using testing::TempDir;
using testing::write_file;

/// Counts the directories opened (read whole) through it.
class CountingFileSystem : public FileSystemWrapper {
 public:
  using FileSystemWrapper::FileSystemWrapper;
  std::unique_ptr<DirectoryReader> open_directory(const std::string& path) override {
    ++reads;
    return FileSystemWrapper::open_directory(path);
  }
  int reads = 0;
};

ClientNames names_for(const char* code_page) {
  if (code_page == nullptr) return ClientNames();
  Charset charset;
  std::string error;
  EXPECT_TRUE(Charset::open(code_page, &charset, &error)) << error;
  return ClientNames(charset);
}

/// A name that only a stand-in can show (it holds a TAB).
std::string tab_name(int i) { return "tab\t" + std::to_string(i) + ".txt"; }

class StandInCacheTest : public ::testing::Test {
 protected:
  /// `count` files with TABs in their names in the directory `sub`.
  std::string fill(const std::string& sub, int count) {
    const std::string dir = dir_.file(sub);
    EXPECT_EQ(mkdir(dir.c_str(), 0755), 0);
    for (int i = 0; i < count; ++i) write_file(dir + "/" + tab_name(i), std::to_string(i));
    return dir;
  }
  std::string resolve(const std::string& dir, const std::string& client_name, NameUse use) {
    return names_.local_path(fs_, dir + "/" + client_name, use, cache_);
  }

  TempDir dir_;
  WholeFileSystem whole_;
  CountingFileSystem fs_{whole_};
  const ClientNames names_;
  StandInCache cache_{names_};
};

TEST_F(StandInCacheTest, EveryStandInOfADirectoryCostsOneReadOfIt) {
  const std::string dir = fill("d", 50);
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 50; ++i) {
      const std::string stand_in = names_.stand_in(tab_name(i));
      EXPECT_EQ(resolve(dir, stand_in, NameUse::kExisting), dir + "/" + tab_name(i));
      EXPECT_EQ(resolve(dir, stand_in, NameUse::kNew), unusable_path());
    }
  }
  EXPECT_EQ(fs_.reads, 1);
  EXPECT_EQ(cache_.entries(), 50u);
  // Without a cache, every stand-in reads the directory again.
  for (int i = 0; i < 5; ++i)
    names_.local_path(fs_, dir + "/" + names_.stand_in(tab_name(i)), NameUse::kExisting);
  EXPECT_EQ(fs_.reads, 6);
}

TEST_F(StandInCacheTest, EveryNameOfTheTableFindsItsEntryThroughTheCache) {
  for (const char* code_page : testing::kNameCodePages) {
    const ClientNames names = names_for(code_page);
    TempDir dir;
    for (const testing::NameCase& c : testing::name_table()) write_file(dir.file(c.local), c.local);
    StandInCache cache(names);
    for (int round = 0; round < 2; ++round) {
      for (const testing::NameCase& c : testing::name_table()) {
        const std::string shown = names.client_name(c.local);
        SCOPED_TRACE(shown);
        EXPECT_EQ(names.local_path(fs_, dir.path() + "\\" + shown, NameUse::kExisting, cache),
                  dir.file(c.local));
      }
    }
    EXPECT_LE(cache.directory_reads(), 1u);
  }
}

TEST_F(StandInCacheTest, AnEntryRenamedOrDeletedSinceItWasReadIsNotReached) {
  struct Case {
    const char* what;
    bool renamed;  // else deleted
  } const cases[] = {{"renamed", true}, {"deleted", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string dir = fill(c.what, 3);
    const std::string stand_in = names_.stand_in(tab_name(1));
    ASSERT_EQ(resolve(dir, stand_in, NameUse::kExisting), dir + "/" + tab_name(1));
    const std::string gone = dir + "/" + tab_name(1);
    if (c.renamed) {
      ASSERT_EQ(rename(gone.c_str(), (dir + "/" + tab_name(7)).c_str()), 0);
    } else {
      ASSERT_EQ(unlink(gone.c_str()), 0);
    }
    // The stand-in names nothing now: a command on it finds no entry, and
    // one that makes an entry makes one of that very name.
    EXPECT_EQ(resolve(dir, stand_in, NameUse::kExisting), dir + "/" + stand_in);
    EXPECT_EQ(resolve(dir, stand_in, NameUse::kNew), dir + "/" + stand_in);
    if (c.renamed) {
      EXPECT_EQ(resolve(dir, names_.stand_in(tab_name(7)), NameUse::kExisting),
                dir + "/" + tab_name(7));
    }
    // The others are still found as they were read.
    EXPECT_EQ(resolve(dir, names_.stand_in(tab_name(2)), NameUse::kExisting),
              dir + "/" + tab_name(2));
  }
}

TEST_F(StandInCacheTest, AnEntryMadeSinceTheDirectoryWasReadIsFound) {
  const std::string dir = fill("d", 3);
  ASSERT_EQ(resolve(dir, names_.stand_in(tab_name(0)), NameUse::kExisting),
            dir + "/" + tab_name(0));
  write_file(dir + "/" + tab_name(9), "new");
  const std::string stand_in = names_.stand_in(tab_name(9));
  EXPECT_EQ(resolve(dir, stand_in, NameUse::kExisting), dir + "/" + tab_name(9));
  EXPECT_EQ(resolve(dir, stand_in, NameUse::kNew), unusable_path());
  EXPECT_EQ(fs_.reads, 2);
}

TEST_F(StandInCacheTest, AStandInThatBecameARealNameReachesThatName) {
  const std::string dir = fill("d", 3);
  const std::string stand_in = names_.stand_in(tab_name(0));
  ASSERT_EQ(resolve(dir, stand_in, NameUse::kExisting), dir + "/" + tab_name(0));
  write_file(dir + "/" + stand_in, "a file really called so");
  EXPECT_EQ(resolve(dir, stand_in, NameUse::kExisting), dir + "/" + stand_in);
  EXPECT_EQ(resolve(dir, stand_in, NameUse::kNew), dir + "/" + stand_in);
}

TEST_F(StandInCacheTest, KeepsNoMoreThanItsBoundAndAnswersRightPastIt) {
  StandInCache small(names_, 5);
  const std::string a = fill("a", 3);
  const std::string b = fill("b", 3);
  const std::string large = fill("large", 6);  // more than the bound by itself
  auto find = [&](const std::string& dir, int i) {
    return names_.local_path(fs_, dir + "/" + names_.stand_in(tab_name(i)), NameUse::kExisting,
                             small);
  };
  for (const std::string& dir : {a, b, a, large, large, a}) {
    for (int i = 0; i < 3; ++i) EXPECT_EQ(find(dir, i), dir + "/" + tab_name(i)) << dir;
    EXPECT_LE(small.entries(), 5u);
  }
  // a, then b in its place, a in b's; the large one is read at each use
  // and takes no room, so a is still kept after it.
  EXPECT_EQ(small.directory_reads(), 3u + 6u);
}

TEST_F(StandInCacheTest, ADirectoryThatCannotBeReadFindsNothing) {
  const std::string missing = dir_.file("missing");
  const std::string stand_in = names_.stand_in(tab_name(0));
  EXPECT_EQ(resolve(missing, stand_in, NameUse::kExisting), missing + "/" + stand_in);
  EXPECT_EQ(cache_.entries(), 0u);
}

}  // namespace
}  // namespace tarnel

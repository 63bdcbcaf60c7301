#include "files/names.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "testing/name_table.h"
#include "testing/temp_dir.h"

namespace tarnel {
namespace {

using testing::TempDir;
using testing::write_file;

ClientNames names_for(const char* code_page) {
  if (code_page == nullptr) return ClientNames();
  Charset charset;
  std::string error;
  EXPECT_TRUE(Charset::open(code_page, &charset, &error)) << error;
  return ClientNames(charset);
}

using testing::kNameCodePages;
using testing::kSameName;
using testing::name_table;
using testing::NameCase;

TEST(ClientNames, ShowsANameAsItTravelsOrItsStandIn) {
  for (size_t page = 0; page < 3; ++page) {
    const ClientNames names = names_for(kNameCodePages[page]);
    std::set<std::string> seen;
    for (const NameCase& c : name_table()) {
      const char* expected = c.client[page];
      const std::string wanted = expected == kSameName ? c.local : expected ? expected : "";
      const std::string shown = names.client_name(c.local);
      SCOPED_TRACE(std::string(kNameCodePages[page] ? kNameCodePages[page] : "bytes") + " " +
                   shown);
      if (expected != nullptr) {
        EXPECT_EQ(shown, wanted);
      } else {
        EXPECT_EQ(shown, names.stand_in(c.local));
        EXPECT_TRUE(ClientNames::looks_like_stand_in(shown));
        EXPECT_LE(shown.size(), STANDIN_MAX);
        for (const char ch : shown) {
          const auto b = static_cast<unsigned char>(ch);
          EXPECT_TRUE(b >= 0x20 && b != 0x7F) << int{b};
          EXPECT_EQ(std::string("\\/:*?\"<>|").find(ch), std::string::npos);
        }
        std::string back;
        EXPECT_TRUE(names.charset().to_utf8(shown, &back));  // the code page shows it
      }
      EXPECT_LE(shown.size(), LISTING_NAME_MAX);
      EXPECT_TRUE(seen.insert(shown).second) << "two entries listed as one";
    }
  }
}

TEST(ClientNames, StandInKeepsTheUsablePartAndTheExtension) {
  const ClientNames bytes;
  const std::string tab = bytes.stand_in("tab\tname.txt");
  EXPECT_EQ(tab.substr(0, 9), "tab_name~");
  EXPECT_EQ(tab.substr(tab.size() - 4), ".txt");
  EXPECT_EQ(tab.size(), 9 + STANDIN_HASH_LENGTH + 4);
  const ClientNames cp1252 = names_for("CP1252");
  const std::string delta = cp1252.stand_in("M\xC3\xBC\xCE\x94.doc");
  EXPECT_EQ(delta.substr(0, 4), "M\xFC_~");  // the u umlaut travels, Delta does not
  // The same at every call and in every run: the hash is of the name alone.
  EXPECT_EQ(bytes.stand_in("inj\t999\t684682671\t16\r\nfake"),
            "inj_999_684682671_16__fake~9ZJQEV016PZN");
}

TEST(ClientNames, NamesUpToTheLimitTravelAsTheyAre) {
  const ClientNames cp850 = names_for("CP850");
  const std::string longest = std::string(LISTING_NAME_MAX - 1, 'a') + "\xC3\xA4";  // a-umlaut
  EXPECT_EQ(cp850.client_name(longest), std::string(LISTING_NAME_MAX - 1, 'a') + "\x84");
  // Two bytes here, one on the wire: the limit counts what the client sees.
  EXPECT_EQ(longest.size(), LISTING_NAME_MAX + 1);
  const std::string one_more = "b" + longest;
  EXPECT_EQ(cp850.client_name(one_more), cp850.stand_in(one_more));
  EXPECT_EQ(ClientNames().client_name(longest), ClientNames().stand_in(longest));
}

TEST(ClientNames, RefusesClientNamesThatCannotBeStored) {
  const ClientNames bytes;
  const ClientNames cp1252 = names_for("CP1252");
  std::string local;
  for (const char* bad : {"a\tb", "cr\r", "lf\n", "esc\x1B", "del\x7F"}) {
    EXPECT_FALSE(bytes.local_name(bad, &local)) << bad;
    EXPECT_FALSE(cp1252.local_name(bad, &local)) << bad;
  }
  EXPECT_FALSE(cp1252.local_name("a\x81.txt", &local));  // undefined in CP1252
  EXPECT_TRUE(bytes.local_name("a\x81.txt", &local));
  EXPECT_EQ(local, "a\x81.txt");
  EXPECT_TRUE(cp1252.local_name("\xC4rger.txt", &local));
  EXPECT_EQ(local, "\xC3\x84rger.txt");
}

TEST(ClientNames, PathsOfNamesThatTravelAreMappedAsBefore) {
  WholeFileSystem fs;
  const ClientNames bytes;
  for (const char* path : {"\\dir\\f", "dir\\f", "/dir/f", "", "C:\\x", "..\\etc", "\\a\\\\b\\",
                           "\\M\xFCller~0123456789AB.txt"}) {
    EXPECT_EQ(bytes.local_path(fs, path, NameUse::kExisting), client_path_text(path)) << path;
    EXPECT_EQ(bytes.local_path(fs, path, NameUse::kNew), client_path_text(path)) << path;
  }
  EXPECT_EQ(names_for("CP850").local_path(fs, "\\d\x8E\\\x81.txt", NameUse::kNew),
            "/d\xC3\x84/\xC3\xBC.txt");
}

class ClientNamesOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const NameCase& c : name_table()) write_file(dir_.file(c.local), c.local);
  }
  TempDir dir_;
  WholeFileSystem fs;
};

TEST_F(ClientNamesOnDisk, EveryListedNameFindsItsEntry) {
  for (const char* code_page : kNameCodePages) {
    const ClientNames names = names_for(code_page);
    for (const NameCase& c : name_table()) {
      const std::string shown = names.client_name(c.local);
      SCOPED_TRACE(shown);
      EXPECT_EQ(names.local_path(fs, dir_.path() + "\\" + shown, NameUse::kExisting),
                dir_.file(c.local));
      if (ClientNames::looks_like_stand_in(shown) && shown == names.stand_in(c.local)) {
        // A new entry may not take an existing entry's stand-in.
        EXPECT_EQ(names.local_path(fs, dir_.path() + "\\" + shown, NameUse::kNew), unusable_path());
      }
    }
  }
}

TEST_F(ClientNamesOnDisk, AnEntryOfExactlyThatNameComesFirst) {
  const ClientNames bytes;
  const std::string stand_in = bytes.stand_in("tab\tname.txt");
  write_file(dir_.file(stand_in), "a file really called so");
  EXPECT_EQ(bytes.local_path(fs, dir_.file(stand_in), NameUse::kExisting), dir_.file(stand_in));
  EXPECT_EQ(bytes.local_path(fs, dir_.file(stand_in), NameUse::kNew), dir_.file(stand_in));
}

TEST_F(ClientNamesOnDisk, StandInsOfFoldersLeadIntoThem) {
  const ClientNames cp850 = names_for("CP850");
  const std::string folder = "new\nline \xE2\x82\xAC";
  ASSERT_EQ(mkdir(dir_.file(folder).c_str(), 0755), 0);
  write_file(dir_.file(folder) + "/inner.txt", "x");
  const std::string client = dir_.path() + "\\" + cp850.stand_in(folder) + "\\inner.txt";
  EXPECT_EQ(cp850.local_path(fs, client, NameUse::kExisting), dir_.file(folder) + "/inner.txt");
  EXPECT_EQ(cp850.local_path(fs, client, NameUse::kNew), dir_.file(folder) + "/inner.txt");
  EXPECT_EQ(
      cp850.local_path(fs, dir_.path() + "\\" + cp850.stand_in(folder) + "\\n\x81u", NameUse::kNew),
      dir_.file(folder) + "/n\xC3\xBCu");
}

TEST(ClientNamesPaths, UnusableNamesMapToAPathThatNamesNoFile) {
  WholeFileSystem fs;
  const ClientNames cp1252 = names_for("CP1252");
  for (const char* path : {"\\dir\\a\tb", "\\a\rb\\c", "\\x\x1B", "\\z\x81", "\\nul"}) {
    std::string text = path;
    if (text == "\\nul") text = std::string("\\nu\0l", 5);
    EXPECT_EQ(cp1252.local_path(fs, text, NameUse::kExisting), unusable_path()) << path;
    EXPECT_EQ(cp1252.local_path(fs, text, NameUse::kNew), unusable_path()) << path;
  }
  EXPECT_EQ(unusable_path().find('\0'), 0u);
}

}  // namespace
}  // namespace tarnel

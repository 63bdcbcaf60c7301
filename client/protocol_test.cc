#include "client/protocol.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace tarnel::client {
namespace {

TEST(ReplyNumber, ReadsOnlyAWordAndAWholeDecimalNumber) {
  struct Case {
    const char* text;
    const char* word;
    bool ok;
    int32_t n;
  };
  const Case cases[] = {
      {"SIZE 0", "SIZE ", true, 0},
      {"SIZE 2147483647", "SIZE ", true, 2147483647},
      {"TIME -165609472", "TIME ", true, -165609472},
      {"REST=4096", "REST=", true, 4096},
      {"SIZE 2147483648", "SIZE ", false, 0},
      {"SIZE ", "SIZE ", false, 0},
      {"SIZE -", "SIZE ", false, 0},
      {"SIZE 12 ", "SIZE ", false, 0},
      {"SIZE +1", "SIZE ", false, 0},
      {"SIZE $10", "SIZE ", false, 0},
      {"SIZE12", "SIZE ", false, 0},
      {"size 12", "SIZE ", false, 0},
  };
  for (const Case& c : cases) {
    int32_t n = 0;
    EXPECT_EQ(reply_number(c.text, c.word, &n), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(n, c.n) << c.text;
    }
  }
}

TEST(ErrorReply, NamesTheClassTheNumberAndItsMeaning) {
  struct Case {
    const char* text;
    bool listing;
    Exit exit;
    const char* meaning;
  };
  const Case cases[] = {
      {"FILE ERROR 2", false, Exit::kFileError, "not found"},
      {"FILE ERROR 8", false, Exit::kFileError, "is a directory"},
      {"DIR ERROR 16", false, Exit::kDirError, "directory not empty"},
      {"DIR ERROR 18", true, Exit::kDirError, "no such directory, or no entry matches"},
      {"DIR ERROR 3", true, Exit::kDirError, "no such file or directory"},
      {"RENAME ERROR 17", false, Exit::kRenameError, "not on the same file system"},
      {"REST ERROR 6", false, Exit::kRestError, "no upload pending"},
      {"FILE ERROR 101", false, Exit::kFileError, "I/O error or disk full"},
      {"FILE ERROR 999", false, Exit::kFileError, "unknown error number"},
  };
  for (const Case& c : cases) {
    const Outcome o = error_reply(c.text, c.listing);
    EXPECT_EQ(o.exit, c.exit) << c.text;
    EXPECT_NE(o.message.find(std::string("\"") + c.text + "\": " + c.meaning), std::string::npos)
        << o.message;
  }
  EXPECT_TRUE(error_reply("OK", false).ok());
  EXPECT_TRUE(error_reply("FILE ERROR x", false).ok());
}

TEST(Stamp, UnpacksTheFieldsAsPacked) {
  struct Case {
    int32_t stamp;
    const char* text;
  };
  const Case cases[] = {
      {684682671, "2000-06-15 13:45:30"},       {2162688, "1980-01-01 00:00:00"},
      {1569174464, "2026-12-07 22:30:00"},      {-165609472, "1975-01-01 00:00:00"},
      {0, "\?\?\?\?-\?\?-\?\? \?\?:\?\?:\?\?"},  // month 0: no date
  };
  for (const Case& c : cases) EXPECT_EQ(format_stamp(c.stamp), c.text) << c.stamp;
}

TEST(Stamp, RefusesDaysThatDoNotExist) {
  LocalTime f;
  // 2001-02-29 and 2000-04-31 are no dates; 2000-02-29 is.
  auto stamp = [](int y, int m, int d) { return ((y - 1980) << 25) + (m << 21) + (d << 16); };
  EXPECT_FALSE(unpack_time_stamp(stamp(2001, 2, 29), &f));
  EXPECT_FALSE(unpack_time_stamp(stamp(2000, 4, 31), &f));
  EXPECT_TRUE(unpack_time_stamp(stamp(2000, 2, 29), &f));
}

TEST(Stamp, PacksAndReadsBackInLocalTime) {
  const char* old = getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "XYZ-2", 1);  // two hours east of Greenwich
  tzset();
  const time_t t = 961076730;  // 2000-06-15 13:45:30 UTC
  EXPECT_EQ(format_stamp(pack_local_time(t)), "2000-06-15 15:45:30");
  time_t back = 0;
  ASSERT_TRUE(stamp_to_time(pack_local_time(t), &back));
  EXPECT_EQ(back, t);
  if (old) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

TEST(AttributeFlags, ShowsEachBit) {
  EXPECT_EQ(attribute_flags(32), "-----a");
  EXPECT_EQ(attribute_flags(33), "-r---a");
  EXPECT_EQ(attribute_flags(16), "d-----");
  EXPECT_EQ(attribute_flags(17), "dr----");
  EXPECT_EQ(attribute_flags(63), "drhsva");
}

TEST(ParseListing, ReadsLinesFromTheRightAndKeepsWhatItCannotRead) {
  const std::string data =
      "readme.txt\t1234\t684682671\t32\r\n"
      "tab\tname\t0\t2162688\t33\r\n"
      "broken line\r\n"
      "sub\t4096\t2162688\t16";  // the last line without CR LF
  const auto lines = parse_listing(data);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_TRUE(lines[0].parsed);
  EXPECT_EQ(lines[0].entry.name, "readme.txt");
  EXPECT_EQ(lines[0].entry.size, 1234);
  EXPECT_EQ(lines[0].entry.stamp, 684682671);
  EXPECT_EQ(lines[0].entry.attributes, 32);
  EXPECT_TRUE(lines[1].parsed);
  EXPECT_EQ(lines[1].entry.name, "tab\tname");
  EXPECT_EQ(lines[1].entry.attributes, 33);
  EXPECT_FALSE(lines[2].parsed);
  EXPECT_EQ(lines[2].raw, "broken line");
  EXPECT_TRUE(lines[3].parsed);
  EXPECT_EQ(lines[3].entry.name, "sub");
  EXPECT_TRUE(parse_listing("").empty());
}

std::string to_view(const std::string& local) {
  std::string out;
  to_client_view(reinterpret_cast<const uint8_t*>(local.data()), local.size(), out);
  return out;
}

std::string from_view(const std::string& wire, size_t piece) {
  FromClientView conversion;
  std::string out;
  for (size_t at = 0; at < wire.size(); at += piece) {
    const size_t n = std::min(piece, wire.size() - at);
    conversion.convert(reinterpret_cast<const uint8_t*>(wire.data() + at), n, out);
  }
  conversion.finish(out);
  return out;
}

TEST(TextMode, ClientViewDoublesEveryLf) {
  EXPECT_EQ(to_view("a\nb\n\n"), "a\r\nb\r\n\r\n");
  EXPECT_EQ(to_view("x\r\n"), "x\r\r\n");
  EXPECT_EQ(to_view(""), "");
}

TEST(TextMode, BackToLocalDropsTheCrOfEachPairInAnyPieces) {
  struct Case {
    std::string wire;
    std::string local;
  };
  const Case cases[] = {
      {"a\r\nb\r\n", "a\nb\n"},
      {"x\r\r\n", "x\r\n"},  // a stored CR before a line end stays
      {"a\rb", "a\rb"},      // a lone CR stays
      {"end\r", "end\r"},    // a CR at the very end stays
      {"\n", "\n"},          // an LF whose CR came before a resume point
      {"\r\r\r\n\r", "\r\r\n\r"},
  };
  for (const Case& c : cases) {
    for (size_t piece : {1u, 2u, 3u, 100u}) {
      EXPECT_EQ(from_view(c.wire, piece), c.local) << "piece " << piece;
    }
  }
}

TEST(TextMode, LocalTextWithoutCrComesBackAsItWent) {
  std::string local;
  for (int i = 0; i < 5000; ++i) local += static_cast<char>(i % 7 == 0 ? '\n' : 'a' + i % 26);
  EXPECT_EQ(from_view(to_view(local), 4096), local);
  TextCounts counts;
  counts.add(reinterpret_cast<const uint8_t*>(local.data()), local.size());
  EXPECT_EQ(counts.client_view(), static_cast<int64_t>(to_view(local).size()));
  EXPECT_EQ(counts.cr, 0);
}

}  // namespace
}  // namespace tarnel::client

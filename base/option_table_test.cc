#include "base/option_table.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace tarnel {
namespace {

constexpr OptionSpec kTable[] = {
    {"--cable", "PATH", "the cable\nfile", "--port"},
    {"--port", "N", "a port"},
    {"--device", "PATH", "a device", "--cable --port", nullptr, "a path"},
    {"--recursive", nullptr, "copy trees", nullptr, "-r"},
    {"--a-rather-long-name", "VALUE", "help below"},
};

TEST(OptionTable, ReadsOptionsAnywhereAndLeavesTheWords) {
  ParsedOptions p;
  std::string error;
  ASSERT_TRUE(parse_command_line(
      kTable, {"get", "--cable", "c1", "x", "-r", "--cable=c2", "--", "--port", "-r"}, &p, &error))
      << error;
  EXPECT_EQ(p.words, (std::vector<std::string>{"get", "x", "--port", "-r"}));
  EXPECT_TRUE(p.has("--recursive"));
  EXPECT_FALSE(p.has("--port"));
  EXPECT_EQ(p.value("--cable"), "c2") << "the last one given counts";
  EXPECT_EQ(p.value("--device"), "");
  // A value may begin with "-"; an empty argument is a word.
  ASSERT_TRUE(parse_command_line(kTable, {"--port", "-1", ""}, &p, &error)) << error;
  EXPECT_EQ(p.value("--port"), "-1");
  EXPECT_EQ(p.words, (std::vector<std::string>{""}));
}

TEST(OptionTable, RefusesWhatTheTableDoesNotAllow) {
  struct Case {
    std::vector<std::string> args;
    const char* error;
    bool unknown;
  };
  const Case cases[] = {
      {{"--frob"}, "unknown option --frob", true},
      {{"-x"}, "unknown option -x", true},
      {{"-"}, "unknown option -", true},
      {{"-3"}, "unknown option -3", true},
      {{"--frob=1"}, "unknown option --frob", true},
      {{"-r=1"}, "unknown option -r=1", true},
      {{"--port"}, "--port needs a value", false},
      {{"x", "--device"}, "--device needs a path", false},
      {{"--recursive=yes"}, "--recursive takes no value", false},
      {{"--cable", "c", "--port", "1"}, "--cable and --port exclude each other", false},
      {{"--port=1", "--device", "d"}, "--device and --port exclude each other", false},
      {{"--device", "d", "--cable", "c"}, "--device and --cable exclude each other", false},
  };
  for (const Case& c : cases) {
    ParsedOptions p;
    std::string error;
    bool unknown = !c.unknown;
    const bool read = parse_command_line(kTable, c.args, &p, &error, &unknown);
    EXPECT_FALSE(read && check_exclusions(kTable, p, &error)) << c.error;
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(unknown, c.unknown) << c.error;
  }
}

TEST(OptionTable, HelpListsEveryEntryInItsColumn) {
  EXPECT_EQ(options_help(kTable, 16),
            "  --cable PATH    the cable\n"
            "                  file\n"
            "  --port N        a port\n"
            "  --device PATH   a device\n"
            "  -r, --recursive copy trees\n"
            "  --a-rather-long-name VALUE\n"
            "                  help below\n");
  EXPECT_EQ(option_names(kTable),
            (std::vector<std::string>{"--cable", "--port", "--device", "--recursive",
                                      "--a-rather-long-name"}));
}

TEST(OptionTable, SynopsisGroupsExclusionsAndWrapsUnderTheFirstOption) {
  EXPECT_EQ(synopsis("prog", kTable, "WORDS"),
            "Usage: prog [--cable PATH | --port N | --device PATH] [--recursive]\n"
            "            [--a-rather-long-name VALUE] WORDS\n");
  const OptionSpec one[] = {{"--x", nullptr, "x"}};
  EXPECT_EQ(synopsis("p", one, ""), "Usage: p [--x]\n");
  // No line is longer than 79 columns, however many options there are.
  std::vector<OptionSpec> many(30, OptionSpec{"--option", "VALUE", "v"});
  const std::string text = synopsis("prog", many, "[portnr]");
  size_t start = 0;
  int lines = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    EXPECT_LE(end - start, 79u) << text.substr(start, end - start);
    start = end + 1;
    ++lines;
  }
  EXPECT_EQ(start, text.size()) << "ends with a line end";
  EXPECT_GT(lines, 5);
  EXPECT_EQ(text.rfind("[portnr]\n"), text.size() - 9);
}

// A target that records what each entry's handling stored.
struct Target {
  std::string path;
  int level = 0;
  bool flag = false;
};

const OptionEntry<Target> kEntries[] = {
    {{"--path", "PATH", "a path", nullptr, nullptr, "a path"},
     [](Target& t, const OptionSpec&, const std::string& v, std::string*) {
       t.path = v;
       return true;
     }},
    {{"--level", "N", "a level", "--flag"},
     [](Target& t, const OptionSpec& option, const std::string& v, std::string* error) {
       if (v != "1" && v != "2") {
         *error = std::string(option.name) + " is 1 or 2";
         return false;
       }
       t.level = v[0] - '0';
       return true;
     }},
    {{"--flag", nullptr, "a flag"},
     [](Target& t, const OptionSpec&, const std::string&, std::string*) {
       t.flag = true;
       return true;
     }},
    {{"--empty-ok", "PATH", "may be empty", nullptr, nullptr, "a path", true},
     [](Target& t, const OptionSpec&, const std::string& v, std::string*) {
       t.path = "<" + v + ">";
       return true;
     }},
    {{"--help", nullptr, "help"}},
};

TEST(OptionTable, EachEntryChecksAndStoresItsValue) {
  Target t;
  std::vector<std::string> words;
  std::string error;
  ASSERT_TRUE(read_options<Target>(kEntries, {"w", "--path", "p", "--level=2", "--help", "x"}, &t,
                                   &words, &error))
      << error;
  EXPECT_EQ(t.path, "p");
  EXPECT_EQ(t.level, 2);
  EXPECT_FALSE(t.flag);
  EXPECT_EQ(words, (std::vector<std::string>{"w", "x"}));
  ASSERT_TRUE(read_options<Target>(kEntries, {"--empty-ok="}, &t, &words, &error)) << error;
  EXPECT_EQ(t.path, "<>");
  EXPECT_TRUE(words.empty());
}

TEST(OptionTable, MissingAndEmptyValuesGetOneMessage) {
  struct Case {
    std::vector<std::string> args;
    const char* error;
  };
  const Case cases[] = {
      {{"--path"}, "--path needs a path"},
      {{"--path", ""}, "--path needs a path"},
      {{"--path="}, "--path needs a path"},
      {{"--level"}, "--level needs a value"},
      {{"--level="}, "--level needs a value"},
      {{"--level", "3"}, "--level is 1 or 2"},
      {{"--flag", "--level", "1"}, "--level and --flag exclude each other"},
      {{"--level", "3", "--flag"}, "--level is 1 or 2"},  // the value's mistake first
      {{"--flag=1"}, "--flag takes no value"},
  };
  for (const Case& c : cases) {
    Target t;
    std::vector<std::string> words;
    std::string error;
    EXPECT_FALSE(read_options<Target>(kEntries, c.args, &t, &words, &error)) << c.error;
    EXPECT_EQ(error, c.error);
  }
}

TEST(OptionTable, HelpAndVersionWinBeforeTheEndOfOptions) {
  struct Case {
    std::vector<std::string> args;
    InfoOption info;
  };
  const Case cases[] = {
      {{}, InfoOption::kNone},
      {{"--help"}, InfoOption::kHelp},
      {{"--version"}, InfoOption::kShowVersion},
      {{"--version", "--help"}, InfoOption::kHelp},
      {{"--frob", "x", "--version"}, InfoOption::kShowVersion},
      {{"x", "--", "--help"}, InfoOption::kNone},
      {{"--help=1"}, InfoOption::kNone},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(info_option(c.args), c.info) << ::testing::PrintToString(c.args);
  }
}

TEST(OptionTable, AnswersHelpAndVersionOnItsStream) {
  struct Case {
    std::vector<std::string> args;
    bool answered;
    std::string text;
  };
  const Case cases[] = {
      {{"--help", "--version"}, true, "the usage\n"},
      {{"--version"}, true, std::string("prog ") + TARNEL_VERSION + "\n"},
      {{"x"}, false, ""},
  };
  for (const Case& c : cases) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(answer_info_option(c.args, "prog", "the usage\n", out), c.answered);
    std::rewind(out);
    char buffer[256] = {};
    const size_t got = std::fread(buffer, 1, sizeof buffer - 1, out);
    std::fclose(out);
    EXPECT_EQ(std::string(buffer, got), c.text);
  }
}

}  // namespace
}  // namespace tarnel

#include "base/option_table.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tarnel

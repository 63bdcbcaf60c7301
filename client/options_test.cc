#include "client/options.h"

#include <gtest/gtest.h>

namespace tarnel::client {
namespace {

TEST(ParseOptions, TakesOptionsAnywhereAndTheCommandWithItsArguments) {
  Options o;
  std::string error;
  ASSERT_TRUE(parse_options({"get", "--text", "\\a\\b.txt", "--cable=/x/c", "--resume", "local"},
                            &o, &error))
      << error;
  EXPECT_EQ(o.command, "get");
  EXPECT_EQ(o.args, (std::vector<std::string>{"\\a\\b.txt", "local"}));
  EXPECT_TRUE(o.text);
  EXPECT_TRUE(o.resume);
  EXPECT_EQ(o.cable_path, "/x/c");
  EXPECT_EQ(o.port, 0);

  ASSERT_TRUE(parse_options({"--port", "2", "--bus-ns", "0", "--timeout", "3", "raw", "LIST", "\\"},
                            &o, &error))
      << error;
  EXPECT_EQ(o.port, 2);
  EXPECT_EQ(o.bus_ns, 0u);
  EXPECT_EQ(o.timeout_ms, 3000u);
  EXPECT_EQ(o.args, (std::vector<std::string>{"LIST", "\\"}));
  EXPECT_EQ(o.wait_limit_ms, 1800u * 1000);
  ASSERT_TRUE(parse_options({"--wait-limit=5", "ls"}, &o, &error)) << error;
  EXPECT_EQ(o.wait_limit_ms, 5000u);

  ASSERT_TRUE(parse_options({"connect", "--device", "/dev/parport1"}, &o, &error)) << error;
  EXPECT_EQ(o.device, "/dev/parport1");
  EXPECT_EQ(o.port, 0);

  ASSERT_TRUE(parse_options({"rm", "--", "--odd-name"}, &o, &error)) << error;
  EXPECT_EQ(o.args, (std::vector<std::string>{"--odd-name"}));
  ASSERT_TRUE(parse_options({"ls"}, &o, &error));
  EXPECT_EQ(o.cable_path, kDefaultCable);
  EXPECT_FALSE(o.recursive);

  ASSERT_TRUE(parse_options({"put", "-r", "a", "b", "--text", "c", "\\dst\\"}, &o, &error))
      << error;
  EXPECT_TRUE(o.recursive);
  EXPECT_EQ(o.args, (std::vector<std::string>{"a", "b", "c", "\\dst\\"}));
  ASSERT_TRUE(parse_options({"get", "--recursive", "\\x", "--", "-r"}, &o, &error)) << error;
  EXPECT_TRUE(o.recursive);
  EXPECT_EQ(o.args, (std::vector<std::string>{"\\x", "-r"}));
}

TEST(ParseOptions, RefusesBadCommandLines) {
  struct Case {
    std::vector<std::string> argv;
    const char* error;
  };
  const Case cases[] = {
      {{}, "no command given"},
      {{"fetch", "x"}, "unknown command \"fetch\""},
      {{"get"}, "wrong number of arguments for get"},
      {{"mv", "a", "b", "c"}, "wrong number of arguments for mv"},
      {{"connect", "x"}, "wrong number of arguments for connect"},
      {{"--port", "4", "connect"}, "--port needs a number from 1 to 3"},
      {{"--port"}, "--port needs a value"},
      {{"--bus-ns", "-1", "connect"}, "--bus-ns needs a number"},
      {{"--cable", "c", "--port", "1", "connect"}, "--cable and --port exclude each other"},
      {{"--device", "/dev/parport0", "--cable", "c", "connect"},
       "--device and --cable exclude each other"},
      {{"--port", "2", "--device=/dev/parport0", "connect"},
       "--device and --port exclude each other"},
      {{"--device", "", "connect"}, "--device needs a path"},
      {{"connect", "--device"}, "--device needs a path"},
      {{"--cable", "", "connect"}, "--cable needs a path"},
      {{"connect", "--cable"}, "--cable needs a path"},
      {{"--charset=", "ls"}, "--charset needs the name of a code page"},
      {{"--text", "ls"}, "--text and --resume go with get and put only"},
      {{"--raw", "get", "x"}, "--raw goes with ls only"},
      {{"--resume=yes", "get", "x"}, "--resume takes no value"},
      {{"--frobnicate", "ls"}, "unknown option --frobnicate"},
      {{"-r", "ls"}, "-r goes with get and put only"},
      {{"--recursive=1", "get", "x"}, "--recursive takes no value"},
      {{"--wait-limit", "0", "ls"}, "--wait-limit needs a number from 1 to 86400"},
  };
  for (const Case& c : cases) {
    Options o;
    std::string error;
    EXPECT_FALSE(parse_options(c.argv, &o, &error)) << c.error;
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
}

TEST(ParseOptions, HelpAndVersionNeedNoCommand) {
  Options o;
  std::string error;
  ASSERT_TRUE(parse_options({"--help"}, &o, &error));
  EXPECT_TRUE(o.help);
  ASSERT_TRUE(parse_options({"--version"}, &o, &error));
  EXPECT_TRUE(o.version);
  EXPECT_NE(usage_text().find("Exit status:"), std::string::npos);
}

}  // namespace
}  // namespace tarnel::client

// The servers' command lines: read by their tables, every option in --help,
// in the program's manual page and in the README.
#include "startup/options.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "startup/usage.h"

namespace tarnel {
namespace {

std::string read_source(const std::string& name) {
  std::ifstream in(std::string(TARNEL_SOURCE_DIR) + "/" + name);
  EXPECT_TRUE(in) << "cannot read " << name;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(ServerOptions, ReadsTheOptionsAndLeavesThePortNumber) {
  struct Case {
    Server server;
    std::vector<std::string> args;
    std::vector<std::string> words;
    std::string device, cable;
  };
  const Case cases[] = {
      {Server::kTarnel, {}, {}, "", ""},
      {Server::kTarnel, {"2"}, {"2"}, "", ""},
      {Server::kTarnel, {"23", "x"}, {"23", "x"}, "", ""},
      {Server::kTarnel, {""}, {""}, "", ""},
      {Server::kTarnel, {"3", "--device", "/dev/parport1"}, {"3"}, "/dev/parport1", ""},
      {Server::kTarnel, {"--device=/dev/parport0"}, {}, "/dev/parport0", ""},
      {Server::kTarnelSim, {"--cable", "x.cable", "3"}, {"3"}, "", "x.cable"},
      {Server::kTarnelSim, {"--cable", ""}, {}, "", ""},
      {Server::kTarnelSim, {"--", "-2"}, {"-2"}, "", ""},
  };
  for (const Case& c : cases) {
    ServerOptions o;
    std::string error;
    ASSERT_TRUE(parse_server_options(c.server, c.args, &o, &error)) << error;
    EXPECT_EQ(o.words, c.words);
    EXPECT_EQ(o.device, c.device);
    EXPECT_EQ(o.cable, c.cable);
  }
}

TEST(ServerOptions, RefusesUnknownOptionsAndMissingValues) {
  struct Case {
    Server server;
    std::vector<std::string> args;
    const char* error;
    bool unknown;
  };
  const Case cases[] = {
      {Server::kTarnel, {"--share", "/srv"}, "unknown option --share", true},
      {Server::kTarnel, {"-1"}, "unknown option -1", true},
      {Server::kTarnel, {"--cable", "c"}, "unknown option --cable", true},
      {Server::kTarnelSim, {"--device", "/dev/parport0"}, "unknown option --device", true},
      {Server::kTarnel, {"2", "--device"}, "--device needs a path", false},
      {Server::kTarnel, {"--device", ""}, "--device needs a path", false},
      {Server::kTarnelSim, {"--cable"}, "--cable needs a path", false},
  };
  for (const Case& c : cases) {
    ServerOptions o;
    std::string error;
    bool unknown = !c.unknown;
    EXPECT_FALSE(parse_server_options(c.server, c.args, &o, &error, &unknown)) << c.error;
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(unknown, c.unknown);
  }
}

TEST(ServerOptions, EveryOptionIsInHelpManualPageAndReadme) {
  const std::string readme = read_source("README.md");
  for (Server server : {Server::kTarnel, Server::kTarnelSim}) {
    const std::string name = server_name(server);
    SCOPED_TRACE(name);
    const std::string help = server_usage(name);
    // The usage that follows a refused command line names every option.
    const std::string usage = server_synopsis(name);
    EXPECT_EQ(help.substr(0, usage.size()), usage) << "--help begins with the synopsis";
    const std::string page = read_source("man/" + name + ".1");
    const std::vector<OptionSpec> table = server_option_table(server);
    ASSERT_GE(table.size(), 3u);
    for (const OptionSpec& entry : table) {
      const std::string option = entry.name;
      std::string label = "  " + option + (entry.argument ? std::string(" ") + entry.argument : "");
      EXPECT_NE(help.find("\n" + label + " "), std::string::npos) << option << " not in --help";
      // The page's heading for the option: .B or .BI with the roff hyphens.
      std::string roff;
      for (char ch : option) roff += ch == '-' ? "\\-" : std::string(1, ch);
      const bool in_page = page.find("\n.B " + roff + "\n") != std::string::npos ||
                           page.find("\n.BI " + roff + " ") != std::string::npos;
      EXPECT_TRUE(in_page) << option << " has no heading in " << name << "(1)";
      EXPECT_NE(usage.find(label.substr(2)), std::string::npos) << option << " not in " << usage;
      if (option != "--help" && option != "--version") {
        EXPECT_NE(readme.find(name + " " + option), std::string::npos)
            << "\"" << name << " " << option << "\" not in the README";
      }
    }
  }
}

TEST(ServerOptions, PortRequestFollowsTheServer) {
  ServerOptions o;
  o.device = "/dev/parport2";
  o.cable = "c";
  const PortRequest io = port_request(Server::kTarnel, o);
  EXPECT_EQ(io.device, "/dev/parport2");
  EXPECT_TRUE(io.io_ports);
  const PortRequest sim = port_request(Server::kTarnelSim, o);
  EXPECT_TRUE(sim.device.empty());
  EXPECT_FALSE(sim.io_ports);
  EXPECT_EQ(sim.cable, "c");
  EXPECT_EQ(sim.end, VirtualCable::kEndA);
}

}  // namespace
}  // namespace tarnel

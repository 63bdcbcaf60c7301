#include "startup/usage.h"

#include <algorithm>
#include <cstdio>

#include "startup/options.h"

namespace tarnel {

std::string server_usage(std::string_view program) {
  const std::string name(program);
  const bool sim = program == "tarnel-sim";
  std::string text;
  if (sim) {
    text =
        "Usage: tarnel-sim [--cable PATH] [portnr]\n"
        "\n"
        "The tarnel server with a virtual cable in place of the printer port: a\n"
        "4096-byte file that two programs share, each at one end (this server at\n"
        "end A, tarnel-client at end B).\n"
        "\n"
        "  portnr         1, 2 or 3 (default 1); only its first character counts\n";
  } else {
    text =
        "Usage: tarnel [--device /dev/parportN] [portnr]\n"
        "\n"
        "Serves this PC's file system over a parallel-port file-transfer cable to\n"
        "the file manager on a second PC.\n"
        "\n"
        "  portnr         the printer port: 1 (0x378, the default), 2 (0x3BC) or\n"
        "                 3 (0x278); only its first character counts\n";
  }
  text += options_help(server_option_table(sim ? Server::kTarnelSim : Server::kTarnel), 15);
  text += "\n";
  if (!sim) {
    text +=
        "Without --device, tarnel needs root rights to claim the port: install it\n"
        "set-user-ID root and start it as an ordinary user; it gives the rights up\n"
        "right after the claim.\n";
  }
  text +=
      "The server shows every command on its console; any key ends it.\n"
      "Without --root, every path that the starting user can reach is open to the\n"
      "other PC.\n"
      "See " +
      name + "(1).\n";
  return text;
}

bool print_info_option(const std::vector<std::string>& args, std::string_view program) {
  const auto given = [&](const char* option) {
    return std::find(args.begin(), args.end(), option) != args.end();
  };
  std::string text;
  if (given("--help")) {
    text = server_usage(program);
  } else if (given("--version")) {
    text = std::string(program) + " " + kVersion + "\n";
  } else {
    return false;
  }
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
  return true;
}

}  // namespace tarnel

#include "startup/usage.h"

#include "startup/options.h"

namespace tarnel {

std::string server_usage(std::string_view program) {
  const std::string name(program);
  const bool sim = program == "tarnel-sim";
  const std::vector<OptionSpec> table =
      server_option_table(sim ? Server::kTarnelSim : Server::kTarnel);
  std::string text = server_synopsis(program);
  if (sim) {
    text +=
        "\n"
        "The tarnel server with a virtual cable in place of the printer port: a\n"
        "4096-byte file that two programs share, each at one end (this server at\n"
        "end A, tarnel-client at end B).\n"
        "\n"
        "  portnr             1, 2 or 3 (default 1); only its first character counts\n";
  } else {
    text +=
        "\n"
        "Serves this PC's file system over a parallel-port file-transfer cable to\n"
        "the file manager on a second PC.\n"
        "\n"
        "  portnr             the printer port: 1 (0x378, the default), 2 (0x3BC) or\n"
        "                     3 (0x278); only its first character counts\n";
  }
  text += options_help(table, 19);
  text += "\n";
  if (!sim) {
    text +=
        "Without --device or --gpio, tarnel needs root rights to claim the port:\n"
        "install it set-user-ID root and start it as an ordinary user; it gives the\n"
        "rights up right after the claim. --gpio takes the Raspberry Pi header's\n"
        "GPIO 17, 27, 22, 23, 24 for D0-D4 and GPIO 5, 6, 13, 19, 26 for ERROR,\n"
        "SELECT, PAPER END, ACK, BUSY (pins 11, 13, 15, 16, 18 and 29, 31, 33, 35,\n"
        "37); the board's pins take 3.3 V: never wire them to the port without\n"
        "level shifters (see the README).\n";
  }
  text +=
      "The server shows every command on its console; any key ends it.\n"
      "Without --root, every path that the starting user can reach is open to the\n"
      "other PC.\n"
      "See " +
      name + "(1).\n";
  return text;
}

std::string server_synopsis(std::string_view program) {
  return synopsis(
      program, server_option_table(program == "tarnel-sim" ? Server::kTarnelSim : Server::kTarnel),
      "[portnr]");
}

bool print_info_option(const std::vector<std::string>& args, std::string_view program) {
  return answer_info_option(args, program, server_usage(program));
}

}  // namespace tarnel

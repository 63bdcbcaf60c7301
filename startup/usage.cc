#include "startup/usage.h"

#include <algorithm>
#include <cstdio>

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
        "  portnr         1, 2 or 3 (default 1); only its first character counts\n"
        "  --cable PATH   the cable file (default tarnel-lpt<portnr>.cable in the\n"
        "                 current directory), created when absent\n";
  } else {
    text =
        "Usage: tarnel [--device /dev/parportN] [portnr]\n"
        "\n"
        "Serves this PC's file system over a parallel-port file-transfer cable to\n"
        "the file manager on a second PC.\n"
        "\n"
        "  portnr         the printer port: 1 (0x378, the default), 2 (0x3BC) or\n"
        "                 3 (0x278); only its first character counts\n"
        "  --device PATH  use the kernel's parallel-port device (ppdev) instead of\n"
        "                 I/O port access: no root rights needed, only access to\n"
        "                 the device (group lp)\n";
  }
  text +=
      "  --root DIR     share only the folder DIR: the client's \"\\\" is DIR, and no\n"
      "                 path leads out of it, neither by \"..\" nor by a symbolic\n"
      "                 link (a way out answers as a missing file)\n"
      "  --read-only    change nothing: uploads, DEL, MD, RD and RNTO are refused;\n"
      "                 every file and folder shows read-only\n"
      "  --charset NAME the code page in which the other PC shows names (as iconv\n"
      "                 knows it: CP1252 for Windows in Western Europe, CP850 or\n"
      "                 CP437 for DOS, ...); names on this side are UTF-8.\n"
      "                 Without it names travel as bytes\n"
      "  --help         show this text and exit\n"
      "  --version      show the version and exit\n"
      "\n";
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

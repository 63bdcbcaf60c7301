#include "startup/options.h"

namespace tarnel {
namespace {

/// Which servers take an option.
enum Servers : unsigned {
  kTarnelOnly = 1,
  kSimOnly = 2,
  kBoth = 3,
};

struct ServerOption {
  unsigned servers;
  OptionSpec entry;
};

/// Every option of the servers, in the order --help lists them.
constexpr ServerOption kServerOptions[] = {
    {kTarnelOnly,
     {"--device", "PATH",
      "use the kernel's parallel-port device (ppdev) instead of\n"
      "I/O port access: no root rights needed, only access to\n"
      "the device (group lp)",
      nullptr, nullptr, "a path"}},
    {kSimOnly,
     {"--cable", "PATH",
      "the cable file (default tarnel-lpt<portnr>.cable in the\n"
      "current directory), created when absent",
      nullptr, nullptr, "a path"}},
    {kBoth,
     {"--service", nullptr,
      "run under a service manager: standard input is not read\n"
      "and the terminal is left alone; SIGTERM, SIGINT and SIGHUP\n"
      "end the server as a key press does (exit status 0); a\n"
      "start that fails exits with status 1"}},
    {kBoth,
     {"--root", "DIR",
      "share only the folder DIR: the client's \"\\\" is DIR, and\n"
      "no path leads out of it, neither by \"..\" nor by a\n"
      "symbolic link (a way out answers as a missing file)",
      nullptr, nullptr, "a folder"}},
    {kBoth,
     {"--read-only", nullptr,
      "change nothing: uploads, DEL, MD, RD and RNTO are\n"
      "refused; every file and folder shows read-only"}},
    {kBoth,
     {"--charset", "NAME",
      "the code page in which the other PC shows names (as\n"
      "iconv knows it: CP1252 for Windows in Western Europe,\n"
      "CP850 or CP437 for DOS, ...); names on this side are\n"
      "UTF-8. Without it names travel as bytes",
      nullptr, nullptr, "the name of a code page (CP1252, CP850, ...)"}},
    {kBoth, {"--help", nullptr, "show this text and exit"}},
    {kBoth, {"--version", nullptr, "show the version and exit"}},
};

unsigned bit(Server server) { return server == Server::kTarnel ? kTarnelOnly : kSimOnly; }

}  // namespace

const char* server_name(Server server) {
  return server == Server::kTarnel ? "tarnel" : "tarnel-sim";
}

std::vector<OptionSpec> server_option_table(Server server) {
  std::vector<OptionSpec> table;
  for (const ServerOption& o : kServerOptions) {
    if (o.servers & bit(server)) table.push_back(o.entry);
  }
  return table;
}

bool parse_server_options(Server server, const std::vector<std::string>& args,
                          ServerOptions* options, std::string* error, bool* unknown) {
  const std::vector<OptionSpec> table = server_option_table(server);
  ParsedOptions parsed;
  if (!parse_command_line(table, args, &parsed, error, unknown)) {
    return false;
  }
  ServerOptions o;
  o.words = parsed.words;
  // Each option given, by its table entry.
  for (const auto& [name, value] : parsed.given) {
    if (name == "--device") {
      if (value.empty()) {
        *error = "--device needs a path";
        return false;
      }
      o.device = value;
    } else if (name == "--cable") {
      o.cable = value;
    } else if (name == "--service") {
      o.service = true;
    } else if (name == "--root") {
      if (value.empty()) {
        *error = "--root needs a folder";
        return false;
      }
      o.root = value;
    } else if (name == "--read-only") {
      o.read_only = true;
    } else if (name == "--charset") {
      if (value.empty()) {
        *error = "--charset needs the name of a code page (CP1252, CP850, ...)";
        return false;
      }
      o.charset = value;
    }
  }
  if (!check_exclusions(table, parsed, error)) return false;
  *options = o;
  return true;
}

PortRequest port_request(Server server, const ServerOptions& options) {
  PortRequest request;
  if (server == Server::kTarnel) {
    request.device = options.device;
    request.io_ports = true;
  } else {
    request.cable = options.cable;
    request.end = VirtualCable::kEndA;
  }
  return request;
}

}  // namespace tarnel

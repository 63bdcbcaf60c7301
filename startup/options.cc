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
  OptionEntry<ServerOptions> entry;
};

/// A value that is kept as given.
template <std::string ServerOptions::*field>
bool keep(ServerOptions& o, const OptionSpec&, const std::string& value, std::string*) {
  o.*field = value;
  return true;
}

/// An option without a value that turns something on.
template <bool ServerOptions::*field>
bool turn_on(ServerOptions& o, const OptionSpec&, const std::string&, std::string*) {
  o.*field = true;
  return true;
}

bool take_gpio_lines(ServerOptions& o, const OptionSpec&, const std::string& value,
                     std::string* error) {
  o.gpio_lines_given = true;
  return parse_gpio_lines(value, &o.gpio_lines, error);
}

/// Every option of the servers, in the order --help lists them.
const ServerOption kServerOptions[] = {
    {kTarnelOnly,
     {{"--device", "PATH",
       "use the kernel's parallel-port device (ppdev) instead of\n"
       "I/O port access: no root rights needed, only access to\n"
       "the device (group lp)",
       nullptr, nullptr, "a path"},
      keep<&ServerOptions::device>}},
    {kTarnelOnly,
     {{"--gpio", "CHIP",
       "make the port of ten GPIO lines of the chip CHIP\n"
       "(/dev/gpiochip0, or gpiochip0): no root rights needed,\n"
       "only access to the chip (group gpio)",
       "--device", nullptr, "a GPIO chip (/dev/gpiochip0, ...)"},
      keep<&ServerOptions::gpio>}},
    {kTarnelOnly,
     {{"--gpio-lines", "LINES",
       "the chip's lines for D0-D4 and for ERROR, SELECT, PAPER\n"
       "END, ACK, BUSY, as OUT0,...,OUT4:IN3,...,IN7 (default\n"
       "17,27,22,23,24:5,6,13,19,26: the Raspberry Pi header)",
       nullptr, nullptr, "the lines (OUT0,...,OUT4:IN3,...,IN7)"},
      take_gpio_lines}},
    {kSimOnly,
     {{"--cable", "PATH",
       "the cable file (default tarnel-lpt<portnr>.cable in the\n"
       "current directory), created when absent",
       nullptr, nullptr, "a path", /*may_be_empty=*/true},
      keep<&ServerOptions::cable>}},
    {kBoth,
     {{"--service", nullptr,
       "run under a service manager: standard input is not read\n"
       "and the terminal is left alone; SIGTERM, SIGINT and SIGHUP\n"
       "end the server as a key press does (exit status 0); a\n"
       "start that fails exits with status 1"},
      turn_on<&ServerOptions::service>}},
    {kBoth,
     {{"--root", "DIR",
       "share only the folder DIR: the client's \"\\\" is DIR, and\n"
       "no path leads out of it, neither by \"..\" nor by a\n"
       "symbolic link (a way out answers as a missing file)",
       nullptr, nullptr, "a folder"},
      keep<&ServerOptions::root>}},
    {kBoth,
     {{"--read-only", nullptr,
       "change nothing: uploads, DEL, MD, RD and RNTO are\n"
       "refused; every file and folder shows read-only"},
      turn_on<&ServerOptions::read_only>}},
    {kBoth,
     {{"--charset", "NAME",
       "the code page in which the other PC shows names (as\n"
       "iconv knows it: CP1252 for Windows in Western Europe,\n"
       "CP850 or CP437 for DOS, ...); names on this side are\n"
       "UTF-8. Without it names travel as bytes",
       nullptr, nullptr, "the name of a code page (CP1252, CP850, ...)"},
      keep<&ServerOptions::charset>}},
    {kBoth, {{"--help", nullptr, "show this text and exit"}}},
    {kBoth, {{"--version", nullptr, "show the version and exit"}}},
};

unsigned bit(Server server) { return server == Server::kTarnel ? kTarnelOnly : kSimOnly; }

}  // namespace

const char* server_name(Server server) {
  return server == Server::kTarnel ? "tarnel" : "tarnel-sim";
}

std::vector<OptionEntry<ServerOptions>> server_option_entries(Server server) {
  std::vector<OptionEntry<ServerOptions>> table;
  for (const ServerOption& o : kServerOptions) {
    if (o.servers & bit(server)) table.push_back(o.entry);
  }
  return table;
}

std::vector<OptionSpec> server_option_table(Server server) {
  return plain_options<ServerOptions>(server_option_entries(server));
}

bool parse_server_options(Server server, const std::vector<std::string>& args,
                          ServerOptions* options, std::string* error, bool* unknown) {
  ServerOptions o;
  if (!read_options<ServerOptions>(server_option_entries(server), args, &o, &o.words, error,
                                   unknown)) {
    return false;
  }
  if (o.gpio_lines_given && o.gpio.empty()) {
    *error = "--gpio-lines goes with --gpio only";
    return false;
  }
  *options = o;
  return true;
}

PortRequest port_request(Server server, const ServerOptions& options) {
  PortRequest request;
  if (server == Server::kTarnel) {
    request.device = options.device;
    request.gpio_chip = options.gpio;
    request.gpio_lines = options.gpio_lines;
    request.io_ports = true;
  } else {
    request.cable = options.cable;
    request.end = VirtualCable::kEndA;
  }
  return request;
}

}  // namespace tarnel

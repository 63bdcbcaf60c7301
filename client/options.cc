#include "client/options.h"

#include <limits>
#include <type_traits>

#include "base/option_table.h"
#include "client/command_table.h"
#include "client/outcome.h"
#include "client/protocol.h"

namespace tarnel::client {
namespace {

bool number_option(const std::string& name, const std::string& value, int64_t min, int64_t max,
                   int64_t* out, std::string* error) {
  if (!parse_decimal(value, min, max, out)) {
    *error = name + " needs a number from " + std::to_string(min) + " to " + std::to_string(max) +
             ", not \"" + value + "\"";
    return false;
  }
  return true;
}

/// A value that is kept as given.
template <std::string Options::*field>
bool keep(Options& o, const OptionSpec&, const std::string& value, std::string*) {
  o.*field = value;
  return true;
}

/// An option without a value that turns something on.
template <bool Options::*field>
bool turn_on(Options& o, const OptionSpec&, const std::string&, std::string*) {
  o.*field = true;
  return true;
}

/// A whole number from `min` to `max`, stored times `scale`.
template <auto field, int64_t min, int64_t max, int64_t scale = 1>
bool number(Options& o, const OptionSpec& option, const std::string& value, std::string* error) {
  int64_t n;
  if (!number_option(option.name, value, min, max, &n, error)) return false;
  o.*field = static_cast<std::remove_reference_t<decltype(o.*field)>>(n * scale);
  return true;
}

bool take_charset(Options& o, const OptionSpec&, const std::string& value, std::string* error) {
  std::string why;
  if (Charset::open(value, &o.charset, &why)) return true;
  *error = "--charset: " + why;
  return false;
}

/// Every option of the command line, in the order --help lists them.
const OptionEntry<Options> kOptions[] = {
    {{"--cable", "PATH", "the virtual cable file (default tarnel-lpt1.cable), created\nwhen absent",
      "--port", nullptr, "a path"},
     keep<&Options::cable_path>},
    {{"--bus-ns", "N", "time of one port access on a cable created here (default 1000)"},
     number<&Options::bus_ns, 0, std::numeric_limits<uint32_t>::max()>},
    {{"--port", "N",
      "a real printer port instead: 1 (0x378), 2 (0x3BC), 3 (0x278);\nneeds the right to use "
      "ioperm"},
     number<&Options::port, 1, 3>},
    {{"--device", "PATH",
      "a real printer port through the kernel's parallel-port\ndevice (/dev/parport0, ...): any "
      "card address, no root\nrights, only access to the device (usually the lp group)",
      "--cable --port", nullptr, "a path"},
     keep<&Options::device>},
    {{"--gpio", "CHIP",
      "a printer port made of ten GPIO lines of the chip CHIP\n(/dev/gpiochip0, or gpiochip0): "
      "no root rights, only access\nto the chip (usually the gpio group)",
      "--cable --port --device", nullptr, "a GPIO chip (/dev/gpiochip0, ...)"},
     keep<&Options::gpio>},
    {{"--gpio-lines", "LINES",
      "the chip's lines for D0-D4 and for ERROR, SELECT, PAPER END,\nACK, BUSY, as "
      "OUT0,...,OUT4:IN3,...,IN7 (default\n17,27,22,23,24:5,6,13,19,26: the Raspberry Pi "
      "header)",
      nullptr, nullptr, "the lines (OUT0,...,OUT4:IN3,...,IN7)"},
     [](Options& o, const OptionSpec&, const std::string& value, std::string* error) {
       o.gpio_lines_given = true;
       return parse_gpio_lines(value, &o.gpio_lines, error);
     }},
    {{"--text", nullptr,
      "get, put: text mode; the local file has LF line ends and\ntravels with CR LF (the server "
      "stores LF; it drops every CR\nof a text upload)"},
     turn_on<&Options::text>},
    {{"--resume", nullptr,
      "get: continue an interrupted download (LOCAL.tarnel-part);\nput: continue where the "
      "server's copy ends"},
     turn_on<&Options::resume>},
    {{"--recursive", nullptr,
      "get, put: copy directories with everything in them (a source\ncopied into an existing "
      "directory keeps its name there)",
      nullptr, "-r"},
     turn_on<&Options::recursive>},
    {{"--raw", nullptr, "ls: print the listing lines as the server sends them"},
     turn_on<&Options::raw>},
    {{"--timeout", "SEC", "how long to wait for a reply (default 10)"},
     number<&Options::timeout_ms, 1, 3600, 1000>},
    {{"--wait-limit", "SEC",
      "how long the server may keep a reply back with \"WAIT\" while\nit scans a folder or a "
      "text file (default 1800)"},
     number<&Options::wait_limit_ms, 1, 86400, 1000>},
    {{"--verbose", nullptr, "log every command, reply and link event on standard error"},
     turn_on<&Options::verbose>},
    {{"--charset", "NAME",
      "send and read the server's names in this code page, as\nthe other PC does (CP1252, "
      "CP850, ...; names here are\nUTF-8); for a server started with the same --charset",
      nullptr, nullptr, "the name of a code page (CP1252, CP850, ...)"},
     take_charset},
    {{"--help", nullptr, "show this text and exit"}},
    {{"--version", nullptr, "show the version and exit"}},
};

/// The checks that tie the options and the command together.
bool check_command(const Options& o, std::string* error) {
  const CommandSpec* shape = find_command(o.command);
  if (o.gpio_lines_given && o.gpio.empty()) {
    *error = "--gpio-lines goes with --gpio only";
  } else if (!shape) {
    *error = "unknown command \"" + o.command + "\"";
  } else if (o.args.size() < shape->min_args || o.args.size() > shape->max_args) {
    *error = "wrong number of arguments for " + o.command;
  } else if (o.recursive && !shape->transfer) {
    *error = "-r goes with get and put only";
  } else if ((o.text || o.resume) && !shape->transfer) {
    *error = "--text and --resume go with get and put only";
  } else if (o.raw && !shape->listing) {
    *error = "--raw goes with ls only";
  } else {
    return true;
  }
  return false;
}

}  // namespace

std::span<const OptionEntry<Options>> option_entries() { return kOptions; }

std::span<const OptionSpec> option_table() {
  static const std::vector<OptionSpec> plain = plain_options<Options>(kOptions);
  return plain;
}

bool parse_options(const std::vector<std::string>& argv, Options* options, std::string* error) {
  Options o;
  // --help and --version win over anything else on the line, even over a
  // mistake.
  const InfoOption info = info_option(argv);
  if (info != InfoOption::kNone) {
    o.help = info == InfoOption::kHelp;
    o.version = info == InfoOption::kShowVersion;
    *options = o;
    return true;
  }
  std::vector<std::string> words;
  if (!read_options<Options>(kOptions, argv, &o, &words, error)) return false;
  if (words.empty()) {
    *error = "no command given";
    return false;
  }
  o.command = words[0];
  o.args.assign(words.begin() + 1, words.end());
  if (!check_command(o, error)) return false;
  *options = o;
  return true;
}

PortRequest port_request(const Options& options) {
  PortRequest request;
  request.device = options.device;
  request.gpio_chip = options.gpio;
  request.gpio_lines = options.gpio_lines;
  request.io_ports = options.port != 0;
  request.cable = options.cable_path;
  request.end = VirtualCable::kEndB;
  request.bus_ns_if_created = options.bus_ns;
  return request;
}

std::vector<std::string> option_names() {
  std::vector<std::string> names = tarnel::option_names(option_table());
  names.push_back("-r");
  return names;
}

std::vector<std::string> command_names() {
  std::vector<std::string> names;
  for (const CommandSpec& c : command_table()) names.push_back(c.name);
  return names;
}

std::string synopsis_text() {
  return synopsis("tarnel-client", option_table(), "COMMAND [ARGUMENTS]");
}

std::string usage_text() {
  std::string text = synopsis_text();
  text +=
      "\n"
      "Talks to a tarnel server over a parallel-port file-transfer cable (end B),\n"
      "one command per run.\n"
      "\n"
      "Commands (server paths as the server takes them: \"\\dir\\file\", \"dir\\file\" and\n"
      "\"/dir/file\" all name /dir/file on the server):\n";
  for (const CommandSpec& c : command_table()) text += c.help;
  text +=
      "\n"
      "Options:\n";
  text += options_help(option_table(), 16);
  text +=
      "\n"
      "A download goes to LOCAL.tarnel-part and is renamed to LOCAL once complete.\n"
      "A copy of several files uses one connection; a file that fails is reported\n"
      "and the copy goes on; the exit status is then that of the first failure.\n"
      "\n"
      "Exit status:\n";
  text += exit_status_table();
  return text;
}

const char* exit_status_table() {
  return "    0  success\n"
         "    2  bad command line\n"
         "    3  the cable or the port cannot be used\n"
         "    4  no server answering\n"
         "    5  link failure: a frame refused or failed, a transfer cut short,\n"
         "       no reply in time, an upload the server did not store\n"
         "    6  the server does not know the command (bad-command signal)\n"
         "    7  an unexpected reply\n"
         "    8  FILE ERROR from the server\n"
         "    9  DIR ERROR from the server\n"
         "   10  RENAME ERROR from the server\n"
         "   11  REST ERROR from the server\n"
         "   12  a local file cannot be read or written\n"
         "   13  cannot resume: the local and the server's file differ\n"
         "  130  interrupted\n";
}

}  // namespace tarnel::client

#include "client/options.h"

#include <limits>

#include "base/option_table.h"
#include "client/command_table.h"
#include "client/outcome.h"
#include "client/protocol.h"

namespace tarnel::client {
namespace {

/// Every option of the command line, in the order --help lists them.
constexpr OptionSpec kOptions[] = {
    {"--cable", "PATH", "the virtual cable file (default tarnel-lpt1.cable), created\nwhen absent",
     "--port", nullptr, "a value"},
    {"--bus-ns", "N", "time of one port access on a cable created here (default 1000)"},
    {"--port", "N",
     "a real printer port instead: 1 (0x378), 2 (0x3BC), 3 (0x278);\nneeds the right to use "
     "ioperm"},
    {"--device", "PATH",
     "a real printer port through the kernel's parallel-port\ndevice (/dev/parport0, ...): any "
     "card address, no root\nrights, only access to the device (usually the lp group)",
     "--cable --port"},
    {"--text", nullptr,
     "get, put: text mode; the local file has LF line ends and\ntravels with CR LF (the server "
     "stores LF; it drops every CR\nof a text upload)"},
    {"--resume", nullptr,
     "get: continue an interrupted download (LOCAL.tarnel-part);\nput: continue where the "
     "server's copy ends"},
    {"--recursive", nullptr,
     "get, put: copy directories with everything in them (a source\ncopied into an existing "
     "directory keeps its name there)",
     nullptr, "-r"},
    {"--raw", nullptr, "ls: print the listing lines as the server sends them"},
    {"--timeout", "SEC", "how long to wait for a reply (default 10)"},
    {"--wait-limit", "SEC",
     "how long the server may keep a reply back with \"WAIT\" while\nit scans a folder or a "
     "text file (default 1800)"},
    {"--verbose", nullptr, "log every command, reply and link event on standard error"},
    {"--charset", "NAME",
     "send and read the server's names in this code page, as\nthe other PC does (CP1252, "
     "CP850, ...; names here are\nUTF-8); for a server started with the same --charset"},
    {"--help", nullptr, "show this text and exit"},
    {"--version", nullptr, "show the version and exit"},
};

bool number_option(const std::string& name, const std::string& value, int64_t min, int64_t max,
                   int64_t* out, std::string* error) {
  if (!parse_decimal(value, min, max, out)) {
    *error = name + " needs a number from " + std::to_string(min) + " to " + std::to_string(max) +
             ", not \"" + value + "\"";
    return false;
  }
  return true;
}

}  // namespace

std::span<const OptionSpec> option_table() { return kOptions; }

bool parse_options(const std::vector<std::string>& argv, Options* options, std::string* error) {
  Options o;
  // --help and --version are taken off first: they win over anything else
  // on the line, even over a mistake.
  for (const std::string& arg : argv) {
    if (arg == "--") break;
    if (arg == "--help") o.help = true;
    if (arg == "--version") o.version = true;
  }
  if (o.help || o.version) {
    *options = o;
    return true;
  }
  ParsedOptions parsed;
  if (!parse_command_line(kOptions, argv, &parsed, error)) return false;
  int64_t n;
  // Each option given, by its table entry; a value is checked as it comes.
  for (const auto& [name, value] : parsed.given) {
    if (name == "--cable") {
      if (value.empty()) {
        *error = "--cable needs a path";
        return false;
      }
      o.cable_path = value;
    } else if (name == "--device") {
      if (value.empty()) {
        *error = "--device needs a path";
        return false;
      }
      o.device = value;
    } else if (name == "--bus-ns") {
      if (!number_option(name, value, 0, std::numeric_limits<uint32_t>::max(), &n, error)) {
        return false;
      }
      o.bus_ns = static_cast<uint32_t>(n);
    } else if (name == "--port") {
      if (!number_option(name, value, 1, 3, &n, error)) return false;
      o.port = static_cast<int>(n);
    } else if (name == "--timeout") {
      if (!number_option(name, value, 1, 3600, &n, error)) return false;
      o.timeout_ms = static_cast<unsigned>(n) * 1000;
    } else if (name == "--wait-limit") {
      if (!number_option(name, value, 1, 86400, &n, error)) return false;
      o.wait_limit_ms = static_cast<unsigned>(n) * 1000;
    } else if (name == "--text") {
      o.text = true;
    } else if (name == "--resume") {
      o.resume = true;
    } else if (name == "--recursive") {
      o.recursive = true;
    } else if (name == "--raw") {
      o.raw = true;
    } else if (name == "--verbose") {
      o.verbose = true;
    } else if (name == "--charset") {
      std::string why;
      if (!Charset::open(value, &o.charset, &why)) {
        *error = "--charset: " + why;
        return false;
      }
    }
  }
  if (!check_exclusions(kOptions, parsed, error)) return false;
  const std::vector<std::string>& words = parsed.words;
  if (words.empty()) {
    *error = "no command given";
    return false;
  }
  o.command = words[0];
  o.args.assign(words.begin() + 1, words.end());
  const CommandSpec* shape = find_command(o.command);
  if (!shape) {
    *error = "unknown command \"" + o.command + "\"";
    return false;
  }
  if (o.args.size() < shape->min_args || o.args.size() > shape->max_args) {
    *error = "wrong number of arguments for " + o.command;
    return false;
  }
  const bool transfer = shape->transfer;
  if (o.recursive && !transfer) {
    *error = "-r goes with get and put only";
    return false;
  }
  if ((o.text || o.resume) && !transfer) {
    *error = "--text and --resume go with get and put only";
    return false;
  }
  if (o.raw && !shape->listing) {
    *error = "--raw goes with ls only";
    return false;
  }
  *options = o;
  return true;
}

std::vector<std::string> option_names() {
  std::vector<std::string> names = tarnel::option_names(kOptions);
  names.push_back("-r");
  return names;
}

std::vector<std::string> command_names() {
  std::vector<std::string> names;
  for (const CommandSpec& c : command_table()) names.push_back(c.name);
  return names;
}

std::string usage_text() {
  std::string text =
      "Usage: tarnel-client [OPTIONS] COMMAND [ARGUMENTS]\n"
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
  text += options_help(kOptions, 16);
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

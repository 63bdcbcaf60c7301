#include "client/options.h"

#include <limits>

#include "client/command_table.h"
#include "client/outcome.h"
#include "client/protocol.h"

namespace tarnel::client {
namespace {

/// Every option the command line takes (the manual page's test reads this
/// list; parse_options refuses any other).
constexpr const char* kOptionNames[] = {
    "--cable",   "--device", "--bus-ns",  "--port",       "--timeout",
    "--text",    "--resume", "-r",        "--recursive",  "--raw",
    "--verbose", "--help",   "--version", "--wait-limit", "--charset",
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
  bool cable_given = false;
  std::vector<std::string> words;
  bool options_end = false;
  for (size_t i = 0; i < argv.size(); ++i) {
    std::string arg = argv[i];
    if (!options_end && arg == "-r") arg = "--recursive";
    if (options_end || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      words.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_end = true;
      continue;
    }
    std::string value;
    bool has_value = false;
    if (const size_t eq = arg.find('='); eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      has_value = true;
    }
    auto take_value = [&]() -> bool {
      if (has_value) return true;
      if (i + 1 >= argv.size()) {
        *error = arg + " needs a value";
        return false;
      }
      value = argv[++i];
      return true;
    };
    auto no_value = [&]() -> bool {
      if (has_value) *error = arg + " takes no value";
      return !has_value;
    };
    bool known = false;
    for (const char* name : kOptionNames) known = known || arg == name;
    if (!known) {
      *error = "unknown option " + arg;
      return false;
    }
    int64_t n;
    if (arg == "--cable") {
      if (!take_value()) return false;
      if (value.empty()) {
        *error = "--cable needs a path";
        return false;
      }
      o.cable_path = value;
      cable_given = true;
    } else if (arg == "--device") {
      if (!take_value()) return false;
      if (value.empty()) {
        *error = "--device needs a path";
        return false;
      }
      o.device = value;
    } else if (arg == "--bus-ns") {
      if (!take_value() ||
          !number_option(arg, value, 0, std::numeric_limits<uint32_t>::max(), &n, error)) {
        return false;
      }
      o.bus_ns = static_cast<uint32_t>(n);
    } else if (arg == "--port") {
      if (!take_value() || !number_option(arg, value, 1, 3, &n, error)) return false;
      o.port = static_cast<int>(n);
    } else if (arg == "--timeout") {
      if (!take_value() || !number_option(arg, value, 1, 3600, &n, error)) return false;
      o.timeout_ms = static_cast<unsigned>(n) * 1000;
    } else if (arg == "--wait-limit") {
      if (!take_value() || !number_option(arg, value, 1, 86400, &n, error)) return false;
      o.wait_limit_ms = static_cast<unsigned>(n) * 1000;
    } else if (arg == "--text") {
      if (!no_value()) return false;
      o.text = true;
    } else if (arg == "--resume") {
      if (!no_value()) return false;
      o.resume = true;
    } else if (arg == "--recursive") {
      if (!no_value()) return false;
      o.recursive = true;
    } else if (arg == "--raw") {
      if (!no_value()) return false;
      o.raw = true;
    } else if (arg == "--verbose") {
      if (!no_value()) return false;
      o.verbose = true;
    } else if (arg == "--charset") {
      if (!take_value()) return false;
      std::string why;
      if (!Charset::open(value, &o.charset, &why)) {
        *error = "--charset: " + why;
        return false;
      }
    } else if (arg == "--help") {
      o.help = true;
    } else if (arg == "--version") {
      o.version = true;
    } else {
      *error = "unknown option " + arg;
      return false;
    }
  }
  if (o.help || o.version) {
    *options = o;
    return true;
  }
  if (cable_given && o.port != 0) {
    *error = "--cable and --port exclude each other";
    return false;
  }
  if (!o.device.empty() && (cable_given || o.port != 0)) {
    *error =
        std::string("--device and ") + (cable_given ? "--cable" : "--port") + " exclude each other";
    return false;
  }
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
  return std::vector<std::string>(std::begin(kOptionNames), std::end(kOptionNames));
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
      "Options:\n"
      "  --cable PATH    the virtual cable file (default tarnel-lpt1.cable), created\n"
      "                  when absent\n"
      "  --bus-ns N      time of one port access on a cable created here (default 1000)\n"
      "  --port N        a real printer port instead: 1 (0x378), 2 (0x3BC), 3 (0x278);\n"
      "                  needs the right to use ioperm\n"
      "  --device PATH   a real printer port through the kernel's parallel-port\n"
      "                  device (/dev/parport0, ...): any card address, no root\n"
      "                  rights, only access to the device (usually the lp group)\n"
      "  --text          get, put: text mode; the local file has LF line ends and\n"
      "                  travels with CR LF (the server stores LF; it drops every CR\n"
      "                  of a text upload)\n"
      "  --resume        get: continue an interrupted download (LOCAL.tarnel-part);\n"
      "                  put: continue where the server's copy ends\n"
      "  -r, --recursive get, put: copy directories with everything in them (a source\n"
      "                  copied into an existing directory keeps its name there)\n"
      "  --raw           ls: print the listing lines as the server sends them\n"
      "  --timeout SEC   how long to wait for a reply (default 10)\n"
      "  --wait-limit SEC\n"
      "                  how long the server may keep a reply back with \"WAIT\" while\n"
      "                  it scans a folder or a text file (default 1800)\n"
      "  --verbose       log every command, reply and link event on standard error\n"
      "  --charset NAME  send and read the server's names in this code page, as\n"
      "                  the other PC does (CP1252, CP850, ...; names here are\n"
      "                  UTF-8); for a server started with the same --charset\n"
      "  --help, --version\n"
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

// The client's command line.
#ifndef TARNEL_CLIENT_OPTIONS_H_
#define TARNEL_CLIENT_OPTIONS_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/charset.h"
#include "base/option_table.h"
#include "link/port_factory.h"

namespace tarnel::client {

constexpr const char* kClientVersion = TARNEL_VERSION;
/// The virtual cable used when neither --cable nor --port is given: the one
/// the simulated server uses by default for port 1.
constexpr const char* kDefaultCable = "tarnel-lpt1.cable";

struct Options {
  std::string cable_path = kDefaultCable;
  uint32_t bus_ns = 1000;                    // for a cable this client creates
  int port = 0;                              // 1..3: a real printer port instead of the cable
  std::string device;                        // the parallel-port device (/dev/parportN) instead
  std::string gpio;                          // a GPIO chip's lines instead (--gpio)
  GpioLines gpio_lines = kRaspberryPiLines;  // --gpio-lines
  bool gpio_lines_given = false;
  bool text = false;       // get, put: text mode
  bool resume = false;     // get, put: continue an interrupted transfer
  bool raw = false;        // ls: the lines as sent
  bool recursive = false;  // get, put: copy directory trees (-r)
  unsigned timeout_ms = 10000;
  /// How long the server may keep a reply back with "WAIT" (its scans of a
  /// folder or of a text file): far more than a scan of a very large folder
  /// takes, and still an end for a server that sends nothing else.
  unsigned wait_limit_ms = 1800 * 1000;
  bool verbose = false;  // log the exchange on standard error
  Charset charset;       // --charset: the server's names in this code page
  bool help = false;
  bool version = false;
  std::string command;  // connect, ls, get, put, rm, mkdir, rmdir, mv, raw
  std::vector<std::string> args;
};

/// Reads the arguments (program name excluded). Options may stand anywhere;
/// "--" ends them. False with a one-line reason on a bad command line.
bool parse_options(const std::vector<std::string>& argv, Options* options, std::string* error);

/// What the options ask of the port factory: end B of the cable, or a
/// printer port.
PortRequest port_request(const Options& options);

/// The command line's options: name, argument, help line, exclusions; and
/// the same with each option's handling.
std::span<const OptionSpec> option_table();
std::span<const OptionEntry<Options>> option_entries();

/// Every option (and short name) and every command that parse_options takes.
std::vector<std::string> option_names();
std::vector<std::string> command_names();

/// "Usage: tarnel-client [--cable PATH | ...] ... COMMAND [ARGUMENTS]", from
/// the option table: what a refused command line is followed by.
std::string synopsis_text();

/// The --help text.
std::string usage_text();

}  // namespace tarnel::client

#endif  // TARNEL_CLIENT_OPTIONS_H_

// A program's command line as a table: each option's name, its argument, its
// help line and the options it cannot be given with. One reader takes every
// program's command line by its table, and the options part of --help is
// written from the same table, so that an option is one entry.
#ifndef TARNEL_BASE_OPTION_TABLE_H_
#define TARNEL_BASE_OPTION_TABLE_H_

#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnel {

struct OptionSpec {
  const char* name;      // "--device"
  const char* argument;  // "PATH": a value follows ("--name V" or "--name=V"); nullptr: none
  /// The --help text beside the name; each "\n" starts a continuation line.
  const char* help;
  /// The options (names, blank-separated) that may not be given with this one.
  const char* excludes = nullptr;
  const char* short_name = nullptr;  // "-r": the same option, never with a value
  /// What a value-less use is told it needs: "--device needs a path".
  const char* needs = "a value";
};

/// A command line read by its table.
struct ParsedOptions {
  /// The options given, by their long name, with their values ("" for an
  /// option that takes none), in the order given.
  std::vector<std::pair<std::string, std::string>> given;
  /// Every other argument, in order.
  std::vector<std::string> words;

  bool has(std::string_view name) const;
  /// The value given last for `name`; empty when it was not given.
  std::string value(std::string_view name) const;
};

/// Reads `args` (program name excluded) by `table`. Options may stand
/// anywhere among the words; "--" ends them. An argument before "--" that
/// begins with "-" and is no option of the table is refused, and so is a
/// missing value and a value for an option that takes none. False with a
/// one-line reason (`*unknown` set when the reason is an unknown option).
bool parse_command_line(std::span<const OptionSpec> table, const std::vector<std::string>& args,
                        ParsedOptions* parsed, std::string* error, bool* unknown = nullptr);

/// False, with the reason, when `parsed` holds two options of which one
/// excludes the other. Checked after the values, whose mistakes are told
/// first.
bool check_exclusions(std::span<const OptionSpec> table, const ParsedOptions& parsed,
                      std::string* error);

/// The long names of the table, in its order.
std::vector<std::string> option_names(std::span<const OptionSpec> table);

/// The table as --help lists it: "  " and the name (with its short name and
/// argument) in a column `width` wide, then the help; a name that fills the
/// column leaves its help to the next line.
std::string options_help(std::span<const OptionSpec> table, size_t width);

}  // namespace tarnel

#endif  // TARNEL_BASE_OPTION_TABLE_H_

// A program's command line as a table: each option's name, its argument, its
// help line, the options it cannot be given with, and how its value is
// checked and stored. One reader takes every program's command line by its
// table, and the synopsis and the options part of --help are written from
// the same table, so that an option is one entry.
#ifndef TARNEL_BASE_OPTION_TABLE_H_
#define TARNEL_BASE_OPTION_TABLE_H_

#include <cstdio>
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
  /// What a use without a value, or with an empty one, is told it needs:
  /// "--device needs a path".
  const char* needs = "a value";
  /// An empty value is a value ("--cable ''": the default cable).
  bool may_be_empty = false;
};

/// The one message for an option whose value is missing or empty.
std::string missing_value(const OptionSpec& entry);

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

/// "Usage: PROGRAM [--name ARG] ... WORDS": every option of the table, an
/// option and those it excludes as one bracket of alternatives, wrapped to
/// 80 columns under the first option; ends with a line end.
std::string synopsis(std::string_view program, std::span<const OptionSpec> table,
                     std::string_view words);

enum class InfoOption { kNone, kHelp, kShowVersion };

/// Whether the options of `args` (those before "--") ask for --help or
/// --version; --help wins. Either wins over anything else on the line, a
/// mistake included.
InfoOption info_option(const std::vector<std::string>& args);

/// The one handling of --help and --version: when `args` ask for either,
/// writes `usage` or "PROGRAM VERSION" on `out` and returns true (the
/// program then ends with status 0 before it touches anything).
bool answer_info_option(const std::vector<std::string>& args, std::string_view program,
                        const std::string& usage, std::FILE* out = stdout);

/// One option with its handling.
template <typename Target>
struct OptionEntry {
  OptionSpec option;
  /// Checks the value ("" for an option that takes none) and stores it in
  /// `target`; false with a one-line reason. `option` is this entry's, for the
  /// reason's name. nullptr: nothing to store.
  bool (*take)(Target& target, const OptionSpec& option, const std::string& value,
               std::string* error) = nullptr;
};

template <typename Target>
std::vector<OptionSpec> plain_options(std::span<const OptionEntry<Target>> table) {
  std::vector<OptionSpec> plain;
  for (const OptionEntry<Target>& entry : table) plain.push_back(entry.option);
  return plain;
}

/// Reads `args` (program name excluded) by `table` into `target`: each
/// option given is checked and stored by its entry in the order given (a
/// missing or empty value refused with missing_value), then the exclusions
/// are checked; the other arguments go to *words. False with a one-line
/// reason, `*unknown` set when it is an unknown option; `target` may then
/// hold some of the values.
template <typename Target>
bool read_options(std::span<const OptionEntry<Target>> table, const std::vector<std::string>& args,
                  Target* target, std::vector<std::string>* words, std::string* error,
                  bool* unknown = nullptr) {
  const std::vector<OptionSpec> plain = plain_options(table);
  ParsedOptions parsed;
  if (!parse_command_line(plain, args, &parsed, error, unknown)) return false;
  for (const auto& [name, value] : parsed.given) {
    for (const OptionEntry<Target>& entry : table) {
      if (name != entry.option.name) continue;
      if (entry.option.argument && value.empty() && !entry.option.may_be_empty) {
        *error = missing_value(entry.option);
        return false;
      }
      if (entry.take && !entry.take(*target, entry.option, value, error)) return false;
    }
  }
  if (!check_exclusions(plain, parsed, error)) return false;
  *words = std::move(parsed.words);
  return true;
}

/// The long names of the table, in its order.
std::vector<std::string> option_names(std::span<const OptionSpec> table);

/// The table as --help lists it: "  " and the name (with its short name and
/// argument) in a column `width` wide, then the help; a name that fills the
/// column leaves its help to the next line.
std::string options_help(std::span<const OptionSpec> table, size_t width);

}  // namespace tarnel

#endif  // TARNEL_BASE_OPTION_TABLE_H_

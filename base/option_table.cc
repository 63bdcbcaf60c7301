#include "base/option_table.h"

#include <algorithm>

namespace tarnel {
namespace {

const OptionSpec* find_option(std::span<const OptionSpec> table, std::string_view arg) {
  for (const OptionSpec& entry : table) {
    if (arg == entry.name || (entry.short_name && arg == entry.short_name)) return &entry;
  }
  return nullptr;
}

/// The blank-separated names of `list`.
std::vector<std::string> names_in(const char* list) {
  std::vector<std::string> names;
  std::string_view rest = list ? list : "";
  while (!rest.empty()) {
    const size_t blank = rest.find(' ');
    const std::string_view name = rest.substr(0, blank);
    if (!name.empty()) names.emplace_back(name);
    if (blank == std::string_view::npos) break;
    rest.remove_prefix(blank + 1);
  }
  return names;
}

}  // namespace

bool ParsedOptions::has(std::string_view name) const {
  return std::any_of(given.begin(), given.end(), [&](const auto& g) { return g.first == name; });
}

std::string ParsedOptions::value(std::string_view name) const {
  for (auto g = given.rbegin(); g != given.rend(); ++g) {
    if (g->first == name) return g->second;
  }
  return "";
}

bool parse_command_line(std::span<const OptionSpec> table, const std::vector<std::string>& args,
                        ParsedOptions* parsed, std::string* error, bool* unknown) {
  ParsedOptions p;
  if (unknown) *unknown = false;
  bool options_end = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (options_end || arg.empty() || arg[0] != '-') {
      p.words.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_end = true;
      continue;
    }
    std::string value;
    bool has_value = false;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      has_value = true;
    }
    const OptionSpec* entry = find_option(table, arg);
    if (!entry) {
      *error = "unknown option " + arg;
      if (unknown) *unknown = true;
      return false;
    }
    if (entry->argument) {
      if (!has_value) {
        if (i + 1 >= args.size()) {
          *error = arg + " needs " + entry->needs;
          return false;
        }
        value = args[++i];
      }
    } else if (has_value) {
      *error = arg + " takes no value";
      return false;
    }
    p.given.emplace_back(entry->name, value);
  }
  *parsed = std::move(p);
  return true;
}

bool check_exclusions(std::span<const OptionSpec> table, const ParsedOptions& p,
                      std::string* error) {
  for (const OptionSpec& entry : table) {
    if (!p.has(entry.name)) continue;
    for (const std::string& other : names_in(entry.excludes)) {
      if (p.has(other)) {
        *error = std::string(entry.name) + " and " + other + " exclude each other";
        return false;
      }
    }
  }
  return true;
}

std::vector<std::string> option_names(std::span<const OptionSpec> table) {
  std::vector<std::string> names;
  for (const OptionSpec& entry : table) names.emplace_back(entry.name);
  return names;
}

std::string options_help(std::span<const OptionSpec> table, size_t width) {
  const std::string indent(2 + width, ' ');
  std::string text;
  for (const OptionSpec& entry : table) {
    std::string label = entry.short_name ? std::string(entry.short_name) + ", " : "";
    label += entry.name;
    if (entry.argument) label += std::string(" ") + entry.argument;
    text += "  " + label;
    if (label.size() < width) {
      text += std::string(width - label.size(), ' ');
    } else {
      text += "\n" + indent;
    }
    for (const char* c = entry.help; *c; ++c) {
      text += *c;
      if (*c == '\n') text += indent;
    }
    text += '\n';
  }
  return text;
}

}  // namespace tarnel

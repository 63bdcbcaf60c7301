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
          *error = missing_value(*entry);
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

std::string missing_value(const OptionSpec& entry) {
  return std::string(entry.name) + " needs " + entry.needs;
}

std::string synopsis(std::string_view program, std::span<const OptionSpec> table,
                     std::string_view words) {
  // The brackets: an option, then the later ones that it excludes or that
  // exclude it, as alternatives; an option already in a bracket is not
  // repeated.
  const auto label = [](const OptionSpec& e) {
    return std::string(e.name) + (e.argument ? std::string(" ") + e.argument : "");
  };
  const auto excludes = [](const OptionSpec& a, const OptionSpec& b) {
    const std::vector<std::string> names = names_in(a.excludes);
    return std::find(names.begin(), names.end(), b.name) != names.end();
  };
  std::vector<std::string> items;
  std::vector<bool> shown(table.size(), false);
  for (size_t i = 0; i < table.size(); ++i) {
    if (shown[i]) continue;
    std::string item = "[" + label(table[i]);
    for (size_t j = i + 1; j < table.size(); ++j) {
      if (shown[j] || !(excludes(table[i], table[j]) || excludes(table[j], table[i]))) continue;
      item += " | " + label(table[j]);
      shown[j] = true;
    }
    items.push_back(item + "]");
  }
  if (!words.empty()) items.emplace_back(words);
  std::string text = "Usage: " + std::string(program);
  const size_t indent = text.size() + 1;
  size_t column = text.size();
  for (const std::string& item : items) {
    if (column + 1 + item.size() > 79 && column > indent) {
      text += "\n" + std::string(indent, ' ') + item;
      column = indent + item.size();
    } else {
      text += " " + item;
      column += 1 + item.size();
    }
  }
  return text + "\n";
}

InfoOption info_option(const std::vector<std::string>& args) {
  InfoOption asked = InfoOption::kNone;
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--help") return InfoOption::kHelp;
    if (arg == "--version") asked = InfoOption::kShowVersion;
  }
  return asked;
}

bool answer_info_option(const std::vector<std::string>& args, std::string_view program,
                        const std::string& usage, std::FILE* out) {
  std::string text;
  switch (info_option(args)) {
    case InfoOption::kNone:
      return false;
    case InfoOption::kHelp:
      text = usage;
      break;
    case InfoOption::kShowVersion:
      text = std::string(program) + " " + TARNEL_VERSION + "\n";
      break;
  }
  std::fputs(text.c_str(), out);
  std::fflush(out);
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

// The manual page tarnel-client(1) describes every command and option that
// the command line takes.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "client/options.h"

namespace tarnel::client {
namespace {

/// The page's lines that set a term in bold (.B, .BR, .BI, .IB), with the
/// roff escapes for hyphens and fonts taken out.
std::vector<std::string> bold_lines(const std::string& page_path) {
  std::ifstream in(page_path);
  EXPECT_TRUE(in) << "cannot read " << page_path;
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    for (const char* escape : {"\\fB", "\\fR", "\\fI", "\\fP"}) {
      for (size_t at; (at = line.find(escape)) != std::string::npos;) line.erase(at, 3);
    }
    for (size_t at; (at = line.find("\\-")) != std::string::npos;) line.erase(at, 1);
    for (const char* macro : {".B ", ".BR ", ".BI ", ".IB "}) {
      if (line.rfind(macro, 0) == 0) lines.push_back(line.substr(std::string(macro).size()));
    }
  }
  return lines;
}

bool word_at(const std::string& text, size_t at, size_t size) {
  auto part = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; };
  return (at == 0 || !part(text[at - 1])) && (at + size == text.size() || !part(text[at + size]));
}

/// Whether `name` stands as a whole word in one of `lines`; `first`: as the
/// line's first word (a command's heading).
bool set_in_bold(const std::vector<std::string>& lines, const std::string& name, bool first) {
  for (const std::string& line : lines) {
    const std::string text = line[0] == '"' ? line.substr(1) : line;
    if (first) {
      if (text.rfind(name, 0) == 0 && word_at(text, 0, name.size())) return true;
      continue;
    }
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
      if (word_at(text, at, name.size())) return true;
    }
  }
  return false;
}

TEST(ManualPage, DescribesEveryCommandAndOption) {
  const std::vector<std::string> lines =
      bold_lines(std::string(TARNEL_SOURCE_DIR) + "/man/tarnel-client.1");
  ASSERT_FALSE(lines.empty());
  const std::vector<std::string> options = option_names();
  const std::vector<std::string> commands = command_names();
  ASSERT_GE(options.size(), 10u);
  ASSERT_EQ(commands.size(), 9u);
  for (const std::string& option : options) {
    EXPECT_TRUE(set_in_bold(lines, option, false)) << option << " is not in tarnel-client(1)";
    // The list is the one the command line goes by.
    Options parsed;
    std::string error;
    parse_options({option, "connect"}, &parsed, &error);
    EXPECT_EQ(error.find("unknown option"), std::string::npos) << option << ": " << error;
  }
  for (const std::string& command : commands) {
    EXPECT_TRUE(set_in_bold(lines, command, true)) << command << " is not in tarnel-client(1)";
  }
  // The check itself tells a missing word.
  EXPECT_FALSE(set_in_bold(lines, "--frobnicate", false));
  EXPECT_FALSE(set_in_bold(lines, "-", false));
}

}  // namespace
}  // namespace tarnel::client

#include "client/output.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "base/console.h"

namespace tarnel::client {

void Output::line(std::string_view text) {
  std::string bytes = visible_text(text);
  bytes += '\n';
  out(bytes);
}

void Output::message(std::string_view text) {
  std::string bytes = "tarnel-client: ";
  bytes += visible_text(text);
  bytes += '\n';
  err(bytes);
}

void Output::warning(std::string_view text) { message("warning: " + std::string(text)); }

std::string visible_lines(std::string_view data) {
  std::string shown;
  shown.reserve(data.size());
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find("\r\n", start);
    const bool ended = end != std::string_view::npos;
    if (!ended) end = data.size();
    // A UTF-8 character holds no byte below 0x80: the pieces between the
    // TABs can be judged each on its own.
    for (size_t at = start; at <= end;) {
      size_t tab = data.find('\t', at);
      if (tab == std::string_view::npos || tab > end) tab = end;
      shown += visible_text(data.substr(at, tab - at));
      if (tab < end) shown += '\t';
      at = tab + 1;
    }
    if (ended) shown += "\r\n";
    start = end + 2;
  }
  return shown;
}

void StdioOutput::out(std::string_view bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

void StdioOutput::err(std::string_view bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  std::fflush(stderr);
}

bool StdioOutput::err_is_terminal() { return isatty(STDERR_FILENO) == 1; }

}  // namespace tarnel::client

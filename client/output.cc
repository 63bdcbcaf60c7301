#include "client/output.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace tarnel::client {

void Output::line(std::string_view text) {
  std::string bytes(text);
  bytes += '\n';
  out(bytes);
}

void Output::message(std::string_view text) {
  std::string bytes = "tarnel-client: ";
  bytes.append(text);
  bytes += '\n';
  err(bytes);
}

void Output::warning(std::string_view text) { message("warning: " + std::string(text)); }

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

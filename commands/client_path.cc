#include "commands/client_path.h"

#include "link/text.h"

namespace tarnel {

std::string map_client_path(std::string_view path) {
  std::string local(path.substr(0, TEXT_MAX));
  for (char& c : local) {
    if (c == '\\') c = '/';
  }
  if (local.empty() || local[0] != '/') local.insert(local.begin(), '/');
  return cut_text(local);
}

}  // namespace tarnel

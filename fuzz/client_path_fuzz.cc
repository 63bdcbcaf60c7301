// map_client_path on arbitrary client paths: an absolute path of at most
// 255 bytes without a backslash, the client's path with "\" as "/".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "commands/client_path.h"
#include "link/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view path(reinterpret_cast<const char*>(data), size);
  const std::string local = tarnel::map_client_path(path);
  if (local.empty() || local.size() > tarnel::TEXT_MAX || local[0] != '/') std::abort();
  if (local.find('\\') != std::string::npos) std::abort();
  // Every byte but the separators is the client's own, in order.
  std::string want(path.substr(0, tarnel::TEXT_MAX));
  for (char& c : want) {
    if (c == '\\') c = '/';
  }
  if (want.empty() || want[0] != '/') want.insert(want.begin(), '/');
  if (local != want.substr(0, tarnel::TEXT_MAX)) std::abort();
  return 0;
}

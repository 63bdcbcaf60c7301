#include "startup/charset_option.h"

#include <algorithm>

namespace tarnel {

bool take_charset_option(std::vector<std::string>& args, ClientNames* names, std::string* error) {
  const auto at = std::find(args.begin(), args.end(), "--charset");
  if (at == args.end()) return true;
  if (at + 1 == args.end() || at[1].empty()) {
    *error = "--charset needs the name of a code page (CP1252, CP850, ...)";
    return false;
  }
  Charset charset;
  std::string why;
  if (!Charset::open(at[1], &charset, &why)) {
    *error = "--charset: " + why;
    return false;
  }
  *names = ClientNames(charset);
  args.erase(at, at + 2);
  return true;
}

}  // namespace tarnel

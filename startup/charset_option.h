// --charset NAME of the servers: the code page in which the other PC shows
// and sends names.
#ifndef TARNEL_STARTUP_CHARSET_OPTION_H_
#define TARNEL_STARTUP_CHARSET_OPTION_H_

#include <string>
#include <vector>

#include "files/names.h"

namespace tarnel {

/// Takes "--charset NAME" off `args` and sets *names to convert between
/// NAME and UTF-8; without the option *names is left as it is (names as
/// bytes). False, with the one line to print in *error, when NAME is
/// missing or is not a code page that can be used.
bool take_charset_option(std::vector<std::string>& args, ClientNames* names, std::string* error);

}  // namespace tarnel

#endif  // TARNEL_STARTUP_CHARSET_OPTION_H_

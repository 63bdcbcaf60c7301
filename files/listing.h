#ifndef TARNEL_FILES_LISTING_H_
#define TARNEL_FILES_LISTING_H_

#include <string_view>

#include "link/lines.h"
#include "startup/console.h"

namespace tarnel {

/// Answers "LIST " with the text after the command word as sent (not
/// mapped): "DIR ERROR n", or "WAIT"s, "SIZE total" and listing blocks.
bool list_directory(Lines& lines, Console& console, std::string_view path);

}  // namespace tarnel

#endif  // TARNEL_FILES_LISTING_H_

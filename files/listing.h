// "LIST ": the entries of a directory (or those matching a pattern, or one
// named entry) as lines of text, in two passes: the first adds up the bytes
// and announces them with "SIZE ", the second sends them in blocks.
//
// Listing line, at most 255 bytes:
//   name TAB size TAB time-stamp TAB attribute-number CR LF
// Listing block: the payload of one numbered frame (1, 2, 3, ...), whole
// lines only, sent once it holds more than 3896 bytes, never above 4096.
#ifndef TARNEL_FILES_LISTING_H_
#define TARNEL_FILES_LISTING_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "base/console.h"
#include "files/clock.h"
#include "files/file_system.h"
#include "files/names.h"
#include "files/search.h"
#include "link/lines.h"

namespace tarnel {

/// A block is sent as soon as its fill passes this.
constexpr int32_t LISTING_BLOCK_FILL = 3896;

/// The client's path as a search path: "" and "\" become "/*.*",
/// backslashes become slashes, a missing leading "/" is added and a trailing
/// "/" gets "*.*" (each step cut at 255 bytes).
std::string listing_search_path(std::string_view path);

/// The listing line of an entry, whose name is as the client sees it
/// (names.h: never longer than LISTING_NAME_MAX, so the line always fits).
/// False, and no line, should a line ever not fit in 255 bytes: every line
/// sent is whole and the total matches the bytes sent.
bool listing_line(const FoundEntry& entry, std::string& line);

/// Answers "LIST " with the text after the command word as sent (not
/// mapped): "DIR ERROR n", or "WAIT"s, "SIZE total" and listing blocks.
/// True when the exchange went through to its end. A key pressed on the
/// console while the blocks go out ends the listing with a cancel frame and
/// leaves the abort flag set. Names are converted and shown, and the
/// pattern matched against them, as `names` says; stand-ins in the path
/// are found through `cache` when there is one (made for `names`).
bool list_directory(Lines& lines, Console& console, FileSystem& fs, std::string_view path,
                    const SecondsClock& clock = monotonic_seconds,
                    const ClientNames& names = ClientNames(), StandInCache* cache = nullptr);

}  // namespace tarnel

#endif  // TARNEL_FILES_LISTING_H_

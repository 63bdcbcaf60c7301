// The directory search behind the listing: one named entry, or the entries
// of one directory whose names match a pattern with "*" and "?".
//
// The outcome of every step is in search_error: 0 when an entry was found,
// 3 for an empty path or a named entry that does not exist, 18 when there is
// no (further) matching entry.
#ifndef TARNEL_FILES_SEARCH_H_
#define TARNEL_FILES_SEARCH_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "files/file_system.h"
#include "files/names.h"
#include "files/stand_in_cache.h"

namespace tarnel {

/// Accepts every attribute bit.
constexpr uint8_t SEARCH_ALL_ATTRIBUTES = 63;

struct FoundEntry {
  std::string name;  // the last path component as the client sees it (names.h)
  int32_t size = 0;  // from stat; 2147483647 for 2^31 bytes and more
  int32_t time_stamp = 0;
  uint8_t attributes = 0;  // by the listing rule
};

/// One search, owned by the caller; find_close (or a find_next that runs
/// out) releases the directory it holds.
struct SearchRecord {
  SearchRecord() = default;
  ~SearchRecord();
  SearchRecord(const SearchRecord&) = delete;
  SearchRecord& operator=(const SearchRecord&) = delete;

  /// As the client sees it: its names in its code page, stand-ins for the
  /// local names that cannot travel.
  std::string search_path;
  /// How the client's names are read and shown.
  ClientNames names;
  /// The local directory of a pattern search (its names resolved).
  std::string local_directory;
  /// Index of the last "/" in the search path, 0 when there is none.
  size_t name_position = 0;
  /// True when the search path holds neither "*" nor "?".
  bool single_entry = false;
  uint8_t attribute_mask = 0;
  /// The file system searched, from find_first.
  FileSystem* fs = nullptr;
  std::unique_ptr<DirectoryReader> directory;
  /// Whether the directory was opened already (it is opened only once).
  bool started = false;
  FoundEntry found;

  /// The text up to and including the last "/"; empty when there is none.
  std::string_view directory_part() const;
  /// The text after the last "/"; all of it when there is none.
  std::string_view name_pattern() const;
};

/// Starts a search of `search_path`, given as the client sees it; its names
/// are converted and its stand-ins resolved by `names` (a path without a
/// leading "/" is taken as it is). The pattern is matched against the names
/// as the client sees them, and they are what the found entries carry. A
/// path with a name the client cannot use finds nothing (search error 3).
/// With `cache` (made for `names`), stand-ins are found through it. An
/// entry whose stand-in is the real name of another entry is not found.
void find_first(FileSystem& fs, std::string_view search_path, uint8_t attribute_mask,
                SearchRecord& record, const ClientNames& names = ClientNames(),
                StandInCache* cache = nullptr);
void find_next(SearchRecord& record);
void find_close(SearchRecord& record);

/// The name rule of the search: "?" takes one byte, "*" any run of bytes,
/// other bytes must be equal (case matters). It has its own turns: "*.*"
/// matches every name, dot or none, "." and ".." included; a pattern that
/// ends in "*" and one ordinary byte does not require that byte ("*c" matches
/// every name, "a*b" every name that begins with "a").
bool match_name(std::string_view pattern, std::string_view name);

}  // namespace tarnel

#endif  // TARNEL_FILES_SEARCH_H_

// Which entry each stand-in of a directory names, remembered from one
// command to the next. Without it every command that names an entry by its
// stand-in reads the whole directory, and copying a directory of such
// entries takes time that grows with the square of their number.
//
// Nothing remembered is trusted on its own. A directory's modification
// time cannot say whether what was read is still true (some file systems
// keep it to 2 seconds, and every upload changes it), so:
//   - a stand-in found is checked against the directory: its entry must
//     still be there and still be shown under that stand-in;
//   - a stand-in not found, or found for an entry that is gone, or shared
//     by several entries, is looked for in the directory read anew before
//     the answer is given.
// An entry renamed or deleted since the directory was read is therefore
// never reached through what was remembered of it.
#ifndef TARNEL_FILES_STAND_IN_CACHE_H_
#define TARNEL_FILES_STAND_IN_CACHE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "files/file_system.h"
#include "files/names.h"

namespace tarnel {

/// Stand-ins kept over all directories: a directory read when the cache
/// holds more gives room by forgetting the directories used longest ago,
/// and one that holds more by itself is answered but not kept.
constexpr size_t STANDIN_CACHE_ENTRIES = 100000;

class StandInCache {
 public:
  /// For the names of `names` (a stand-in depends on the code page).
  explicit StandInCache(const ClientNames& names, size_t entries_kept = STANDIN_CACHE_ENTRIES)
      : names_(names), entries_kept_(entries_kept) {}
  StandInCache(const StandInCache&) = delete;
  StandInCache& operator=(const StandInCache&) = delete;

  const ClientNames& names() const { return names_; }

  /// The entry of `directory` (a local path) whose stand-in is `stand_in`:
  /// 1 when there is one (its name in *local), 0 when there is none, 2 when
  /// several share it (then it names none of them).
  int find(FileSystem& fs, const std::string& directory, std::string_view stand_in,
           std::string* local);

  /// How often a directory was read whole, for tests and benchmarks.
  uint64_t directory_reads() const { return directory_reads_; }
  /// Stand-ins held now, over all directories.
  size_t entries() const { return entries_; }

 private:
  struct Entry {
    std::string local;  // the first entry found with this stand-in
    int count = 0;      // entries found with it, 2 meaning two or more
  };
  struct Directory {
    std::unordered_map<std::string, Entry> stand_ins;
    uint64_t last_use = 0;
  };

  /// Whether `entry` of `directory`, as remembered, is still so.
  bool still_there(FileSystem& fs, const std::string& directory, std::string_view stand_in,
                   const Entry& entry) const;
  /// Reads `directory` whole; its stand-ins replace what was kept of it.
  const Directory& read(FileSystem& fs, const std::string& directory);
  /// Forgets directories, used longest ago first, until `room` more fit.
  void make_room(size_t room);

  const ClientNames names_;
  const size_t entries_kept_;
  std::unordered_map<std::string, Directory> directories_;
  /// A directory too large to keep, as read last.
  Directory unkept_;
  size_t entries_ = 0;
  uint64_t uses_ = 0;
  uint64_t directory_reads_ = 0;
};

}  // namespace tarnel

#endif  // TARNEL_FILES_STAND_IN_CACHE_H_

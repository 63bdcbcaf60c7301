#include "files/search.h"

#include <sys/stat.h>

#include <cerrno>
#include <vector>

#include "files/errors.h"
#include "files/metadata.h"
#include "files/partial.h"
#include "link/text.h"

namespace tarnel {

namespace {

/// The rule of match_name, with positions counted from 1 as in its
/// description. Each (i, j) gives the same answer every time, so answers are
/// kept: a pattern of many stars against a long name would otherwise take
/// time that grows like a power of the name's length.
class Matcher {
 public:
  Matcher(std::string_view pattern, std::string_view name)
      : p_(pattern),
        n_(name),
        lp_(pattern.size()),
        ln_(name.size()),
        memo_((lp_ + 2) * (ln_ + 2), kUnknown) {}

  bool match(size_t i, size_t j) {
    int8_t& known = memo_[i * (ln_ + 2) + j];
    if (known == kUnknown) known = compute(i, j) ? 1 : 0;
    return known == 1;
  }

 private:
  static constexpr int8_t kUnknown = -1;

  char P(size_t i) const { return p_[i - 1]; }
  char N(size_t j) const { return n_[j - 1]; }

  bool compute(size_t i, size_t j) {
    bool found = true;
    while (found && i <= lp_) {
      if (P(i) == '?') {
        found = j <= ln_;
      } else if (P(i) == '*') {
        // Skip further wildcards: each "?" takes one byte of the name; stop
        // at the first ordinary byte of the pattern.
        while (found && i < lp_) {
          ++i;
          if (P(i) == '*') {
          } else if (P(i) == '?') {
            ++j;
            found = j <= ln_;
          } else {
            found = false;
          }
        }
        found = true;
        // Try the rest of the pattern after each place where the name holds
        // that byte.
        do {
          while (j <= ln_ && N(j) != P(i)) ++j;
          if (j < ln_) {
            if (match(i + 1, j + 1)) {
              i = lp_;
              j = ln_;
              found = true;
            } else {
              ++j;
            }
          }
        } while (j < ln_);
      } else {
        found = j <= ln_ && P(i) == N(j);
      }
      ++i;
      ++j;
    }
    return found && j > ln_;
  }

  std::string_view p_, n_;
  size_t lp_, ln_;
  std::vector<int8_t> memo_;
};

/// Fills `found` from stat; false when the status cannot be read.
bool fill_entry(FileSystem& fs, const std::string& path, std::string_view name, FoundEntry& found) {
  struct stat st;
  if (fs.stat(path, st) != 0) return false;
  found.name.assign(name);
  // The size field is signed 32-bit: larger files show the largest value it
  // holds rather than a wrapped, possibly negative number.
  found.size = st.st_size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(st.st_size);
  found.time_stamp = time_stamp_of(st.st_mtime);
  found.attributes = entry_attribute_number(st.st_mode);
  return true;
}

bool within_mask(uint8_t attributes, uint8_t mask) { return (attributes & ~mask) == 0; }

/// The local form of a path of the search: resolved by `names` when it is
/// absolute, as it is otherwise; unusable_path() for a name the client
/// cannot use.
std::string local_search_path(FileSystem& fs, const ClientNames& names, StandInCache* cache,
                              std::string_view path) {
  if (!path.empty() && path[0] == '/') {
    return cache != nullptr ? names.local_path(fs, path, NameUse::kExisting, *cache)
                            : names.local_path(fs, path, NameUse::kExisting);
  }
  std::string local;
  return names.local_name(path, &local) ? local : unusable_path();
}

}  // namespace

SearchRecord::~SearchRecord() { find_close(*this); }

std::string_view SearchRecord::directory_part() const {
  std::string_view path = search_path;
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
}

std::string_view SearchRecord::name_pattern() const {
  std::string_view path = search_path;
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool match_name(std::string_view pattern, std::string_view name) {
  return Matcher(pattern, name).match(1, 1);
}

void find_first(FileSystem& fs, std::string_view search_path, uint8_t attribute_mask,
                SearchRecord& record, const ClientNames& names, StandInCache* cache) {
  find_close(record);
  record.fs = &fs;
  record.started = false;
  if (search_path.empty()) {
    record.search_path.clear();
    record.single_entry = true;  // a find_next after it finds nothing either
    search_error = SEARCH_NOT_FOUND;
    return;
  }
  record.names = names;
  const std::string whole = local_search_path(fs, names, cache, cut_text(search_path));
  if (!names_a_file(whole)) {
    // A NUL byte (the system would see only the part before it), or a name
    // the client cannot use.
    record.search_path.clear();
    record.single_entry = true;
    search_error = SEARCH_NOT_FOUND;
    return;
  }
  record.search_path = cut_text(search_path);
  size_t slash = record.search_path.rfind('/');
  record.name_position = slash == std::string::npos ? 0 : slash;
  record.single_entry = record.search_path.find_first_of("*?") == std::string::npos;
  record.attribute_mask = attribute_mask;

  if (record.single_entry) {
    const size_t last = whole.rfind('/');
    const std::string_view local_name = last == std::string::npos
                                            ? std::string_view(whole)
                                            : std::string_view(whole).substr(last + 1);
    if (!fill_entry(fs, whole, names.client_name(local_name), record.found)) {
      search_error = errno == ENOENT ? SEARCH_NOT_FOUND : SEARCH_NO_MORE;
    } else if (!within_mask(record.found.attributes, attribute_mask)) {
      search_error = SEARCH_NOT_FOUND;
    } else {
      search_error = SEARCH_OK;
    }
    return;
  }
  // The directory part is taken literally, wildcards in it included.
  record.local_directory = record.directory_part().empty()
                               ? std::string()
                               : local_search_path(fs, names, cache, record.directory_part());
  find_next(record);
}

void find_next(SearchRecord& record) {
  if (record.single_entry) {
    search_error = SEARCH_NO_MORE;
    return;
  }
  if (!record.started) {
    record.started = true;
    const std::string& directory = record.local_directory;
    if (!directory.empty()) record.directory = record.fs->open_directory(directory);
  }
  if (record.directory != nullptr) {
    const std::string_view pattern = record.name_pattern();
    std::string name;
    while (record.directory->next(name)) {
      if (is_partial_name(name)) continue;  // an upload's partial file is never shown
      const std::string shown = record.names.client_name(name);
      if (!match_name(pattern, shown)) continue;
      // A stand-in that is the name of another entry reaches that entry:
      // listed under it too, it would show two entries under one name.
      if (record.names.named_by_stand_in(name) &&
          record.names.names_an_entry(*record.fs, record.local_directory, shown)) {
        continue;
      }
      // The full path, even past 255 bytes: a cut path would name another file.
      std::string path(record.local_directory);
      path.append(name);
      if (!fill_entry(*record.fs, path, shown, record.found)) {
        continue;  // dangling link, removed meanwhile
      }
      if (!within_mask(record.found.attributes, record.attribute_mask)) continue;
      search_error = SEARCH_OK;
      return;
    }
  }
  find_close(record);
  search_error = SEARCH_NO_MORE;
}

void find_close(SearchRecord& record) { record.directory.reset(); }

}  // namespace tarnel

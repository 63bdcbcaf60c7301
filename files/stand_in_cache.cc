#include "files/stand_in_cache.h"

#include <sys/stat.h>

#include <memory>

namespace tarnel {

int StandInCache::find(FileSystem& fs, const std::string& directory, std::string_view stand_in,
                       std::string* local) {
  const std::string key(stand_in);
  const auto kept = directories_.find(directory);
  if (kept != directories_.end()) {
    kept->second.last_use = ++uses_;
    const auto hit = kept->second.stand_ins.find(key);
    if (hit != kept->second.stand_ins.end() && hit->second.count == 1 &&
        still_there(fs, directory, stand_in, hit->second)) {
      *local = hit->second.local;
      return 1;
    }
  }
  // Not known, gone, or shared: only the directory as it is now can say.
  const Directory& now = read(fs, directory);
  const auto found = now.stand_ins.find(key);
  if (found == now.stand_ins.end()) return 0;
  if (found->second.count == 1) *local = found->second.local;
  return found->second.count;
}

bool StandInCache::still_there(FileSystem& fs, const std::string& directory,
                               std::string_view stand_in, const Entry& entry) const {
  struct stat st;
  return fs.lstat(directory + "/" + entry.local, st) == 0 &&
         names_.named_by_stand_in(entry.local) && names_.stand_in(entry.local) == stand_in;
}

const StandInCache::Directory& StandInCache::read(FileSystem& fs, const std::string& directory) {
  ++directory_reads_;
  Directory fresh;
  fresh.last_use = ++uses_;
  const std::unique_ptr<DirectoryReader> reader =
      fs.open_directory(directory.empty() ? "/" : directory);
  if (reader != nullptr) {
    std::string name;
    while (reader->next(name)) {
      if (!names_.named_by_stand_in(name)) continue;
      Entry& entry = fresh.stand_ins[names_.stand_in(name)];
      if (++entry.count == 1) {
        entry.local = name;
      } else {
        entry.count = 2;
      }
    }
  }
  const auto old = directories_.find(directory);
  if (old != directories_.end()) {
    entries_ -= old->second.stand_ins.size();
    directories_.erase(old);
  }
  // A directory that cannot be read is not kept: it may be readable at the
  // next command.
  if (reader == nullptr || fresh.stand_ins.size() > entries_kept_) {
    unkept_ = std::move(fresh);
    return unkept_;
  }
  make_room(fresh.stand_ins.size());
  entries_ += fresh.stand_ins.size();
  return directories_[directory] = std::move(fresh);
}

void StandInCache::make_room(size_t room) {
  while (entries_ + room > entries_kept_ && !directories_.empty()) {
    auto oldest = directories_.begin();
    for (auto d = directories_.begin(); d != directories_.end(); ++d) {
      if (d->second.last_use < oldest->second.last_use) oldest = d;
    }
    entries_ -= oldest->second.stand_ins.size();
    directories_.erase(oldest);
  }
}

}  // namespace tarnel

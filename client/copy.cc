// "put" and "get" of one file, of several, and of directory trees (-r), all
// over the one connection of the run.
//
// A copy is planned first (the local tree walked, or the server's tree
// listed), so that one progress bar covers all of it; then each directory is
// created and each file moved in turn. Every finished file gets a report line
// with its rate; a copy of several files ends with a summary. A file that
// fails is reported with its path and the copy goes on; only a link that no
// longer answers, or an interrupt, stops it. The exit status is that of the
// first failure.
//
// As with cp -r, a source copied into an existing directory keeps its name
// there, and a tree copied to a name that does not exist yet takes that name.
// Directories keep their time stamps on the way down (the listing carries
// them); the server has no command to set a directory's time.
//
// On the way down the copy opens its destination's directories one by one
// from the top that the user named, and follows no symbolic link beneath
// it: an entry of the copy that is a link there already is reported as a
// failure. Each file's partial file is its name with ".tarnel-part", or,
// where the copy itself brings a file or directory of that name,
// ".tarnel-part.1" (.2, ...); no file of the copy is touched once it is
// complete, nor a name listed twice written twice.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "base/wire_words.h"
#include "client/commands.h"
#include "client/local_file.h"
#include "client/protocol.h"

namespace tarnel::client {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kAttrVolume = 8;
constexpr int32_t kAttrDirectory = 16;

/// One step of a copy.
struct Step {
  enum Kind { kDirectory, kFile, kFailure } kind;
  std::string from;   // source path
  std::string to;     // target path
  int parent = -1;    // the directory step this one lies in, or -1
  int64_t size = -1;  // a file's size as the plan saw it
  bool have_stamp = false;
  int32_t stamp = 0;  // a directory's time stamp from the server's listing
  Outcome failure;    // kFailure: what went wrong while planning
  // Downloads of several files: where the target lies. A step at the top
  // (parent -1) lies in the directory `base`, which the user named (links
  // in it are followed); every other one in its parent's directory. `leaf`
  // is its name there ("." for a top directory that the user named).
  std::string base;
  std::string leaf;
  std::string part;  // a file's partial file, in the same directory
};

enum class RemoteKind { kMissing, kFile, kDirectory };

bool ends_with_separator(std::string_view path) {
  return !path.empty() && (path.back() == '\\' || path.back() == '/');
}

std::string strip_separators(std::string path) {
  while (ends_with_separator(path)) path.pop_back();
  return path;
}

std::string strip_trailing_slashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

/// Whether the link should be brought into step again after `o`.
bool link_trouble(const Outcome& o) {
  return o.exit == Exit::kLink || o.exit == Exit::kNoServer || o.exit == Exit::kBadCommand ||
         o.exit == Exit::kUnexpectedReply;
}

/// A name that cannot travel inside a server path as one component.
bool unusable_name(const std::string& name) {
  return name.empty() || name == "." || name == ".." ||
         name.find_first_of("\\/") != std::string::npos;
}

/// What the server holds at `path`, through a single-entry listing.
Outcome remote_kind(Session& session, Output& output, const std::string& path, RemoteKind* kind,
                    ListingEntry* entry) {
  const std::string name = strip_separators(path);
  if (name.empty()) {  // the root
    *kind = RemoteKind::kDirectory;
    return Outcome::Ok();
  }
  std::string data;
  Outcome o = fetch_listing(session, output, name, &data);
  if (o.exit == Exit::kDirError) {
    *kind = RemoteKind::kMissing;
    return Outcome::Ok();
  }
  if (!o.ok()) return o;
  for (const ListingLine& line : parse_listing(data)) {
    if (!line.parsed) continue;
    *entry = line.entry;
    *kind = (line.entry.attributes & kAttrDirectory) ? RemoteKind::kDirectory : RemoteKind::kFile;
    return Outcome::Ok();
  }
  *kind = RemoteKind::kMissing;
  return Outcome::Ok();
}

std::string rate_text(int64_t bytes, double seconds) {
  char buf[96];
  const double rate = seconds > 0 ? static_cast<double>(bytes) / 1024.0 / seconds : 0;
  std::snprintf(buf, sizeof buf, "%.2f s, %.1f KB/s", seconds, rate);
  return buf;
}

class Copy {
 public:
  Copy(Session& session, const Options& options, Output& output)
      : session_(session),
        options_(options),
        output_(output),
        upload_(options.command == "put"),
        progress_(output, "", 0) {}
  ~Copy() { close_directories(0); }
  Copy(const Copy&) = delete;
  Copy& operator=(const Copy&) = delete;

  Outcome run();

 private:
  // Planning.
  Outcome plan();
  void plan_local(const std::string& path, const std::string& remote, int parent);
  Outcome plan_remote(const std::string& remote, const std::string& local, int parent,
                      const ListingEntry* entry);
  void add_failure(const std::string& from, Outcome o, int parent = -1) {
    steps_.push_back({Step::kFailure, from, "", parent, -1, false, 0, std::move(o), {}, {}, {}});
  }

  void name_partial_files();

  // The destination of a download, opened beneath its top.
  int open_directory(int index);
  int open_base(const Step& step);
  void close_directories(size_t keep);
  Outcome not_following(const std::string& path) {
    return Outcome::Fail(Exit::kLocalFile, "not following the symbolic link " + path);
  }

  // Carrying out.
  Outcome get_placed(const Step& step, FileReport* report);
  void make_directory(size_t index);
  void move_file(size_t index);
  void failed(const std::string& path, Outcome o, bool report = true);
  void set_directory_stamps();

  Session& session_;
  const Options& options_;
  Output& output_;
  const bool upload_;
  std::vector<std::string> sources_;
  std::string target_;
  bool several_ = false;  // more than one source, or -r
  std::vector<Step> steps_;
  std::vector<bool> step_failed_;
  Progress progress_;
  int files_total_ = 0;
  int files_done_ = 0;    // files begun
  int files_copied_ = 0;  // files complete
  int failures_ = 0;
  int64_t bytes_ = 0;
  Outcome first_failure_;
  Outcome fatal_;  // the copy cannot go on
  /// The open directories of a download, from a top one down to the last
  /// one opened: step index and descriptor.
  std::vector<std::pair<int, int>> open_dirs_;
  /// Files this run received complete.
  std::set<std::string> received_;
};

void Copy::plan_local(const std::string& path, const std::string& remote, int parent) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    add_failure(path, local_failure("read", path), parent);
    return;
  }
  if (S_ISREG(st.st_mode)) {
    steps_.push_back({Step::kFile, path, remote, parent, st.st_size, false, 0, {}, {}, {}, {}});
    ++files_total_;
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    add_failure(path,
                Outcome::Fail(Exit::kLocalFile, "cannot send " + path + ": not a regular file"),
                parent);
    return;
  }
  if (!options_.recursive) {
    add_failure(
        path,
        Outcome::Fail(Exit::kLocalFile, "omitting directory " + path + " (put -r copies trees)"),
        parent);
    return;
  }
  const int me = static_cast<int>(steps_.size());
  steps_.push_back({Step::kDirectory, path, remote, parent, -1, false, 0, {}, {}, {}, {}});
  DIR* dir = opendir(path.c_str());
  if (!dir) {
    add_failure(path, local_failure("read the directory", path), me);
    return;
  }
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
    errno = 0;
  }
  const int read_error = errno;
  closedir(dir);  // only read: its result changes nothing
  if (read_error != 0) {
    errno = read_error;
    add_failure(path, local_failure("read the directory", path), me);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string child = path + (path.back() == '/' ? "" : "/") + name;
    struct stat link;
    if (lstat(child.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
        (stat(child.c_str(), &st) != 0 || S_ISDIR(st.st_mode))) {
      // A link to a directory may lead in a circle; a broken one to nothing.
      add_failure(child,
                  Outcome::Fail(Exit::kLocalFile, "not following the symbolic link " + child), me);
      continue;
    }
    if (name.find('\\') != std::string::npos) {
      add_failure(child,
                  Outcome::Fail(Exit::kLocalFile,
                                "cannot send " + child + ": a server path cannot hold \"\\\""),
                  me);
      continue;
    }
    plan_local(child, remote_join(remote, name), me);
  }
}

Outcome Copy::plan_remote(const std::string& remote, const std::string& local, int parent,
                          const ListingEntry* entry) {
  const int me = static_cast<int>(steps_.size());
  Step step{Step::kDirectory, remote, local, parent, -1, false, 0, {}, {}, {}, {}};
  step.leaf = local.substr(local.rfind('/') + 1);
  if (entry) {
    step.have_stamp = true;
    step.stamp = entry->stamp;
  }
  steps_.push_back(step);
  std::string data;
  const std::string listed = ends_with_separator(remote) ? remote : remote + "\\";
  Outcome o = fetch_listing(session_, output_, listed, &data);
  if (!o.ok()) {
    add_failure(remote, o, me);
    if (link_trouble(o) || o.exit == Exit::kInterrupted) return o;
    return Outcome::Ok();
  }
  for (const ListingLine& line : parse_listing(data)) {
    if (!line.parsed) {
      add_failure(
          remote,
          Outcome::Fail(Exit::kUnexpectedReply, "a listing line of " + remote + " cannot be read"),
          me);
      continue;
    }
    const ListingEntry& e = line.entry;
    if (e.attributes & kAttrVolume) continue;
    const std::string child = remote_join(listed, e.name);
    if (unusable_name(e.name)) {
      add_failure(
          child,
          Outcome::Fail(Exit::kUnexpectedReply,
                        "the server lists a name that cannot be copied: \"" + e.name + "\""),
          me);
      continue;
    }
    const std::string local_child = local + (local.back() == '/' ? "" : "/") + e.name;
    if (e.attributes & kAttrDirectory) {
      o = plan_remote(child, local_child, me, &e);
      if (!o.ok()) return o;
    } else {
      steps_.push_back({Step::kFile, child, local_child, me, e.size, false, 0, {}, {}, {}, {}});
      steps_.back().leaf = e.name;
      ++files_total_;
    }
  }
  return Outcome::Ok();
}

Outcome Copy::plan() {
  const std::vector<std::string>& args = options_.args;
  if (args.size() == 1) {
    sources_ = args;
  } else {
    sources_.assign(args.begin(), args.end() - 1);
    target_ = args.back();
  }
  several_ = sources_.size() > 1 || options_.recursive;

  // Sources of the same name would overwrite each other in the target.
  std::vector<std::pair<std::string, std::string>> named;  // name, source
  for (const std::string& source : sources_) {
    const std::string name =
        upload_ ? local_basename(source) : remote_basename(strip_separators(source));
    for (const auto& [other_name, other] : named) {
      if (sources_.size() > 1 && name == other_name) {
        return Outcome::Fail(Exit::kUsage, other + " and " + source + " have the same name \"" +
                                               name + "\" in " + target_ + "; nothing is copied");
      }
    }
    named.emplace_back(name, source);
  }

  // Whether the sources go into the target (a directory) or become it.
  bool into = target_.empty() || sources_.size() > 1 ||
              (upload_ ? ends_with_separator(target_) : target_.back() == '/');
  if (!target_.empty() && options_.recursive && !into) {
    if (upload_) {
      RemoteKind kind;
      ListingEntry entry;
      Outcome o = remote_kind(session_, output_, target_, &kind, &entry);
      if (!o.ok()) return o;
      into = kind == RemoteKind::kDirectory;
    } else {
      struct stat st;
      into = stat(target_.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
  }
  if (sources_.size() > 1) {
    // Several sources need a directory to go into.
    if (upload_) {
      RemoteKind kind;
      ListingEntry entry;
      Outcome o = remote_kind(session_, output_, target_, &kind, &entry);
      if (!o.ok()) return o;
      if (kind != RemoteKind::kDirectory) {
        return Outcome::Fail(Exit::kDirError,
                             "the target " + target_ + " is not a directory on the server");
      }
    } else {
      struct stat st;
      if (stat(target_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return Outcome::Fail(Exit::kLocalFile, "the target " + target_ + " is not a directory");
      }
    }
  }

  for (const std::string& source : sources_) {
    if (upload_) {
      const std::string name = local_basename(source);
      const std::string remote = into ? remote_join(target_.empty() ? "" : target_, name) : target_;
      plan_local(source, remote, -1);
      continue;
    }
    std::string local;
    const std::string name = remote_basename(strip_separators(source));
    if (into) {
      local = target_.empty() ? name : target_ + (target_.back() == '/' ? "" : "/") + name;
    } else {
      local = target_;
    }
    // Where the source lands: by its server name in the target, or as the
    // target the user named.
    const size_t first = steps_.size();
    auto place_top = [&] {
      if (first >= steps_.size()) return;
      Step& top = steps_[first];
      if (into && !name.empty()) {
        top.base = target_.empty() ? "." : target_;
        top.leaf = name;
      } else if (into) {
        top.base = top.to;  // the root's contents into the target itself
        top.leaf = ".";
      } else {
        const std::string path = strip_trailing_slashes(target_);
        const size_t cut = path.rfind('/');
        top.base = cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
        top.leaf = cut == std::string::npos ? path : path.substr(cut + 1);
      }
    };
    if (!options_.recursive) {
      // A file as the single-file get names it: the server decides.
      steps_.push_back({Step::kFile, source, local, -1, -1, false, 0, {}, {}, {}, {}});
      place_top();
      ++files_total_;
      continue;
    }
    RemoteKind kind;
    ListingEntry entry;
    Outcome o = remote_kind(session_, output_, source, &kind, &entry);
    if (!o.ok()) {
      add_failure(source, o);
      if (link_trouble(o) || o.exit == Exit::kInterrupted) return o;
      continue;
    }
    if (kind == RemoteKind::kMissing) {
      add_failure(source, Outcome::Fail(Exit::kFileError,
                                        "no such file or directory on the server: " + source));
    } else if (kind == RemoteKind::kFile) {
      steps_.push_back({Step::kFile, source, local, -1, entry.size, false, 0, {}, {}, {}, {}});
      place_top();
      ++files_total_;
    } else {
      if (local.empty()) local = ".";  // the root's contents into the current directory
      o = plan_remote(source, local, -1, name.empty() ? nullptr : &entry);
      place_top();
      if (!o.ok()) return o;
    }
  }
  return Outcome::Ok();
}

void Copy::failed(const std::string& path, Outcome o, bool report) {
  ++failures_;
  if (first_failure_.ok()) first_failure_ = o;
  if (report && several_) {
    progress_.clear();
    std::string line = o.message;
    if (line.find(path) == std::string::npos) line = path + ": " + line;
    output_.message(line.c_str());  // as printed so far: up to a NUL
  }
  if (o.exit == Exit::kInterrupted) {
    fatal_ = o;
  } else if (several_ && link_trouble(o)) {
    // Bring the link into step again; a server that no longer answers ends
    // the copy.
    std::string hello;
    const Outcome again = session_.connect(&hello);
    if (!again.ok()) fatal_ = again;
  }
}

void Copy::name_partial_files() {
  std::set<std::string> taken;  // the copy's own targets and partial files
  for (const Step& step : steps_) {
    if (step.kind != Step::kFailure) taken.insert(strip_trailing_slashes(step.to));
  }
  for (Step& step : steps_) {
    if (step.kind != Step::kFile) continue;
    std::string suffix = kPartSuffix;
    for (int n = 1; taken.count(step.to + suffix) != 0; ++n) {
      suffix = std::string(kPartSuffix) + "." + std::to_string(n);
    }
    step.part = step.leaf + suffix;
    taken.insert(step.to + suffix);
  }
}

void Copy::close_directories(size_t keep) {
  while (open_dirs_.size() > keep) {
    close(open_dirs_.back().second);  // only read: nothing to lose
    open_dirs_.pop_back();
  }
}

int Copy::open_base(const Step& step) {
  return open(step.base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int Copy::open_directory(int index) {
  // The steps from the top down to `index`; those open already stay open.
  std::vector<int> chain;
  for (int i = index; i >= 0; i = steps_[static_cast<size_t>(i)].parent) chain.push_back(i);
  std::reverse(chain.begin(), chain.end());
  size_t keep = 0;
  while (keep < open_dirs_.size() && keep < chain.size() && open_dirs_[keep].first == chain[keep]) {
    ++keep;
  }
  close_directories(keep);
  for (size_t k = keep; k < chain.size(); ++k) {
    const Step& step = steps_[static_cast<size_t>(chain[k])];
    int at = k == 0 ? open_base(step) : open_dirs_.back().second;
    if (at < 0) return -1;
    const int fd = openat(at, step.leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int error = errno;
    if (k == 0) close(at);
    if (fd < 0) {
      errno = error;
      return -1;
    }
    open_dirs_.emplace_back(chain[k], fd);
  }
  return open_dirs_.empty() ? -1 : open_dirs_.back().second;
}

void Copy::make_directory(size_t index) {
  const Step& step = steps_[index];
  if (!upload_) {
    Outcome o;
    const int at = step.parent < 0 ? open_base(step) : open_directory(step.parent);
    struct stat st;
    if (at < 0) {
      o = local_failure("open the directory", step.parent < 0 ? step.base : step.to);
    } else if (mkdirat(at, step.leaf.c_str(), 0777) != 0 && errno != EEXIST) {
      o = local_failure("create the directory", step.to);
    } else if (fstatat(at, step.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      o = local_failure("create the directory", step.to);
    } else if (S_ISLNK(st.st_mode)) {
      o = not_following(step.to);
    } else if (!S_ISDIR(st.st_mode)) {
      errno = EEXIST;
      o = local_failure("create the directory", step.to);
    }
    if (step.parent < 0 && at >= 0) close(at);
    if (o.ok()) return;
    step_failed_[index] = true;
    failed(step.to, o);
    return;
  }
  Outcome o = simple_command(session_, COMMAND_MD, step.to);
  if (o.ok()) return;
  if (o.exit == Exit::kDirError) {
    // It may be there already.
    RemoteKind kind;
    ListingEntry entry;
    const Outcome look = remote_kind(session_, output_, step.to, &kind, &entry);
    if (look.ok() && kind == RemoteKind::kDirectory) return;
    if (!look.ok()) o = look;
  }
  step_failed_[index] = true;
  o.message = "cannot create the directory " + step.to + " on the server: " + o.message;
  failed(step.to, o);
}

Outcome Copy::get_placed(const Step& step, FileReport* report) {
  // A name the server listed twice: the file that came first stays.
  if (received_.count(step.to) != 0) {
    return Outcome::Fail(Exit::kUnexpectedReply, "the server lists " + step.from + " twice; " +
                                                     step.to +
                                                     " is received already and stays as it is");
  }
  const int at = step.parent < 0 ? open_base(step) : open_directory(step.parent);
  if (at < 0) {
    return local_failure("open the directory", step.parent < 0 ? step.base : step.to);
  }
  Outcome o;
  struct stat st;
  if (fstatat(at, step.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(st.st_mode)) {
      o = not_following(step.to);
    } else if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      o = local_failure("write", step.to);
    }
  }
  if (o.ok()) {
    const std::string dir_shown = step.to.substr(0, step.to.size() - step.leaf.size());
    const LocalPlace place{at, step.leaf, step.part, step.to, dir_shown + step.part};
    o = get_file(session_, step.from, step.to, options_, output_, progress_, report, &place);
  }
  if (step.parent < 0) close(at);
  return o;
}

void Copy::move_file(size_t index) {
  const Step& step = steps_[index];
  ++files_done_;
  std::string label = upload_ ? local_basename(step.from) : remote_basename(step.from);
  if (files_total_ > 1) {
    label = std::to_string(files_done_) + "/" + std::to_string(files_total_) + " " + label;
  }
  progress_.set_label(label);
  FileReport report;
  report.expected = step.size;
  const int64_t before = progress_.done();
  const auto start = Clock::now();
  Outcome o;
  if (upload_) {
    o = put_file(session_, step.from, step.to, options_, output_, progress_, &report);
  } else if (!several_) {
    o = get_file(session_, step.from, step.to, options_, output_, progress_, &report);
  } else {
    o = get_placed(step, &report);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!o.ok()) {
    step_failed_[index] = true;
    // The bar goes on from where this file would have ended.
    if (step.size >= 0) progress_.update(before + step.size);
    failed(step.from, o);
    return;
  }
  ++files_copied_;
  if (!upload_) received_.insert(step.to);
  bytes_ += report.moved;
  progress_.clear();
  output_.line(std::string(report.text.c_str()) + " in " + rate_text(report.moved, seconds));
}

void Copy::set_directory_stamps() {
  // Deepest first, after everything inside is written.
  for (size_t i = steps_.size(); i-- > 0;) {
    const Step& step = steps_[i];
    if (step.kind != Step::kDirectory || !step.have_stamp || step_failed_[i]) continue;
    time_t t;
    if (!stamp_to_time(step.stamp, &t)) continue;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = t;
    times[1].tv_nsec = 0;
    // The files inside are there: a time that cannot be set is only told.
    const int fd = open_directory(static_cast<int>(i));
    if (fd < 0 || futimens(fd, times) != 0) {
      output_.warning("cannot set the modification time of " + step.to + ": " +
                      std::strerror(errno));
    }
  }
}

Outcome Copy::run() {
  const auto start = Clock::now();
  Outcome o = plan();
  if (!o.ok()) return o;
  if (!upload_ && several_) name_partial_files();
  step_failed_.assign(steps_.size(), false);
  int64_t total = 0;
  for (const Step& step : steps_) {
    if (step.kind == Step::kFile && step.size > 0) total += step.size;
  }
  progress_.add_total(total);

  for (size_t i = 0; i < steps_.size() && fatal_.ok(); ++i) {
    const Step& step = steps_[i];
    if (step.parent >= 0 && step_failed_[static_cast<size_t>(step.parent)]) {
      // Its directory could not be made: the failure is told once, there.
      step_failed_[i] = true;
      if (step.kind != Step::kDirectory) ++failures_;
      continue;
    }
    if (interrupted()) {
      failed(step.from, Outcome::Fail(Exit::kInterrupted, "interrupted"), false);
      break;
    }
    switch (step.kind) {
      case Step::kFailure:
        failed(step.from, step.failure);
        break;
      case Step::kDirectory:
        make_directory(i);
        break;
      case Step::kFile:
        move_file(i);
        break;
    }
  }
  progress_.finish();
  if (!upload_) set_directory_stamps();

  if (!several_) return first_failure_;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const int good = files_copied_;
  char summary[160];
  std::snprintf(summary, sizeof summary, "%s %d file%s, %lld bytes in %s",
                upload_ ? "Sent" : "Received", good, good == 1 ? "" : "s",
                static_cast<long long>(bytes_), rate_text(bytes_, seconds).c_str());
  std::string line = summary;
  if (failures_ > 0) line += "; " + std::to_string(failures_) + " failed";
  output_.line(line.c_str());
  if (!fatal_.ok()) {
    return Outcome{fatal_.exit, fatal_.message + "; the copy stopped there"};
  }
  if (failures_ > 0) {
    const Exit exit = first_failure_.exit == Exit::kOk ? Exit::kLink : first_failure_.exit;
    return Outcome::Fail(exit, std::to_string(failures_) + " of the copy's files and directories " +
                                   "failed; the first: " + first_failure_.message);
  }
  return Outcome::Ok();
}

}  // namespace

Outcome copy_command(Session& session, const Options& options, Output& output) {
  Copy copy(session, options, output);
  return copy.run();
}

}  // namespace tarnel::client

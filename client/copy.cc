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
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "base/wire_words.h"
#include "client/commands.h"
#include "client/copy_plan.h"
#include "client/local_file.h"
#include "client/protocol.h"

namespace tarnel::client {

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
    *kind =
        (line.entry.attributes & ATTRIBUTE_DIRECTORY) ? RemoteKind::kDirectory : RemoteKind::kFile;
    return Outcome::Ok();
  }
  *kind = RemoteKind::kMissing;
  return Outcome::Ok();
}

namespace {

using Clock = std::chrono::steady_clock;

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
        progress_(output, "", 0),
        tree_(plan_.steps) {}
  Copy(const Copy&) = delete;
  Copy& operator=(const Copy&) = delete;

  Outcome run();

 private:
  // Planning, in the steps below; each direction plans in a file of its own.
  Outcome plan();
  CopyRequest split_sources() const;
  Outcome refuse_same_names(const CopyRequest& request) const;

  // Carrying out.
  void make_directory(size_t index);
  void move_file(size_t index);
  void failed(const std::string& path, Outcome o, bool report = true);
  void set_directory_stamps();
  Outcome summary(Clock::time_point start);

  Session& session_;
  const Options& options_;
  Output& output_;
  const bool upload_;
  bool several_ = false;  // more than one source, or -r
  CopyPlan plan_;
  std::vector<bool> step_failed_;
  Progress progress_;
  int files_done_ = 0;    // files begun
  int files_copied_ = 0;  // files complete
  int failures_ = 0;
  int64_t bytes_ = 0;
  Outcome first_failure_;
  Outcome fatal_;  // the copy cannot go on
  /// Where a download of several files puts them.
  LocalTree tree_;
  /// Files this run received complete.
  std::set<std::string> received_;
};

CopyRequest Copy::split_sources() const {
  const std::vector<std::string>& args = options_.args;
  CopyRequest request;
  request.recursive = options_.recursive;
  if (args.size() == 1) {
    request.sources = args;
  } else {
    request.sources.assign(args.begin(), args.end() - 1);
    request.target = args.back();
  }
  return request;
}

Outcome Copy::refuse_same_names(const CopyRequest& request) const {
  // Sources of the same name would overwrite each other in the target.
  if (request.sources.size() < 2) return Outcome::Ok();
  std::vector<std::pair<std::string, std::string>> named;  // name, source
  for (const std::string& source : request.sources) {
    const std::string name =
        upload_ ? local_basename(source) : remote_basename(strip_separators(source));
    for (const auto& [other_name, other] : named) {
      if (name == other_name) {
        return Outcome::Fail(Exit::kUsage, other + " and " + source + " have the same name \"" +
                                               name + "\" in " + request.target +
                                               "; nothing is copied");
      }
    }
    named.emplace_back(name, source);
  }
  return Outcome::Ok();
}

Outcome Copy::plan() {
  CopyRequest request = split_sources();
  several_ = request.sources.size() > 1 || request.recursive;
  Outcome o = refuse_same_names(request);
  if (!o.ok()) return o;
  o = upload_ ? decide_upload_into(session_, output_, &request) : decide_download_into(&request);
  if (!o.ok()) return o;
  if (upload_) {
    plan_upload(request, &plan_);
    return Outcome::Ok();
  }
  o = plan_download(session_, output_, request, &plan_);
  if (several_) name_partial_files(plan_.steps);
  return o;
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

void Copy::make_directory(size_t index) {
  const Step& step = plan_.steps[index];
  Outcome o = upload_ ? simple_command(session_, COMMAND_MD, step.to) : tree_.make_directory(index);
  if (o.ok()) return;
  if (upload_ && o.exit == Exit::kDirError) {
    // It may be there already.
    RemoteKind kind;
    ListingEntry entry;
    const Outcome look = remote_kind(session_, output_, step.to, &kind, &entry);
    if (look.ok() && kind == RemoteKind::kDirectory) return;
    if (!look.ok()) o = look;
  }
  step_failed_[index] = true;
  if (upload_)
    o.message = "cannot create the directory " + step.to + " on the server: " + o.message;
  failed(step.to, o);
}

void Copy::move_file(size_t index) {
  const Step& step = plan_.steps[index];
  ++files_done_;
  std::string label = upload_ ? local_basename(step.from) : remote_basename(step.from);
  if (plan_.files_total > 1) {
    label = std::to_string(files_done_) + "/" + std::to_string(plan_.files_total) + " " + label;
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
    o = tree_.get_placed(session_, options_, output_, progress_, step, received_, &report);
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
  for (size_t i = plan_.steps.size(); i-- > 0;) {
    const Step& step = plan_.steps[i];
    if (step.kind != Step::kDirectory || !step.have_stamp || step_failed_[i]) continue;
    time_t t;
    if (!stamp_to_time(step.stamp, &t)) continue;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = t;
    times[1].tv_nsec = 0;
    // The files inside are there: a time that cannot be set is only told.
    const int fd = tree_.open_directory(static_cast<int>(i));
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
  step_failed_.assign(plan_.steps.size(), false);
  int64_t total = 0;
  for (const Step& step : plan_.steps) {
    if (step.kind == Step::kFile && step.size > 0) total += step.size;
  }
  progress_.add_total(total);

  for (size_t i = 0; i < plan_.steps.size() && fatal_.ok(); ++i) {
    const Step& step = plan_.steps[i];
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

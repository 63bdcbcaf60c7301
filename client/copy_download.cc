// The download side of a "get" of several files or of trees: the plan (the
// server's sources listed, each directory before what lies in it, in the
// listing's order) and the places its files land in (LocalTree).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/wire_words.h"
#include "client/copy_plan.h"
#include "client/local_file.h"

namespace tarnel::client {
namespace {

Outcome not_following(const std::string& path) {
  return Outcome::Fail(Exit::kLocalFile, "not following the symbolic link " + path);
}

/// A name that cannot travel inside a server path as one component.
bool unusable_name(const std::string& name) {
  return name.empty() || name == "." || name == ".." ||
         name.find_first_of("\\/") != std::string::npos;
}

std::string local_join(const std::string& dir, const std::string& name) {
  return dir + (dir.back() == '/' ? "" : "/") + name;
}

Outcome plan_remote(Session& session, Output& output, const std::string& remote,
                    const std::string& local, int parent, const ListingEntry* entry,
                    CopyPlan* plan);

/// The entries of the listing `data` of the directory `remote` (step `me`).
Outcome plan_listed(Session& session, Output& output, const std::string& remote,
                    const std::string& listed, const std::string& local, int me,
                    const std::string& data, CopyPlan* plan) {
  for (const ListingLine& line : parse_listing(data)) {
    if (!line.parsed) {
      plan->add_failure(
          remote,
          Outcome::Fail(Exit::kUnexpectedReply, "a listing line of " + remote + " cannot be read"),
          me);
      continue;
    }
    const ListingEntry& e = line.entry;
    if (e.attributes & ATTRIBUTE_VOLUME_LABEL) continue;
    const std::string child = remote_join(listed, e.name);
    if (unusable_name(e.name)) {
      plan->add_failure(
          child,
          Outcome::Fail(Exit::kUnexpectedReply,
                        "the server lists a name that cannot be copied: \"" + e.name + "\""),
          me);
      continue;
    }
    const std::string local_child = local_join(local, e.name);
    if (e.attributes & ATTRIBUTE_DIRECTORY) {
      Outcome o = plan_remote(session, output, child, local_child, me, &e, plan);
      if (!o.ok()) return o;
    } else {
      const int index = plan->add(Step::file(child, local_child, me, e.size));
      plan->steps[static_cast<size_t>(index)].leaf = e.name;
    }
  }
  return Outcome::Ok();
}

/// The server's directory `remote` and everything in it, to `local`.
Outcome plan_remote(Session& session, Output& output, const std::string& remote,
                    const std::string& local, int parent, const ListingEntry* entry,
                    CopyPlan* plan) {
  Step step = Step::directory(remote, local, parent);
  step.leaf = local.substr(local.rfind('/') + 1);
  if (entry) {
    step.have_stamp = true;
    step.stamp = entry->stamp;
  }
  const int me = plan->add(std::move(step));
  std::string data;
  const std::string listed = ends_with_separator(remote) ? remote : remote + "\\";
  Outcome o = fetch_listing(session, output, listed, &data);
  if (!o.ok()) {
    plan->add_failure(remote, o, me);
    return stops_planning(o) ? o : Outcome::Ok();
  }
  return plan_listed(session, output, remote, listed, local, me, data, plan);
}

/// Where a source's top step lands: by its server name `name` in the target,
/// or as the target the user named.
void place_top(const CopyRequest& request, const std::string& name, Step* top) {
  const std::string& target = request.target;
  if (request.into && !name.empty()) {
    top->base = target.empty() ? "." : target;
    top->leaf = name;
  } else if (request.into) {
    top->base = top->to;  // the root's contents into the target itself
    top->leaf = ".";
  } else {
    const std::string path = strip_trailing_slashes(target);
    const size_t cut = path.rfind('/');
    top->base = cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
    top->leaf = cut == std::string::npos ? path : path.substr(cut + 1);
  }
}

/// One source of the download, to `local`.
Outcome plan_source(Session& session, Output& output, const CopyRequest& request,
                    const std::string& source, const std::string& name, std::string local,
                    CopyPlan* plan) {
  if (!request.recursive) {
    // A file as the single-file get names it: the server decides.
    plan->add(Step::file(source, local, -1, -1));
    return Outcome::Ok();
  }
  RemoteKind kind;
  ListingEntry entry;
  Outcome o = remote_kind(session, output, source, &kind, &entry);
  if (!o.ok()) {
    plan->add_failure(source, o);
    return stops_planning(o) ? o : Outcome::Ok();
  }
  if (kind == RemoteKind::kMissing) {
    plan->add_failure(source, Outcome::Fail(Exit::kFileError,
                                            "no such file or directory on the server: " + source));
  } else if (kind == RemoteKind::kFile) {
    plan->add(Step::file(source, local, -1, entry.size));
  } else {
    if (local.empty()) local = ".";  // the root's contents into the current directory
    return plan_remote(session, output, source, local, -1, name.empty() ? nullptr : &entry, plan);
  }
  return Outcome::Ok();
}

bool local_directory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

Outcome decide_download_into(CopyRequest* request) {
  const std::string& target = request->target;
  request->into = target.empty() || request->sources.size() > 1 || target.back() == '/';
  // A tree copied to the name of a directory goes into it.
  if (!target.empty() && request->recursive && !request->into) {
    request->into = local_directory(target);
  }
  if (request->sources.size() > 1 && !local_directory(target)) {
    // Several sources need a directory to go into.
    return Outcome::Fail(Exit::kLocalFile, "the target " + target + " is not a directory");
  }
  return Outcome::Ok();
}

Outcome plan_download(Session& session, Output& output, const CopyRequest& request,
                      CopyPlan* plan) {
  const std::string& target = request.target;
  for (const std::string& source : request.sources) {
    const std::string name = remote_basename(strip_separators(source));
    std::string local = target;
    if (request.into) local = target.empty() ? name : local_join(target, name);
    const size_t first = plan->steps.size();
    Outcome o = plan_source(session, output, request, source, name, local, plan);
    // A failure of the source has nowhere to land.
    if (first < plan->steps.size() && plan->steps[first].kind != Step::kFailure) {
      place_top(request, name, &plan->steps[first]);
    }
    if (!o.ok()) return o;
  }
  return Outcome::Ok();
}

void name_partial_files(std::vector<Step>& steps) {
  std::set<std::string> taken;  // the copy's own targets and partial files
  for (const Step& step : steps) {
    if (step.kind != Step::kFailure) taken.insert(strip_trailing_slashes(step.to));
  }
  for (Step& step : steps) {
    if (step.kind != Step::kFile) continue;
    std::string suffix = kPartSuffix;
    for (int n = 1; taken.count(step.to + suffix) != 0; ++n) {
      suffix = std::string(kPartSuffix) + "." + std::to_string(n);
    }
    step.part = step.leaf + suffix;
    taken.insert(step.to + suffix);
  }
}

void LocalTree::close_directories(size_t keep) {
  while (open_dirs_.size() > keep) {
    close(open_dirs_.back().second);  // only read: nothing to lose
    open_dirs_.pop_back();
  }
}

int LocalTree::open_base(const Step& step) {
  return open(step.base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int LocalTree::open_directory(int index) {
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

Outcome LocalTree::make_directory(size_t index) {
  const Step& step = steps_[index];
  Outcome o;
  const int at = open_parent(step);
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
  return o;
}

Outcome LocalTree::get_placed(Session& session, const Options& options, Output& output,
                              Progress& progress, const Step& step,
                              const std::set<std::string>& received, FileReport* report) {
  // A name the server listed twice: the file that came first stays.
  if (received.count(step.to) != 0) {
    return Outcome::Fail(Exit::kUnexpectedReply, "the server lists " + step.from + " twice; " +
                                                     step.to +
                                                     " is received already and stays as it is");
  }
  const int at = open_parent(step);
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
    o = get_file(session, step.from, step.to, options, output, progress, report, &place);
  }
  if (step.parent < 0) close(at);
  return o;
}

}  // namespace tarnel::client

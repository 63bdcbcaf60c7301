// The plan of a "put" of several files or of trees: the local sources walked,
// each directory before what lies in it, in name order.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "client/copy_plan.h"
#include "client/local_file.h"

namespace tarnel::client {
namespace {

Outcome not_sent(const std::string& path, const std::string& why) {
  return Outcome::Fail(Exit::kLocalFile, "cannot send " + path + ": " + why);
}

/// The names in the directory `path`, "." and ".." left out, sorted; a
/// directory that cannot be read (or read to its end) is a failure of
/// `plan`, step `me`.
std::vector<std::string> directory_names(const std::string& path, int me, CopyPlan* plan) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (!dir) {
    plan->add_failure(path, local_failure("read the directory", path), me);
    return names;
  }
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
    plan->add_failure(path, local_failure("read the directory", path), me);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void plan_local(const std::string& path, const std::string& remote, int parent, bool recursive,
                CopyPlan* plan);

/// The entries of the directory `path` (step `me`), each to `remote`.
void plan_entries(const std::string& path, const std::string& remote, int me, CopyPlan* plan) {
  for (const std::string& name : directory_names(path, me, plan)) {
    const std::string child = path + (path.back() == '/' ? "" : "/") + name;
    struct stat link, st;
    if (lstat(child.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
        (stat(child.c_str(), &st) != 0 || S_ISDIR(st.st_mode))) {
      // A link to a directory may lead in a circle; a broken one to nothing.
      plan->add_failure(
          child, Outcome::Fail(Exit::kLocalFile, "not following the symbolic link " + child), me);
      continue;
    }
    if (name.find('\\') != std::string::npos) {
      plan->add_failure(child, not_sent(child, "a server path cannot hold \"\\\""), me);
      continue;
    }
    plan_local(child, remote_join(remote, name), me, true, plan);
  }
}

void plan_local(const std::string& path, const std::string& remote, int parent, bool recursive,
                CopyPlan* plan) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    plan->add_failure(path, local_failure("read", path), parent);
  } else if (S_ISREG(st.st_mode)) {
    plan->add(Step::file(path, remote, parent, st.st_size));
  } else if (!S_ISDIR(st.st_mode)) {
    plan->add_failure(path, not_sent(path, "not a regular file"), parent);
  } else if (!recursive) {
    plan->add_failure(
        path,
        Outcome::Fail(Exit::kLocalFile, "omitting directory " + path + " (put -r copies trees)"),
        parent);
  } else {
    const int me = plan->add(Step::directory(path, remote, parent));
    plan_entries(path, remote, me, plan);
  }
}

}  // namespace

Outcome decide_upload_into(Session& session, Output& output, CopyRequest* request) {
  const std::string& target = request->target;
  request->into = target.empty() || request->sources.size() > 1 || ends_with_separator(target);
  // A tree copied to a name that is a directory on the server goes into it.
  const bool ask = !target.empty() && (request->sources.size() > 1 || request->recursive);
  if (!ask) return Outcome::Ok();
  RemoteKind kind = RemoteKind::kMissing;
  ListingEntry entry;
  if (request->sources.size() > 1 || !request->into) {
    Outcome o = remote_kind(session, output, target, &kind, &entry);
    if (!o.ok()) return o;
    request->into = request->into || kind == RemoteKind::kDirectory;
  }
  if (request->sources.size() > 1 && kind != RemoteKind::kDirectory) {
    // Several sources need a directory to go into.
    return Outcome::Fail(Exit::kDirError,
                         "the target " + target + " is not a directory on the server");
  }
  return Outcome::Ok();
}

void plan_upload(const CopyRequest& request, CopyPlan* plan) {
  for (const std::string& source : request.sources) {
    const std::string remote =
        request.into ? remote_join(request.target, local_basename(source)) : request.target;
    plan_local(source, remote, -1, request.recursive, plan);
  }
}

}  // namespace tarnel::client

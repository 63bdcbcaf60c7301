// The plan of a copy of several files or of trees (copy.cc): every directory
// to make and file to move, in order, made before anything moves so that one
// progress bar covers all of it. Each direction plans in a file of its own:
// copy_upload.cc walks the local tree, copy_download.cc lists the server's.
#ifndef TARNEL_CLIENT_COPY_PLAN_H_
#define TARNEL_CLIENT_COPY_PLAN_H_

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/commands.h"
#include "client/outcome.h"
#include "client/output.h"
#include "client/progress.h"
#include "client/protocol.h"
#include "client/session.h"

namespace tarnel::client {

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

  static Step directory(std::string from, std::string to, int parent) {
    return make(kDirectory, std::move(from), std::move(to), parent);
  }
  /// `size`: -1 when the plan does not know it (the server decides).
  static Step file(std::string from, std::string to, int parent, int64_t size) {
    Step step = make(kFile, std::move(from), std::move(to), parent);
    step.size = size;
    return step;
  }
  static Step failed(std::string from, Outcome why, int parent) {
    Step step = make(kFailure, std::move(from), "", parent);
    step.failure = std::move(why);
    return step;
  }

 private:
  static Step make(Kind kind, std::string from, std::string to, int parent) {
    Step step{};
    step.kind = kind;
    step.from = std::move(from);
    step.to = std::move(to);
    step.parent = parent;
    return step;
  }
};

/// The steps, in the order they are carried out; a directory comes before
/// what lies in it.
struct CopyPlan {
  std::vector<Step> steps;
  int files_total = 0;

  /// Adds `step`; its index.
  int add(Step step) {
    if (step.kind == Step::kFile) ++files_total;
    steps.push_back(std::move(step));
    return static_cast<int>(steps.size()) - 1;
  }
  void add_failure(std::string from, Outcome why, int parent = -1) {
    add(Step::failed(std::move(from), std::move(why), parent));
  }
};

/// The sources and the target as the command line names them, and whether
/// the sources go into the target (a directory) or become it.
struct CopyRequest {
  std::vector<std::string> sources;
  std::string target;  // empty: none named
  bool recursive = false;
  bool into = false;
};

enum class RemoteKind { kMissing, kFile, kDirectory };

/// What the server holds at `path`, through a single-entry listing.
Outcome remote_kind(Session& session, Output& output, const std::string& path, RemoteKind* kind,
                    ListingEntry* entry);

inline bool ends_with_separator(std::string_view path) {
  return !path.empty() && (path.back() == '\\' || path.back() == '/');
}

inline std::string strip_separators(std::string path) {
  while (ends_with_separator(path)) path.pop_back();
  return path;
}

inline std::string strip_trailing_slashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

/// Whether the link should be brought into step again after `o`.
inline bool link_trouble(const Outcome& o) {
  return o.exit == Exit::kLink || o.exit == Exit::kNoServer || o.exit == Exit::kBadCommand ||
         o.exit == Exit::kUnexpectedReply;
}

/// Whether planning stops at `o`: the link is in trouble or the user interrupted.
inline bool stops_planning(const Outcome& o) {
  return link_trouble(o) || o.exit == Exit::kInterrupted;
}

// ---- Upload (copy_upload.cc) -------------------------------------------------

/// Decides request->into for an upload; fails when several sources have no
/// directory on the server to go into.
Outcome decide_upload_into(Session& session, Output& output, CopyRequest* request);
/// The local sources walked: each file and, with -r, each directory tree.
void plan_upload(const CopyRequest& request, CopyPlan* plan);

// ---- Download (copy_download.cc) ------------------------------------------------

/// Decides request->into for a download; fails when several sources have no
/// local directory to go into.
Outcome decide_download_into(CopyRequest* request);
/// The server's sources listed: each file and, with -r, each directory tree.
/// Fails only when the link is in trouble or the user interrupted.
Outcome plan_download(Session& session, Output& output, const CopyRequest& request, CopyPlan* plan);
/// Gives each file of a download of several its partial file's name.
void name_partial_files(std::vector<Step>& steps);

/// The destination directories of a download of several files, opened one
/// by one from the top that the user named, following no symbolic link
/// beneath it. `steps` must outlive it.
class LocalTree {
 public:
  explicit LocalTree(const std::vector<Step>& steps) : steps_(steps) {}
  ~LocalTree() { close_directories(0); }
  LocalTree(const LocalTree&) = delete;
  LocalTree& operator=(const LocalTree&) = delete;

  /// The directory of step `index`, opened with those above it (they stay
  /// open for the next call); -1 with errno set on failure.
  int open_directory(int index);

  /// Makes the directory of step `index` (or finds it there).
  Outcome make_directory(size_t index);

  /// Receives the file of `step` into its place, which must be neither a
  /// symbolic link nor a directory; `received`: the files received
  /// complete so far, which stay as they are.
  Outcome get_placed(Session& session, const Options& options, Output& output, Progress& progress,
                     const Step& step, const std::set<std::string>& received, FileReport* report);

 private:
  /// The directory that step's target lies in, opened for the caller to close.
  int open_base(const Step& step);
  /// The directory that `step` lies in: open_base's (close it after) or its parent's.
  int open_parent(const Step& step) {
    return step.parent < 0 ? open_base(step) : open_directory(step.parent);
  }
  void close_directories(size_t keep);

  const std::vector<Step>& steps_;
  /// The open directories, from a top one down to the last one opened:
  /// step index and descriptor.
  std::vector<std::pair<int, int>> open_dirs_;
};

}  // namespace tarnel::client

#endif  // TARNEL_CLIENT_COPY_PLAN_H_

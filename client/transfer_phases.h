// The phases of one file's "get" and "put", each with what it takes and what
// it gives, so that each can be tried on its own. get_file and put_file
// (commands.h) run them in turn:
//
//   get: plan_get (paths, command text) -> open_partial (the partial file,
//        and for --resume what it holds) -> request_download (REST, GET and
//        the replies up to "SIZE n") -> receive_download (the data frames
//        into the partial file) -> finish_download (time stamp, rename,
//        report); on a failure after the partial file, keep_or_drop_partial.
//   put: plan_put (the local file, the server path, the sizes) ->
//        announce_upload (PUT, TIME, ATTR, REST and SIZE) -> send_upload (the
//        data frames) -> finish_upload (the server's listing checked, report).
#ifndef TARNEL_CLIENT_TRANSFER_PHASES_H_
#define TARNEL_CLIENT_TRANSFER_PHASES_H_

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "client/commands.h"
#include "client/options.h"
#include "client/outcome.h"
#include "client/output.h"
#include "client/progress.h"
#include "client/session.h"

namespace tarnel::client {

// get

/// Where a download goes and how it is asked for.
struct GetPlan {
  std::string remote;
  std::string local;      // the target: LOCAL, or the server's name in a directory
  std::string part_path;  // LOCAL.tarnel-part, written until the data is complete
  std::string command;    // "GET path" or "AGET path"
  bool text = false;
  bool resume = false;
  /// The directory the next two names are taken in, and whether it was
  /// opened beneath a copy's destination (then no name is followed when it
  /// is a symbolic link).
  int dir_fd = AT_FDCWD;
  bool beneath = false;
  std::string local_name;  // `local` in dir_fd (empty: `local` itself)
  std::string part_name;   // `part_path` in dir_fd (empty: `part_path` itself)
};

/// The file a download writes into.
struct Partial {
  std::string path;       // as told
  int dir_fd = AT_FDCWD;  // where `name` is
  std::string name;       // `path` in dir_fd (empty: `path` itself)
  int fd = -1;
  bool made_here = false;  // created (empty or as a copy of LOCAL) by this run
  int64_t offset = 0;      // client-view position from which the server sends
  std::string overlap;     // client view of the held bytes from `offset` on
  int64_t written = 0;     // bytes this run added

  Partial() = default;
  Partial(const Partial&) = delete;
  Partial& operator=(const Partial&) = delete;
  /// Closes the file if it is still open (a download that failed).
  ~Partial();

  /// The name to open in dir_fd.
  const std::string& name_in_dir() const { return name.empty() ? path : name; }

  /// Bytes held before this run: where the server is to start plus the
  /// overlap it sends again.
  int64_t held() const { return offset + static_cast<int64_t>(overlap.size()); }
};

/// What the server announced for a download.
struct GetAnnouncement {
  int32_t total = -1;  // "SIZE n": the file's size in the client view
  bool have_stamp = false;
  int32_t stamp = 0;       // "TIME n"
  int32_t attributes = 0;  // "ATTR n"
};

/// The paths and the command text of a download of `remote` to `local_given`
/// (see get_file), or to `place` when a copy gives one.
Outcome plan_get(const std::string& remote, const std::string& local_given, const Options& options,
                 GetPlan* plan, const LocalPlace* place = nullptr);
/// Makes the partial file: a new empty one, or with --resume the one left
/// over (else a copy of LOCAL, else a new one) measured for where the
/// server is to start.
Outcome open_partial(const GetPlan& plan, Partial* part);
/// After a failure: a partial file made by this run that got nothing new
/// goes (it is empty or a mere copy of LOCAL); one with new data stays for
/// --resume, and so does one that was there before or that cannot be
/// removed; the message then says where it is (unless the failure is a
/// mismatch, whose message says what to do). Returns `failure` so amended.
Outcome keep_or_drop_partial(const Partial& part, Outcome failure);
/// Sends "REST n" (when needed) and the command, and takes the replies up
/// to "SIZE n". A server's file shorter than what is held already is a
/// mismatch (its data, if any, is refused).
Outcome request_download(Session& session, const GetPlan& plan, const Partial& part,
                         GetAnnouncement* announced);
/// Receives the data frames into the partial file, comparing the overlap
/// with what is held.
Outcome receive_download(Session& session, const GetPlan& plan, const GetAnnouncement& announced,
                         Partial* part, Progress& progress, FileReport* report);
/// How a download's file gets its time stamp: futimens, or a stand-in.
using SetTimes = int (*)(int fd, const struct timespec times[2]);
/// Writes the partial file out, gives it the server's time stamp (`set_times`;
/// when that fails, a warning on `output`, and the download still succeeds),
/// renames it to LOCAL and sets the report's text.
Outcome finish_download(const GetPlan& plan, const GetAnnouncement& announced, Output& output,
                        Partial* part, FileReport* report, SetTimes set_times = ::futimens);

// put

/// The local file of an upload, where it goes and its sizes.
struct PutPlan {
  std::string local;
  std::string remote;
  std::string command;  // "PUT path" or "APUT path"
  bool text = false;
  bool resume = false;
  int fd = -1;              // the local file, open for reading
  int64_t wire_size = 0;    // bytes that travel (the client view in text mode)
  int64_t stored_size = 0;  // bytes the server keeps (in text mode without any CR)
  int64_t cr = 0;           // CR bytes of a text upload, which the server drops
  int32_t stamp = 0;        // the local modification time, for "TIME n"
  int32_t attributes = 32;  // for "ATTR n": 33 read-only, 32 otherwise

  PutPlan() = default;
  PutPlan(const PutPlan&) = delete;
  PutPlan& operator=(const PutPlan&) = delete;
  ~PutPlan();
};

/// Opens and measures `local` and names its place on the server (see
/// put_file).
Outcome plan_put(const std::string& local, const std::string& remote_given, const Options& options,
                 PutPlan* plan);
/// Sends "PUT"/"APUT", "TIME", "ATTR", with --resume "REST ?" and its reply,
/// "REST 0" when needed, and "SIZE n". *start: the wire bytes the server
/// holds already, from which the data begins.
Outcome announce_upload(Session& session, const PutPlan& plan, Output& output, int64_t* start);
/// Sends the data frames from wire byte `start` on.
Outcome send_upload(Session& session, const PutPlan& plan, int64_t start, Progress& progress,
                    FileReport* report);
/// Lists the server's file, compares its size with what it should hold and
/// sets the report's text.
Outcome finish_upload(Session& session, const PutPlan& plan, int64_t start, Output& output,
                      FileReport* report);

}  // namespace tarnel::client

#endif  // TARNEL_CLIENT_TRANSFER_PHASES_H_

// "get": "REST n", then "GET path" or "AGET path"; the data goes into
// LOCAL.tarnel-part beside the target and is renamed to LOCAL only when
// every announced byte has arrived. An interrupted download stays in the
// .tarnel-part file, where --resume finds it.
//
// A resumed download asks for the last 4096 bytes it holds once more and
// compares them with what arrives, so that a file that changed on the
// server is not glued to an old beginning.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "base/wire_words.h"
#include "client/commands.h"
#include "client/local_file.h"
#include "client/progress.h"
#include "client/protocol.h"
#include "client/transfer_phases.h"

namespace tarnel::client {
namespace {

/// Held bytes (of the local file) that a resumed download fetches again.
constexpr int64_t kOverlap = 4096;
constexpr size_t kBlock = 65536;

/// The names of a plan in its directory; a plan without them names its
/// files by their paths.
const std::string& local_name(const GetPlan& plan) {
  return plan.local_name.empty() ? plan.local : plan.local_name;
}
const std::string& part_name(const GetPlan& plan) {
  return plan.part_name.empty() ? plan.part_path : plan.part_name;
}

Outcome create_part(Partial* p) {
  if (unlinkat(p->dir_fd, p->name_in_dir().c_str(), 0) != 0 && errno != ENOENT) {
    return local_failure("replace", p->path);
  }
  p->fd = openat(p->dir_fd, p->name_in_dir().c_str(),
                 O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (p->fd < 0) return local_failure("create", p->path);
  p->made_here = true;
  return Outcome::Ok();
}

/// Finds what a resumed download continues: the partial file, or else a copy
/// of LOCAL, or else nothing (an empty partial file).
Outcome open_left_over(const GetPlan& plan, Partial* p) {
  const std::string& local = plan.local;
  p->fd = openat(p->dir_fd, p->name_in_dir().c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  if (p->fd >= 0) return Outcome::Ok();
  if (errno != ENOENT) return local_failure("open", p->path);
  Outcome o = create_part(p);
  if (!o.ok()) return o;
  const int from = openat(plan.dir_fd, local_name(plan).c_str(),
                          O_RDONLY | O_CLOEXEC | (plan.beneath ? O_NOFOLLOW : 0));
  if (from < 0) {
    if (errno == ENOENT) return Outcome::Ok();
    return local_failure("read", local);
  }
  std::string buffer(kBlock, '\0');
  for (;;) {
    const ssize_t n = read_some(from, buffer.data(), buffer.size());
    if (n < 0) {
      o = local_failure("read", local);
      break;
    }
    if (n == 0) break;
    if (!write_all(p->fd, buffer.data(), static_cast<size_t>(n))) {
      o = local_failure("write", p->path);
      break;
    }
  }
  close(from);  // only read: nothing to lose
  return o;
}

/// Reads the held bytes: where the server is to start and the overlap.
Outcome measure_partial(Partial* p, bool text) {
  struct stat st;
  if (fstat(p->fd, &st) != 0) return local_failure("measure", p->path);
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return local_failure("use", p->path);
  }
  const int64_t held = st.st_size;
  const int64_t back = std::max<int64_t>(0, held - kOverlap);
  int64_t lf_before = 0;
  std::string buffer(kBlock, '\0');
  if (text) {
    for (int64_t at = 0; at < back;) {
      const ssize_t n = pread(p->fd, buffer.data(),
                              static_cast<size_t>(std::min<int64_t>(kBlock, back - at)), at);
      if (n <= 0) {
        if (n == 0) errno = EIO;
        return local_failure("read", p->path);
      }
      lf_before += std::count(buffer.begin(), buffer.begin() + n, '\n');
      at += n;
    }
  }
  std::string tail(static_cast<size_t>(held - back), '\0');
  for (size_t got = 0; got < tail.size();) {
    const ssize_t n =
        pread(p->fd, tail.data() + got, tail.size() - got, back + static_cast<int64_t>(got));
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return local_failure("read", p->path);
    }
    got += static_cast<size_t>(n);
  }
  p->offset = back + lf_before;
  p->overlap.clear();
  if (text) {
    to_client_view(reinterpret_cast<const uint8_t*>(tail.data()), tail.size(), p->overlap);
  } else {
    p->overlap = tail;
  }
  if (p->offset + static_cast<int64_t>(p->overlap.size()) > std::numeric_limits<int32_t>::max()) {
    return Outcome::Fail(Exit::kMismatch, p->path + " is larger than any file the server can send");
  }
  if (lseek(p->fd, held, SEEK_SET) != held) return local_failure("position in", p->path);
  return Outcome::Ok();
}

/// Whether the server, having announced `total` for a download from
/// `offset`, sends data frames at all. In text mode an offset past the end
/// is not found, and the server sends the file from its beginning.
bool frames_follow(int64_t total, int64_t offset, bool text) {
  if (text && offset > total) return total > 0;
  return total > offset;
}

/// Gives the file the server's time stamp (one that names no time is passed
/// over). False when `set_times` failed, with errno set.
bool set_modification_time(int fd, int32_t stamp, SetTimes set_times) {
  time_t t;
  if (!stamp_to_time(stamp, &t)) return true;
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = t;
  times[1].tv_nsec = 0;
  return set_times(fd, times) == 0;
}

}  // namespace

Partial::~Partial() {
  if (fd >= 0) close(fd);  // a download that failed: the message is told already
}

Outcome plan_get(const std::string& remote, const std::string& local_given, const Options& options,
                 GetPlan* plan, const LocalPlace* place) {
  const std::string name = remote_basename(remote);
  if (name.empty()) return Outcome::Fail(Exit::kUsage, "the server path names no file: " + remote);
  Outcome o = command_text(options.charset, options.text ? COMMAND_AGET : COMMAND_GET, remote,
                           &plan->command);
  if (!o.ok()) return o;
  plan->remote = remote;
  plan->text = options.text;
  plan->resume = options.resume;
  if (place) {
    plan->local = place->shown;
    plan->part_path = place->part_shown;
    plan->dir_fd = place->dir_fd;
    plan->beneath = true;
    plan->local_name = place->name;
    plan->part_name = place->part_name;
    return Outcome::Ok();
  }
  std::string local = local_given.empty() ? name : local_given;
  struct stat st;
  if (stat(local.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) local += "/" + name;
  plan->local = local;
  plan->part_path = local + kPartSuffix;
  return Outcome::Ok();
}

Outcome open_partial(const GetPlan& plan, Partial* part) {
  part->path = plan.part_path;
  part->dir_fd = plan.dir_fd;
  part->name = part_name(plan);
  Outcome o = plan.resume ? open_left_over(plan, part) : create_part(part);
  if (o.ok() && plan.resume) o = measure_partial(part, plan.text);
  return o;
}

Outcome keep_or_drop_partial(const Partial& part, Outcome failure) {
  // One that cannot be removed stays, and is told as one kept.
  const bool drop = part.made_here && part.written == 0;
  if (drop && (unlinkat(part.dir_fd, part.name_in_dir().c_str(), 0) == 0 || errno == ENOENT))
    return failure;
  if (failure.exit != Exit::kMismatch) {
    failure.message += "; the partial download is in " + part.path + " (get --resume continues it)";
  }
  return failure;
}

Outcome request_download(Session& session, const GetPlan& plan, const Partial& part,
                         GetAnnouncement* announced) {
  Outcome o;
  if (part.offset != 0 || !session.resume_offset_clear()) {
    o = session.send_command(std::string(COMMAND_REST) + std::to_string(part.offset));
  }
  if (o.ok()) o = session.send_command(plan.command);
  // The server sets its offset back to 0 after the download, however it ends.
  if (o.ok()) session.set_resume_offset_clear(true);
  if (!o.ok()) return o;

  while (announced->total < 0) {
    std::string reply;
    o = session.next_reply(&reply);
    if (!o.ok()) return o;
    o = error_reply(reply, false);
    if (!o.ok()) return o;
    int32_t n;
    if (reply_number(reply, ANSWER_REST, &n) && n == part.offset) continue;
    if (reply_number(reply, ANSWER_TIME, &n)) {
      announced->stamp = n;
      announced->have_stamp = true;
      continue;
    }
    if (reply_number(reply, ANSWER_ATTR, &n)) {
      announced->attributes = n;
      continue;
    }
    if (reply_number(reply, ANSWER_SIZE, &n) && n >= 0) {
      announced->total = n;
      continue;
    }
    return Outcome::Fail(Exit::kUnexpectedReply,
                         "unexpected reply \"" + reply + "\" to " + plan.command);
  }

  const int32_t total = announced->total;
  const int64_t held = part.held();
  if (total < held) {
    if (frames_follow(total, part.offset, plan.text)) {
      session.refuse_next_frame(session.settings().data_timeout_ms);
    }
    return Outcome::Fail(Exit::kMismatch, "the server's file (" + std::to_string(total) +
                                              " bytes) is shorter than the partial download (" +
                                              std::to_string(held) +
                                              "); get without --resume starts over");
  }
  return Outcome::Ok();
}

Outcome receive_download(Session& session, const GetPlan& plan, const GetAnnouncement& announced,
                         Partial* part, Progress& progress, FileReport* report) {
  const int64_t remaining = announced.total - part->offset;
  // The copy's progress counts the size the listing showed, if any.
  const int64_t base = progress.done();
  progress.add_total(remaining - (report->expected < 0 ? 0 : report->expected));
  FromClientView from_view;
  std::string converted;
  FrameBuffer frame;
  size_t compared = 0;
  int64_t received = 0;
  for (int32_t number = 1; received < remaining; ++number) {
    if (interrupted()) {
      session.refuse_next_frame(session.settings().data_timeout_ms);
      return Outcome::Fail(Exit::kInterrupted, "interrupted");
    }
    Outcome o = session.receive_data(number, frame, "the file");
    if (!o.ok()) {
      return Outcome{o.exit, o.message + " after " + std::to_string(received) + " of " +
                                 std::to_string(remaining) + " bytes"};
    }
    const int64_t length = frame.length;
    if (received + length > remaining) {
      // Whatever else it sends is refused.
      session.refuse_next_frame(500);
      return Outcome::Fail(Exit::kUnexpectedReply, "the server sent more data than it announced");
    }
    const uint8_t* data = frame.data;
    size_t size = static_cast<size_t>(length);
    if (compared < part->overlap.size()) {
      const size_t n = std::min(size, part->overlap.size() - compared);
      if (std::memcmp(data, part->overlap.data() + compared, n) != 0) {
        if (received + length < remaining) {
          session.refuse_next_frame(session.settings().data_timeout_ms);
        }
        return Outcome::Fail(Exit::kMismatch,
                             "the server's file differs from the partial download " + part->path +
                                 "; get without --resume starts over");
      }
      compared += n;
      data += n;
      size -= n;
    }
    bool stored;
    if (plan.text) {
      converted.clear();
      from_view.convert(data, size, converted);
      stored = write_all(part->fd, converted.data(), converted.size());
      part->written += static_cast<int64_t>(converted.size());
    } else {
      stored = write_all(part->fd, data, size);
      part->written += static_cast<int64_t>(size);
    }
    received += length;
    report->moved = received;
    if (!stored) {
      o = local_failure("write", part->path);
      if (received < remaining) session.refuse_next_frame(session.settings().data_timeout_ms);
      return o;
    }
    progress.update(base + received);
  }
  if (plan.text) {
    converted.clear();
    from_view.finish(converted);
    if (!write_all(part->fd, converted.data(), converted.size())) {
      return local_failure("write", part->path);
    }
    part->written += static_cast<int64_t>(converted.size());
  }
  return Outcome::Ok();
}

Outcome finish_download(const GetPlan& plan, const GetAnnouncement& announced, Output& output,
                        Partial* part, FileReport* report, SetTimes set_times) {
  if (fsync(part->fd) != 0) return local_failure("write", part->path);
  // The bytes are all there: a time stamp that cannot be set is told, and
  // the download still succeeds.
  if (announced.have_stamp && !set_modification_time(part->fd, announced.stamp, set_times)) {
    output.warning("cannot set the modification time of " + plan.local + ": " +
                   std::strerror(errno));
  }
  const int fd = part->fd;
  part->fd = -1;
  if (close(fd) != 0) return local_failure("write", part->path);
  if (renameat(plan.dir_fd, part_name(plan).c_str(), plan.dir_fd, local_name(plan).c_str()) != 0) {
    return local_failure("rename " + part->path + " to", plan.local);
  }
  report->text = "Received " + plan.remote + " into " + plan.local + ": " +
                 std::to_string(announced.total) + " bytes";
  const int64_t held = part->held();
  if (held > 0) report->text += ", resumed with " + std::to_string(held) + " bytes held";
  return Outcome::Ok();
}

Outcome get_file(Session& session, const std::string& remote, const std::string& local_given,
                 const Options& options, Output& output, Progress& progress, FileReport* report,
                 const LocalPlace* place) {
  GetPlan plan;
  Outcome o = plan_get(remote, local_given, options, &plan, place);
  if (!o.ok()) return o;
  Partial part;
  o = open_partial(plan, &part);
  if (o.ok()) {
    GetAnnouncement announced;
    o = request_download(session, plan, part, &announced);
    if (o.ok()) o = receive_download(session, plan, announced, &part, progress, report);
    if (o.ok()) o = finish_download(plan, announced, output, &part, report);
  }
  if (!o.ok()) return keep_or_drop_partial(part, o);
  return Outcome::Ok();
}

}  // namespace tarnel::client

// "put": "PUT path" or "APUT path", "TIME n", "ATTR n", then "REST ?" (with
// --resume, answered "REST=n" or "REST ERROR n") or "REST 0", and "SIZE n"
// followed by data frames 1, 2, ... until n client-view bytes are counted.
//
// The server refuses a data frame it cannot store, but tells nothing when an
// empty file cannot be created. So after the data the client lists the
// server's file and compares its size with what should have been stored.
//
// A text upload loses every CR on the server. Resumed, its data starts at
// the local byte where the server's count (which passes over the CR bytes)
// ends, and "SIZE n" counts from the server's count on, so that it comes out
// right where CR bytes went before.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

constexpr size_t kBlock = 65536;

/// The local file as the server is to receive it: raw bytes, or in text
/// mode the client view (every LF as CR LF).
class WireSource {
 public:
  WireSource(int fd, bool text) : fd_(fd), text_(text), block_(kBlock, '\0') {}

  /// Passes over the first `count` wire bytes. False on a read error or
  /// when the file ends first (errno EIO then).
  bool skip(int64_t count) {
    if (!text_) {
      if (lseek(fd_, count, SEEK_SET) == count) return true;
      return false;
    }
    while (count > 0) {
      if (pos_ == ready_.size() && !fill()) return false;
      if (pos_ == ready_.size()) {
        errno = EIO;
        return false;
      }
      const size_t n = static_cast<size_t>(std::min<int64_t>(count, ready_.size() - pos_));
      pos_ += n;
      count -= static_cast<int64_t>(n);
    }
    return true;
  }

  /// Up to `max` wire bytes into `out`: 0 at the end of the file, -1 on a
  /// read error.
  ssize_t take(uint8_t* out, size_t max) {
    size_t got = 0;
    while (got < max) {
      if (pos_ == ready_.size()) {
        if (!fill()) return -1;
        if (pos_ == ready_.size()) break;  // end of file
      }
      const size_t n = std::min(max - got, ready_.size() - pos_);
      std::memcpy(out + got, ready_.data() + pos_, n);
      pos_ += n;
      got += n;
    }
    return static_cast<ssize_t>(got);
  }

 private:
  bool fill() {
    ready_.clear();
    pos_ = 0;
    const ssize_t n = read_some(fd_, block_.data(), block_.size());
    if (n < 0) return false;
    const auto* p = reinterpret_cast<const uint8_t*>(block_.data());
    if (text_) {
      to_client_view(p, static_cast<size_t>(n), ready_);
    } else {
      ready_.assign(block_.data(), static_cast<size_t>(n));
    }
    return true;
  }

  int fd_;
  bool text_;
  std::string block_;
  std::string ready_;
  size_t pos_ = 0;
};

/// Ends a pending upload that this client will not carry out, so that its
/// offsets do not carry into the next transfer: "SIZE " with a size the
/// server cannot take for "complete", then a cancel frame, which it refuses
/// before it opens anything. `reported` is the "REST=" number.
void abandon_upload(Session& session, int32_t reported) {
  // The server's resume offset lies between 0 and the reported one, and is
  // not 0 when the reported one is not: 1 or 0 never read as complete.
  const int32_t size = reported == 0 ? 1 : 0;
  if (session.send_command(std::string(COMMAND_SIZE) + std::to_string(size)).ok()) {
    session.set_resume_offset_clear(true);
    session.send_cancel();
  }
}

/// Where the wire bytes of a text upload of `plan` continue when the server
/// holds `held` bytes of the client view of what it stored: the server
/// dropped every CR, so its count passes over them (and an LF counts two).
/// False with errno set on a read error; *start -1 when no byte of the
/// local file ends there.
bool wire_start(const PutPlan& plan, int64_t held, int64_t* start) {
  *start = -1;
  if (lseek(plan.fd, 0, SEEK_SET) != 0) return false;
  std::string block(kBlock, '\0');
  int64_t stored_view = 0, wire = 0;
  for (;;) {
    const ssize_t n = read_some(plan.fd, block.data(), block.size());
    if (n < 0) return false;
    if (n == 0) return true;
    for (ssize_t i = 0; i < n; ++i) {
      const char c = block[static_cast<size_t>(i)];
      if (c != '\r') stored_view += c == '\n' ? 2 : 1;
      wire += c == '\n' ? 2 : 1;
      if (stored_view == held) {
        *start = wire;
        return true;
      }
      if (stored_view > held) return true;
    }
  }
}

/// Lists the server's file and compares its size with `expected`.
Outcome verify_stored(Session& session, Output& output, const std::string& remote,
                      int64_t expected) {
  // A single-entry listing answers at once. When the server took the
  // command for the frame it had to refuse (and this end missed the
  // refusal), no answer comes at all: a short wait is enough to tell.
  constexpr unsigned kVerifyTimeoutMs = 3000;
  std::string data;
  Outcome o = fetch_listing(session, output, remote, &data, kVerifyTimeoutMs);
  if (!o.ok()) {
    if (session.last_send_result() == SendResult::SEND_REFUSED) {
      // The server was still waiting for a frame to refuse: it could not
      // create or write the file when the only data frame came.
      return Outcome::Fail(
          Exit::kLink, "the server did not store " + remote + " (it could not create or write it)");
    }
    return Outcome{o.exit == Exit::kDirError ? Exit::kLink : o.exit,
                   "the server does not show " + remote + " after the upload: " + o.message};
  }
  const std::string name = remote_basename(remote);
  for (const ListingLine& line : parse_listing(data)) {
    if (!line.parsed || line.entry.name != name) continue;
    if (line.entry.size == expected) return Outcome::Ok();
    return Outcome::Fail(Exit::kLink, "the server holds " + std::to_string(line.entry.size) +
                                          " bytes of " + remote + ", not " +
                                          std::to_string(expected));
  }
  return Outcome::Fail(Exit::kLink, "the server does not show " + remote + " after the upload");
}

}  // namespace

PutPlan::~PutPlan() {
  if (fd >= 0) close(fd);  // only read: nothing to lose
}

Outcome plan_put(const std::string& local, const std::string& remote_given, const Options& options,
                 PutPlan* plan) {
  plan->fd = open(local.c_str(), O_RDONLY | O_CLOEXEC);
  if (plan->fd < 0) return local_failure("read", local);
  const int fd = plan->fd;
  struct stat st;
  if (fstat(fd, &st) != 0) return local_failure("read", local);
  if (!S_ISREG(st.st_mode)) {
    return Outcome::Fail(Exit::kLocalFile, "cannot send " + local + ": not a regular file");
  }
  const std::string name = local_basename(local);
  std::string remote = remote_given.empty() ? name : remote_given;
  if (!remote.empty() && (remote.back() == '\\' || remote.back() == '/')) remote += name;
  std::string list_text;
  Outcome o = command_text(options.charset, options.text ? COMMAND_APUT : COMMAND_PUT, remote,
                           &plan->command);
  if (o.ok()) o = command_text(options.charset, COMMAND_LIST, remote, &list_text);
  if (!o.ok()) return o;

  // Sizes: what travels (the client view in text mode) and what the server
  // keeps (in text mode without any CR).
  TextCounts counts;
  if (options.text) {
    std::string block(kBlock, '\0');
    for (;;) {
      const ssize_t n = read_some(fd, block.data(), block.size());
      if (n < 0) return local_failure("read", local);
      if (n == 0) break;
      counts.add(reinterpret_cast<const uint8_t*>(block.data()), static_cast<size_t>(n));
    }
    if (counts.bytes != st.st_size) {
      return Outcome::Fail(Exit::kLocalFile, local + " changed while being read");
    }
  } else {
    counts.bytes = st.st_size;
  }
  plan->wire_size = options.text ? counts.client_view() : counts.bytes;
  plan->stored_size = options.text ? counts.bytes - counts.cr : counts.bytes;
  if (plan->wire_size > std::numeric_limits<int32_t>::max()) {
    return Outcome::Fail(Exit::kLocalFile,
                         local + " is too large to send (at most 2 GiB - 1 bytes travel)");
  }
  plan->local = local;
  plan->remote = remote;
  plan->text = options.text;
  plan->resume = options.resume;
  plan->cr = options.text ? counts.cr : 0;
  plan->stamp = pack_local_time(st.st_mtime);
  plan->attributes = ATTRIBUTE_ARCHIVE | ((st.st_mode & S_IWUSR) ? 0 : ATTRIBUTE_READ_ONLY);
  return Outcome::Ok();
}

namespace {

/// Takes the server's restart point `n` ("REST=n") for `plan`: *start, the
/// wire bytes the server holds already, and *announced, the "SIZE " to send.
/// A point the upload cannot continue from ends it.
Outcome take_restart_point(Session& session, const PutPlan& plan, int32_t n, int64_t* start,
                           int64_t* announced) {
  if (n < 0) {
    abandon_upload(session, n);
    return Outcome::Fail(Exit::kLink, "the server could not measure its copy of " + plan.remote);
  }
  // What the server keeps in the client view: a text upload loses its CR.
  const int64_t server_view = plan.wire_size - plan.cr;
  if (n > 0 && n >= server_view) {
    abandon_upload(session, n);
    return Outcome::Fail(Exit::kMismatch, "the server's copy of " + plan.remote +
                                              " is longer than " + plan.local +
                                              "; put without --resume starts over");
  }
  *start = n;
  if (plan.text && plan.cr > 0 && n > 0) {
    if (!wire_start(plan, n, start)) {
      Outcome o = local_failure("read", plan.local);
      abandon_upload(session, n);
      return o;
    }
    if (*start < 0) {
      abandon_upload(session, n);
      return Outcome::Fail(Exit::kMismatch, "the server's copy of " + plan.remote +
                                                " does not match " + plan.local +
                                                "; put without --resume starts over");
    }
    // The server counts what comes from its own count on.
    *announced = n + (plan.wire_size - *start);
  }
  return Outcome::Ok();
}

/// "REST ?" and its reply. *resumed: the reply set the server's offset (a
/// restart point was taken); otherwise nothing is stored yet.
Outcome ask_restart_point(Session& session, const PutPlan& plan, Output& output, int64_t* start,
                          int64_t* announced, bool* resumed) {
  *resumed = false;
  // The query sets the server's offset.
  session.set_resume_offset_clear(false);
  Outcome o = session.send_command(COMMAND_REST_QUERY);
  if (!o.ok()) return o;
  std::string reply;
  o = session.next_reply(&reply);
  if (!o.ok()) return o;
  int32_t n;
  if (reply_number(reply, ANSWER_REST_AT, &n)) {
    *resumed = true;
    return take_restart_point(session, plan, n, start, announced);
  }
  if (reply == std::string(ANSWER_REST_ERROR) + std::to_string(IO_ERROR_NOT_FOUND)) {
    output.message("nothing of " + plan.remote + " stored yet; sending all of it");
    return Outcome::Ok();
  }
  o = error_reply(reply, false);
  if (!o.ok()) return o;
  return Outcome::Fail(Exit::kUnexpectedReply, "unexpected reply \"" + reply + "\" to REST ?");
}

}  // namespace

Outcome announce_upload(Session& session, const PutPlan& plan, Output& output, int64_t* start) {
  *start = 0;
  Outcome o = session.send_command(plan.command);
  if (o.ok()) o = session.send_command(std::string(COMMAND_TIME) + std::to_string(plan.stamp));
  if (o.ok()) o = session.send_command(std::string(COMMAND_ATTR) + std::to_string(plan.attributes));
  if (!o.ok()) return o;

  bool resumed = false;
  int64_t announced = plan.wire_size;
  if (plan.resume) {
    o = ask_restart_point(session, plan, output, start, &announced, &resumed);
    if (!o.ok()) return o;
  }
  // A resume offset left over from an earlier exchange must not move this
  // upload into the middle of the file.
  if (!resumed && !session.resume_offset_clear()) {
    o = session.send_command(std::string(COMMAND_REST) + "0");
  }
  if (o.ok()) o = session.send_command(std::string(COMMAND_SIZE) + std::to_string(announced));
  if (!o.ok()) return o;
  // Whatever comes of the data, the server ends the upload with its offset
  // back at 0.
  session.set_resume_offset_clear(true);
  return Outcome::Ok();
}

Outcome send_upload(Session& session, const PutPlan& plan, int64_t start, Progress& progress,
                    FileReport* report) {
  WireSource source(plan.fd, plan.text);
  if (lseek(plan.fd, 0, SEEK_SET) != 0 || !source.skip(start)) {
    Outcome o = local_failure("read", plan.local);
    session.send_cancel();
    return o;
  }
  const int64_t to_send = plan.wire_size - start;
  // The copy's progress counts the file's size; text mode sends more.
  const int64_t base = progress.done();
  progress.add_total(to_send - (report->expected < 0 ? 0 : report->expected));
  FrameBuffer frame;
  int64_t sent = 0;
  for (int32_t number = 1; sent < to_send; ++number) {
    if (interrupted()) {
      session.send_cancel();
      return Outcome::Fail(Exit::kInterrupted, "interrupted; put --resume continues the upload");
    }
    const size_t want = static_cast<size_t>(std::min<int64_t>(FRAME_MAX_PAYLOAD, to_send - sent));
    const ssize_t got = source.take(frame.data, want);
    if (got <= 0) {
      Outcome o = got < 0 ? local_failure("read", plan.local)
                          : Outcome::Fail(Exit::kLocalFile,
                                          plan.local + " became shorter while being sent");
      session.send_cancel();
      return o;
    }
    frame.number = number;
    frame.length = static_cast<int32_t>(got);
    Outcome o = session.send_data(frame);
    if (!o.ok()) {
      if (session.last_send_result() == SendResult::SEND_REFUSED) {
        o.message = "the server refused data frame " + std::to_string(number) +
                    ": it could not create or write " + plan.remote +
                    (start > 0 ? ", or its stored part differs from " + plan.local : std::string());
      }
      o.message = "the upload failed: " + o.message;
      return o;
    }
    sent += got;
    report->moved = sent;
    progress.update(base + sent);
  }
  return Outcome::Ok();
}

Outcome finish_upload(Session& session, const PutPlan& plan, int64_t start, Output& output,
                      FileReport* report) {
  Outcome o = verify_stored(session, output, plan.remote, plan.stored_size);
  if (!o.ok()) {
    o.message = "the upload failed: " + o.message;
    return o;
  }
  report->text = "Sent " + plan.local + " to " + plan.remote + ": " +
                 std::to_string(plan.wire_size) + " bytes";
  if (start > 0) report->text += ", resumed at " + std::to_string(start);
  return Outcome::Ok();
}

Outcome put_file(Session& session, const std::string& local, const std::string& remote_given,
                 const Options& options, Output& output, Progress& progress, FileReport* report) {
  PutPlan plan;
  Outcome o = plan_put(local, remote_given, options, &plan);
  if (!o.ok()) return o;
  if (plan.cr > 0) {
    output.warning(plan.local + " holds " + std::to_string(plan.cr) +
                   " CR bytes; the server drops every CR of a text upload");
  }
  int64_t start = 0;
  o = announce_upload(session, plan, output, &start);
  if (o.ok()) o = send_upload(session, plan, start, progress, report);
  if (o.ok()) o = finish_upload(session, plan, start, output, report);
  return o;
}

}  // namespace tarnel::client

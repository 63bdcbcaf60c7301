// Upload ("SIZE " after "PUT " or "APUT "): receives the file's data in
// frames numbered from 1 and writes it to the pending upload's file.
//
// Counting is in the client view: `received` starts at the reported resume
// offset and the transfer ends when it reaches "SIZE " exactly. Each frame
// is written before it is accepted: a frame that cannot be stored (a file
// that cannot be opened or written, a resumed file whose stored bytes differ
// from the first frame) is refused itself.
#include "files/upload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>

#include "base/numbers.h"
#include "files/errors.h"
#include "files/file_state.h"
#include "files/io.h"
#include "files/metadata.h"
#include "files/partial.h"
#include "files/resume.h"
#include "link/frame.h"
#include "link/receive.h"
#include "link/text.h"

namespace tarnel {
namespace {

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC;
/// The first frame of a resumed upload is compared with this many stored bytes.
constexpr int32_t kVerifySize = 512;

/// Compares the first frame of a resumed upload with the stored bytes at
/// the resume offset (the file is positioned there). True when the upload
/// may go on; the file is then positioned at the resume offset again.
bool verify_resume(Console& console, FileSystem& fs, int fd, int32_t resume_offset,
                   const FrameBuffer& frame, bool text) {
  uint8_t stored[kVerifySize];
  const ssize_t got = io_read(fs, fd, stored, kVerifySize);
  take_io_error();
  bool same = true;
  if (got == kVerifySize) {
    // Only the bytes the frame holds take part.
    const int32_t window = std::min(kVerifySize, frame.length);
    if (!text) {
      same = std::memcmp(frame.data, stored, static_cast<size_t>(window)) == 0;
    } else {
      int32_t j = 0;
      for (int32_t i = 0; i < window; ++i) {
        const uint8_t byte = frame.data[i];
        if (byte == '\r') continue;
        const uint8_t was = stored[j++];
        if (byte != was) same = false;
        if (!same) {
          std::string position = number_to_text(i) + ":";
          position += visible_text(std::string(1, static_cast<char>(byte)));
          position += '-';
          position += visible_text(std::string(1, static_cast<char>(was)));
          position += "   ";
          console.write(position);
        }
      }
    }
  } else {
    // Fewer than 512 stored bytes: nothing to compare.
    // Cleared as a successful query would; nothing reads it before the next
    // search or query sets it, so it only keeps its value after every upload alike.
    search_error = 0;
  }
  if (!same) {
    console.line("Error, source and target different!");
    return false;
  }
  const bool positioned = io_seek(fs, fd, resume_offset) == resume_offset;
  return take_io_error() == 0 && positioned;
}

/// Writes a frame's payload at the current position: all of it in raw mode,
/// without its CR bytes in text mode. True when every byte was stored.
bool store_payload(UploadFile& file, const FrameBuffer& frame, bool text) {
  const size_t length = static_cast<size_t>(frame.length);
  bool written;
  if (!text) {
    written = file.store(frame.data, length);
  } else {
    uint8_t converted[FRAME_MAX_PAYLOAD];
    uint8_t* end = std::remove_copy(frame.data, frame.data + length, converted, uint8_t{'\r'});
    written = file.store(converted, static_cast<size_t>(end - converted));
  }
  return take_io_error() == 0 && written;
}

/// Completes an uploaded file: on the disk, with its time stamp and
/// attributes, under its own name. False when any of it failed.
bool finish_file(UploadFile& file, int32_t time, int32_t attributes) {
  const bool committed = file.commit(time, attributes);
  return take_io_error() == 0 && committed;
}

ReceiveResult create_empty_file(FileSystem& fs, const std::string& path, int32_t time,
                                int32_t attributes) {
  // Nothing of the old content has to be kept: it is cut in place, as the
  // empty upload is complete at once.
  UploadFile::discard(fs, path);
  UploadFile file(fs, path);
  const int fd = io_open(fs, path, kCreateFlags);
  if (take_io_error() != 0 || fd < 0) return ReceiveResult::RECEIVE_CREATE_FAILED;
  file.adopt(fd);
  const bool truncated = io_truncate_here(fs, fd);
  const bool ok = take_io_error() == 0 && truncated;
  const bool finished = finish_file(file, time, attributes);
  return ok && finished ? ReceiveResult::RECEIVE_STORED : ReceiveResult::RECEIVE_CREATE_FAILED;
}

/// A resumed upload goes on only onto a stored file that still holds the
/// resume offset's bytes: written into a shorter one, the data would leave a
/// hole of zeros before it.
bool holds_resume_offset(const struct stat& st, int32_t resume_offset) {
  return S_ISREG(st.st_mode) && st.st_size >= resume_offset;
}

bool holds_resume_offset(FileSystem& fs, int fd, int32_t resume_offset) {
  struct stat st;
  return fs.fstat(fd, st) == 0 && holds_resume_offset(st, resume_offset);
}

bool holds_resume_offset(FileSystem& fs, const std::string& path, int32_t resume_offset) {
  struct stat st;
  return fs.stat(path, st) == 0 && holds_resume_offset(st, resume_offset);
}

/// A resumed upload with nothing left to receive: the stored file is
/// complete if it still holds what was resumed from. A partial is then
/// committed in the target's place.
ReceiveResult complete_resumed(FileSystem& fs, const PendingUpload& upload) {
  const std::string& path = upload.name;
  if (path.empty()) return ReceiveResult::RECEIVE_CREATE_FAILED;
  if (!UploadFile::has_partial(fs, path)) {
    return holds_resume_offset(fs, path, upload.resume_offset) ? ReceiveResult::RECEIVE_STORED
                                                               : ReceiveResult::RECEIVE_NOT_STORED;
  }
  UploadFile file(fs, path);
  if (!file.open_for_resume() || !holds_resume_offset(fs, file.fd(), upload.resume_offset)) {
    take_io_error();
    return ReceiveResult::RECEIVE_NOT_STORED;
  }
  return finish_file(file, upload.time_stamp, upload.attributes)
             ? ReceiveResult::RECEIVE_STORED
             : ReceiveResult::RECEIVE_WRITE_FAILED;
}

/// Opens the file on the first frame, positioned where the frame goes; false
/// when the upload cannot go on.
bool open_target(Console& console, FileSystem& fs, UploadFile& file, int32_t resume_offset,
                 const FrameBuffer& first, bool text) {
  if (resume_offset == 0) {
    const bool opened = file.open_new();
    take_io_error();
    return opened;
  }
  if (!file.open_for_resume() || take_io_error() != 0) {
    take_io_error();
    return false;
  }
  const int fd = file.fd();
  if (!holds_resume_offset(fs, fd, resume_offset)) {
    file.abandon();
    return false;
  }
  const bool positioned = io_seek(fs, fd, resume_offset) == resume_offset;
  if (take_io_error() != 0 || !positioned ||
      !verify_resume(console, fs, fd, resume_offset, first, text)) {
    file.abandon();
    return false;
  }
  return true;
}

/// receive_file's own name for the receive_frame result `r` (not RECV_OK)
/// that ended the transfer.
ReceiveResult transfer_ended(RecvResult r) {
  switch (r) {
    case RecvResult::RECV_REFUSED:
      return ReceiveResult::RECEIVE_REFUSED;
    case RecvResult::RECV_OK:  // ends no transfer; not passed here
    case RecvResult::RECV_FAILED:
      break;
  }
  return ReceiveResult::RECEIVE_FAILED;
}

/// How long a refused frame's reply code stays on the lines.
constexpr uint16_t kRefusalHoldMs = 100;

/// Receives the frames of `upload`, whose resume offset is not negative.
ReceiveResult receive_frames(Lines& lines, Console& console, FileSystem& fs,
                             const PendingUpload& upload, int32_t size) {
  const std::string& path = upload.name;
  FrameBuffer frame;
  ReceiveResult result = ReceiveResult::RECEIVE_STORED;
  // 64 bits: with a size that is never reached ("SIZE " of bad text) the
  // count keeps growing until a frame fails.
  int64_t received = upload.reported_resume_offset;
  // With no upload pending there is no file to write: the first frame is
  // refused already.
  int32_t expected = path.empty() ? FRAME_CANCEL : 1;
  UploadFile file(fs, path);
  bool opened = false;  // the file is open and not yet finished
  bool write_failed = false;
  // Each frame is stored before it is accepted: a frame whose data cannot be
  // stored is refused itself, and the last one is accepted only once the
  // file is complete and closed.
  // Asked to stop while a frame was on its way: that frame is stored, the
  // next one refused, so the client learns at once and the file holds what
  // was accepted, which a resumed upload completes.
  bool stopping = false;
  auto store = [&](const FrameBuffer& f) {
    if (stopping) return false;
    if (!opened) {
      opened = open_target(console, fs, file, upload.resume_offset, f, upload.text);
      if (!opened) return false;
    }
    if (!store_payload(file, f, upload.text)) {
      write_failed = true;
      return false;
    }
    if (received + f.length == size) {
      // The last frame is accepted only once the whole file is on the disk
      // under its own name.
      opened = false;
      if (!finish_file(file, upload.time_stamp, upload.attributes)) {
        write_failed = true;
        return false;
      }
    }
    return true;
  };
  const FrameKeeper keep = std::ref(store);  // no allocation for the closure
  do {
    frame.number = expected;
    stopping = console.stop_requested();
    const RecvResult r = receive_frame(lines, frame, keep);
    if (r != RecvResult::RECV_OK) {
      console.line(number_to_text(static_cast<int32_t>(
                       std::clamp<int64_t>(received, std::numeric_limits<int32_t>::min(),
                                           std::numeric_limits<int32_t>::max()))) +
                   " ERROR");
      result = write_failed ? ReceiveResult::RECEIVE_WRITE_FAILED : transfer_ended(r);
      // A refusal is a level the client polls for after its last byte; the
      // command loop clears the lines right after a failed upload, and a
      // client that was not running in between would read the cleared lines
      // as acceptance. Keep the refusal up long enough to be seen.
      if (r == RecvResult::RECV_REFUSED) lines.delay_ms(kRefusalHoldMs);
      break;
    }
    expected = expected == std::numeric_limits<int32_t>::max() ? FRAME_CANCEL : expected + 1;
    received += frame.length;
    if (expected % 25 == 0) console.write("*");
  } while (received != size);

  // A transfer that ended early: what was written stays where it was written
  // (an overwrite's in its partial, the old file untouched) without the
  // final attributes, so that a resumed upload can go on writing it.
  if (opened) file.abandon();
  return result;
}

}  // namespace

ReceiveResult receive_file(Lines& lines, Console& console, FileSystem& fs,
                           const PendingUpload& pending, int32_t size) {
  if (lines.busy()) return ReceiveResult::RECEIVE_BUSY;
  lines.set_busy(true);
  PendingUpload upload = pending;
  // "REST " takes any number; a position before the start means a new file.
  if (upload.resume_offset < 0) upload.resume_offset = 0;
  const std::string& path = upload.name;
  const int32_t resume_offset = upload.resume_offset;
  ReceiveResult result;
  const bool nothing_to_receive =
      size == resume_offset || (resume_offset != 0 && size == upload.reported_resume_offset);
  if (nothing_to_receive && resume_offset != 0) {
    result = complete_resumed(fs, upload);
  } else if (nothing_to_receive) {
    result = path.empty() ? ReceiveResult::RECEIVE_CREATE_FAILED
                          : create_empty_file(fs, path, upload.time_stamp, upload.attributes);
  } else {
    result = receive_frames(lines, console, fs, upload, size);
  }
  lines.set_busy(false);
  return result;
}

}  // namespace tarnel

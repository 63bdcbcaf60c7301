// Download ("GET ", "AGET "): replies that describe the file, then the data
// in numbered frames.
//
//   "REST n"   only when the offset n is not 0
//   "TIME n"   packed modification time
//   "ATTR n"   attribute number
//   "WAIT"     at most once a second while a text file is scanned for n
//   "SIZE n"   size of the whole file in the client view
//   frames 1, 2, 3, ... of 1..4096 bytes; cut from 32768-byte blocks, a frame
//   never holds bytes of two blocks
//
// A path that cannot be offered (missing, unreadable, a directory, a device or
// FIFO, 2 GiB or more) gets the single reply "FILE ERROR n".
#include "files/download.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "base/numbers.h"
#include "base/wire_words.h"
#include "files/errors.h"
#include "files/file_state.h"
#include "files/io.h"
#include "files/metadata.h"
#include "files/resume.h"
#include "link/frame.h"
#include "link/send.h"
#include "link/text.h"

namespace tarnel {
namespace {

constexpr int64_t kMaxSize = std::numeric_limits<int32_t>::max();

/// Where the data phase starts, found by the text-mode scan.
struct TextView {
  int64_t total = 0;   // size of the whole file in the client view
  int64_t stored = 0;  // stored bytes scanned
  int64_t start = 0;   // stored position of the first byte to send
  bool split = false;  // the offset falls between a CR and its LF
  bool ok = true;      // every "WAIT" was delivered
  uint16_t read_error = 0;
};

/// Scans the first `size` stored bytes (the size found when the file was
/// opened: a file that grows meanwhile is not followed). A key pressed on the
/// console ends the scan as it ends the data phase: ok false, nothing more
/// sent.
TextView scan_text(Lines& lines, Console& console, FileSystem& fs, int fd, int64_t size,
                   int32_t offset, uint8_t* block, const SecondsClock& clock) {
  TextView view;
  io_seek(fs, fd, 0);
  take_io_error();
  int64_t last_tick = clock();
  while (view.stored < size) {
    const int64_t want = std::min<int64_t>(SCAN_BLOCK, size - view.stored);
    const ssize_t got = io_read(fs, fd, block, static_cast<size_t>(want));
    if (got < 0) {
      view.read_error = take_io_error();
      break;
    }
    if (got == 0) break;
    if (offset == 0) {
      // No "WAIT" from the start: the client knows this exchange as "ATTR "
      // followed directly by "SIZE "; only a resumed text download has one.
      view.total += got + std::count(block, block + got, uint8_t{'\n'});
      view.stored += got;
    } else {
      for (ssize_t i = 0; i < got; ++i) {
        ++view.stored;
        view.total += block[i] == '\n' ? 2 : 1;
        if (view.start == 0 && view.total >= offset) {
          view.start = view.stored;
          view.split = view.total > offset;
        }
      }
      const int64_t now = clock();
      if (now - last_tick >= 1) {
        last_tick = now;
        view.ok = send_text(lines, ANSWER_WAIT);
        if (!view.ok) break;
      }
    }
    abort_flag = console.key_pending();
    if (abort_flag) {
      view.ok = false;
      break;
    }
  }
  return view;
}

/// Sends the cancel frame: the client stops waiting for data that will not
/// come. Whether it is taken does not matter any more.
void send_cancel(Lines& lines, FrameBuffer& frame) {
  frame.number = FRAME_CANCEL;
  frame.length = 0;
  send_frame(lines, frame);
}

/// The data phase: `remaining` stored bytes from the current position.
bool send_data(Lines& lines, Console& console, FileSystem& fs, int fd, int64_t remaining, bool text,
               bool split, uint8_t* block) {
  std::unique_ptr<FrameBuffer> frame(new (std::nothrow) FrameBuffer);
  if (!frame) return false;
  bool ok = true;
  int32_t number = 1;
  bool pending_lf = text && split;  // the LF whose CR the client counted already
  bool cut_short = false;

  auto send_one = [&](int32_t fill) {
    frame->number = number;
    frame->length = fill;
    ok = send_frame(lines, *frame) == SendResult::SEND_OK;
    if (number % 25 == 0) console.write("*");
    ++number;
    abort_flag = console.key_pending();
    if (abort_flag) ok = false;
  };

  while (ok && (remaining > 0 || pending_lf)) {
    ssize_t got = 0;
    if (remaining > 0) {
      got = io_read(fs, fd, block, static_cast<size_t>(std::min<int64_t>(SCAN_BLOCK, remaining)));
      if (got <= 0) {
        take_io_error();
        cut_short = true;
        break;
      }
      remaining -= got;
    }
    ssize_t pos = 0;
    if (!text) {
      while (ok && pos < got) {
        const int32_t fill = static_cast<int32_t>(std::min<ssize_t>(FRAME_MAX_PAYLOAD, got - pos));
        std::memcpy(frame->data, block + pos, static_cast<size_t>(fill));
        pos += fill;
        send_one(fill);
      }
    } else {
      int32_t fill = 0;
      while (ok && (pos < got || pending_lf)) {
        if (pending_lf) {
          frame->data[fill++] = '\n';
          pending_lf = false;
        } else {
          const uint8_t byte = block[pos++];
          if (byte == '\n') {
            frame->data[fill++] = '\r';
            pending_lf = true;
          } else {
            frame->data[fill++] = byte;
          }
        }
        if (fill == FRAME_MAX_PAYLOAD || (pos == got && !pending_lf)) {
          send_one(fill);
          fill = 0;
        }
      }
    }
  }
  if (cut_short) {
    send_cancel(lines, *frame);
    ok = false;
  }
  return ok;
}

}  // namespace

bool send_file(Lines& lines, Console& console, FileSystem& fs, const std::string& path,
               int32_t offset, bool text, const SecondsClock& clock) {
  if (lines.busy()) return false;
  if (offset < 0) offset = 0;
  existing_file_open_mode = O_RDONLY;
  // Only regular files are offered (FILE_ERROR_NOT_A_FILE). A device or FIFO
  // is refused before it is opened: opening some has effects of its own (a
  // tape rewinds when closed, a FIFO's writer is let go).
  struct stat st;
  if (fs.stat(path, st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    return send_text(lines, std::string(ANSWER_FILE_ERROR) + number_to_text(FILE_ERROR_NOT_A_FILE));
  }
  // O_NONBLOCK and O_NOCTTY: should the path have been swapped for a FIFO or
  // a terminal since, the open must neither wait nor take it over.
  const int fd = io_open(fs, path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  const uint16_t open_error = take_io_error();
  if (fd < 0) return send_text(lines, std::string(ANSWER_FILE_ERROR) + number_to_text(open_error));

  auto refuse = [&](uint16_t number) {
    io_close(fs, fd);
    take_io_error();
    return send_text(lines, std::string(ANSWER_FILE_ERROR) + number_to_text(number));
  };
  if (fs.fstat(fd, st) != 0) return refuse(io_error_number(errno));
  if (S_ISDIR(st.st_mode)) return refuse(io_error_number(EISDIR));
  if (!S_ISREG(st.st_mode)) return refuse(FILE_ERROR_NOT_A_FILE);
  // The size found now bounds every read of this download, in both modes.
  const int64_t size = st.st_size;
  if (size > kMaxSize) return refuse(FILE_ERROR_TOO_LARGE);

  uint8_t block[SCAN_BLOCK];

  if (offset != 0) {
    io_seek(fs, fd, offset);
    take_io_error();
  }
  bool ok = true;
  if (offset != 0) ok = send_text(lines, std::string(ANSWER_REST) + number_to_text(offset));
  if (ok) ok = send_text(lines, std::string(ANSWER_TIME) + number_to_text(file_time_stamp(fs, fd)));
  if (ok)
    ok = send_text(lines,
                   std::string(ANSWER_ATTR) + number_to_text(file_attribute_number(fs, path)));

  int64_t total = size;
  int64_t remaining = offset < size ? size - offset : 0;
  bool split = false;
  if (ok && text) {
    const TextView view = scan_text(lines, console, fs, fd, size, offset, block, clock);
    ok = view.ok;
    if (ok && view.read_error != 0) {
      io_close(fs, fd);
      take_io_error();
      return send_text(lines, std::string(ANSWER_FILE_ERROR) + number_to_text(view.read_error));
    }
    if (ok && view.total > kMaxSize) {
      io_close(fs, fd);
      take_io_error();
      return send_text(lines,
                       std::string(ANSWER_FILE_ERROR) + number_to_text(FILE_ERROR_TOO_LARGE));
    }
    total = view.total;
    // The data is cut at what was scanned, so it matches the size announced.
    remaining = view.stored - view.start;
    split = view.split;
    io_seek(fs, fd, view.start);
    take_io_error();
  }
  if (ok)
    ok = send_text(lines, std::string(ANSWER_SIZE) + number_to_text(static_cast<int32_t>(total)));

  if (ok) {
    abort_flag = false;
    lines.set_busy(true);
    ok = send_data(lines, console, fs, fd, remaining, text, split, block);
    lines.set_busy(false);
  }
  io_close(fs, fd);
  take_io_error();
  return ok;
}

}  // namespace tarnel

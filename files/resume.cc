// Resume negotiation ("REST ?") and the existing-file open mode.
#include "files/resume.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>

#include "base/numbers.h"
#include "base/wire_words.h"
#include "files/errors.h"
#include "files/file_state.h"
#include "files/io.h"
#include "files/partial.h"
#include "link/text.h"

namespace tarnel {

int open_existing_file(FileSystem& fs, const std::string& path) {
  if (io_error != 0) return -1;
  // O_NONBLOCK: a FIFO at the path must not stop the server in open().
  const int extra = O_NONBLOCK | O_CLOEXEC;
  int fd = fs.open(path, existing_file_open_mode | extra, 0);
  if (fd < 0 && errno == EROFS && existing_file_open_mode == O_RDWR) {
    fd = fs.open(path, O_RDONLY | extra, 0);
  }
  if (fd < 0) note_io_error(errno);
  return fd;
}

int32_t restart_point(int64_t size) {
  // Truncating division, as the rule is stated; a negative result becomes 0.
  int64_t point = (size - RESUME_KEEP_BACK) / RESUME_GRANULE * RESUME_GRANULE;
  if (point < 0 || point > std::numeric_limits<int32_t>::max()) return 0;
  return static_cast<int32_t>(point);
}

int32_t text_resume_offset(Lines& lines, FileSystem& fs, int fd, int32_t offset,
                           const SecondsClock& clock) {
  uint8_t block[SCAN_BLOCK];
  int64_t answer = 0;
  int64_t stored = 0;
  int64_t client = 0;
  int64_t last_tick = clock();
  ssize_t got = 1;
  while (got > 0 && answer == 0) {
    got = io_read(fs, fd, block, SCAN_BLOCK);
    if (got < 0) {
      take_io_error();
      break;
    }
    for (ssize_t i = 0; i < got; ++i) {
      ++stored;
      client += block[i] == '\n' ? 2 : 1;
      if (stored == offset) answer = client;
    }
    const int64_t now = clock();
    if (now - last_tick >= 1) {
      last_tick = now;
      if (!send_text(lines, ANSWER_WAIT)) answer = -1;
    }
  }
  // A client view past 2 GiB cannot be told to the client; the caller then
  // starts over.
  if (answer > std::numeric_limits<int32_t>::max()) return 0;
  return static_cast<int32_t>(answer);
}

bool resume_query(Lines& lines, FileSystem& fs, PendingUpload& upload, const SecondsClock& clock) {
  if (upload.name.empty()) {
    send_text(lines, std::string(ANSWER_REST_ERROR) + number_to_text(REST_ERROR_NO_UPLOAD));
    return false;
  }
  // An overwrite cut short left its data in the target's partial, beside
  // the old file: that is what the resumed upload goes on writing.
  const int fd = open_existing_file(
      fs, UploadFile::has_partial(fs, upload.name) ? partial_path(upload.name) : upload.name);
  const uint16_t error = take_io_error();
  if (fd < 0) {
    send_text(lines, std::string(ANSWER_REST_ERROR) + number_to_text(error));
    return false;
  }
  struct stat st;
  int64_t size = 0;
  if (fs.fstat(fd, st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      // A read-only open succeeds on a directory; nothing can be resumed there.
      fs.close(fd);
      send_text(lines, std::string(ANSWER_REST_ERROR) + number_to_text(io_error_number(EISDIR)));
      return false;
    }
    size = st.st_size;
  }
  int32_t point = restart_point(size);
  int32_t reported = point;
  if (upload.text && point != 0) {
    reported = text_resume_offset(lines, fs, fd, point, clock);
    // -1: a "WAIT" was not delivered; 0: the file ended before the point.
    // Either way the two offsets no longer describe one place: start over.
    if (reported <= 0) point = 0;
  }
  io_close(fs, fd);
  take_io_error();
  upload.resume_offset = point;
  upload.reported_resume_offset = reported < 0 ? 0 : reported;
  send_text(lines, std::string(ANSWER_REST_AT) + number_to_text(reported));
  return true;
}

}  // namespace tarnel

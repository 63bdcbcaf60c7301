// Resume negotiation ("REST ?") and the open mode of existing files.
//
// Text mode ("APUT ") stores files with LF line ends and shows them to the
// client with CR LF: resume offsets exchanged in text mode are client-view
// counts, in which every LF counts as two bytes.
#ifndef TARNEL_FILES_RESUME_H_
#define TARNEL_FILES_RESUME_H_

#include <cstdint>
#include <string>

#include "base/wire_words.h"
#include "files/clock.h"
#include "files/file_system.h"
#include "files/upload.h"
#include "link/lines.h"

namespace tarnel {

// ---- The existing-file open mode -------------------------------------------

/// Opens an existing file with existing_file_open_mode (files/file_state.h). A read-write open on
/// a read-only file system is retried once read-only. Reports a failure
/// through io_error and returns -1; does nothing while io_error is pending.
int open_existing_file(FileSystem& fs, const std::string& path);

// ---- Resume negotiation ------------------------------------------------------

/// Restart rule: this many stored bytes are kept back from the end, and a
/// restart point is a multiple of RESUME_GRANULE.
constexpr int64_t RESUME_KEEP_BACK = 4096;
constexpr int64_t RESUME_GRANULE = 1024;
// "REST ?" with no upload pending answers "REST ERROR " with
// REST_ERROR_NO_UPLOAD (base/wire_words.h).
/// Bytes read at a time by the text-mode scans.
constexpr int32_t SCAN_BLOCK = 32768;

/// The restart point for a stored file of `size` bytes: size less 4096, down
/// to a multiple of 1024, never below 0. A point that a signed 32-bit offset
/// cannot hold gives 0 (the client cannot have a file that large).
int32_t restart_point(int64_t size);

/// "REST ?": measures the pending upload's stored file (counted in text mode
/// when `upload.text`) and answers "REST=" with the restart point in the
/// client view, or "REST ERROR n". True when it set both offsets of `upload`
/// ("REST="); false leaves them as they were.
bool resume_query(Lines& lines, FileSystem& fs, PendingUpload& upload,
                  const SecondsClock& clock = monotonic_seconds);

/// The client-view position of stored offset `offset` (> 0) of the open file
/// `fd`, which is positioned at its start: the offset plus the LF bytes
/// before it. Sends "WAIT" at most once a second while it reads; -1 when a
/// "WAIT" was not delivered, 0 when the file ends before the offset.
int32_t text_resume_offset(Lines& lines, FileSystem& fs, int fd, int32_t offset,
                           const SecondsClock& clock = monotonic_seconds);

}  // namespace tarnel

#endif  // TARNEL_FILES_RESUME_H_

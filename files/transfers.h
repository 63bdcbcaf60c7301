// Moving files: resume negotiation, download and upload.
//
// Raw mode ("PUT ", "GET ") moves bytes unchanged. Text mode ("APUT ",
// "AGET ") stores files with LF line ends and shows them to the client with
// CR LF: the client view of a file counts every LF as two bytes, and sizes
// and resume offsets exchanged in text mode are client-view counts.
#ifndef TARNEL_FILES_TRANSFERS_H_
#define TARNEL_FILES_TRANSFERS_H_

#include <cstdint>
#include <string>

#include "link/lines.h"
#include "base/console.h"

namespace tarnel {

/// A clock in whole seconds; only differences of its readings are used.
/// Tests hand in their own to make the keep-alive "WAIT" come when they want.
using SecondsClock = int64_t (*)();
/// The default clock: monotonic, in whole seconds.
int64_t monotonic_seconds();

// ---- The existing-file open mode -------------------------------------------

/// Opens an existing file with existing_file_open_mode. A read-write open on
/// a read-only file system is retried once read-only. Reports a failure
/// through io_error and returns -1; does nothing while io_error is pending.
int open_existing_file(const std::string& path);

// ---- Resume negotiation ------------------------------------------------------

/// Restart rule: this many stored bytes are kept back from the end, and a
/// restart point is a multiple of RESUME_GRANULE.
constexpr int64_t RESUME_KEEP_BACK = 4096;
constexpr int64_t RESUME_GRANULE = 1024;
/// The number after "REST ERROR " when "REST ?" arrives with no upload
/// pending: no file was named, so no open was tried ("invalid handle").
constexpr uint16_t REST_ERROR_NO_UPLOAD = 6;
/// Bytes read at a time by the text-mode scans.
constexpr int32_t SCAN_BLOCK = 32768;

/// The restart point for a stored file of `size` bytes: size less 4096, down
/// to a multiple of 1024, never below 0. A point that a signed 32-bit offset
/// cannot hold gives 0 (the client cannot have a file that large).
int32_t restart_point(int64_t size);

/// "REST ?": measures the pending upload's stored file and answers "REST="
/// with the restart point in the client view, or "REST ERROR n". True when
/// it set both offsets ("REST="); false leaves them as they were.
bool resume_query(Lines& lines, const std::string& pending_upload_name, bool text,
                  int32_t& resume_offset, int32_t& reported_resume_offset,
                  SecondsClock clock = monotonic_seconds);

/// The client-view position of stored offset `offset` (> 0) of the open file
/// `fd`, which is positioned at its start: the offset plus the LF bytes
/// before it. Sends "WAIT" at most once a second while it reads; -1 when a
/// "WAIT" was not delivered, 0 when the file ends before the offset.
int32_t text_resume_offset(Lines& lines, int fd, int32_t offset,
                           SecondsClock clock = monotonic_seconds);

// ---- Download ----------------------------------------------------------------

/// "FILE ERROR " number for a file whose size in the client view does not
/// fit the signed 32-bit "SIZE " reply (2 GiB or more): the server cannot
/// offer it whole. A number of its own, given to no system error.
constexpr uint16_t FILE_ERROR_TOO_LARGE = 20;
/// "FILE ERROR " number for a path that is neither a regular file nor a
/// directory (a device, a FIFO, a socket): the client's "access denied". The
/// server offers no such thing, in either mode, and reads nothing from it.
constexpr uint16_t FILE_ERROR_NOT_A_FILE = 5;

/// "GET " (text false) and "AGET " (text true). True when the exchange went
/// through to its end (a delivered "FILE ERROR " reply included); false when
/// a reply or frame was not delivered, a key ended the data phase, or the
/// file could not be read to the size announced.
bool send_file(Lines& lines, Console& console, const std::string& path, int32_t offset,
               bool text, SecondsClock clock = monotonic_seconds);

// ---- Upload ------------------------------------------------------------------

// Results of receive_file besides those of receive_frame (RECV_REFUSED,
// RECV_FAILED) that end a transfer.
constexpr int RECEIVE_STORED = 0;
/// The empty file could not be created, or no upload was pending.
constexpr int RECEIVE_CREATE_FAILED = 1;
/// A frame's data could not be written, or the file not closed after the
/// last frame: that frame was refused.
constexpr int RECEIVE_WRITE_FAILED = 2;
/// Nothing to receive for a resumed upload, but the stored file is missing
/// or holds fewer bytes than the resume offset: it is not complete.
constexpr int RECEIVE_NOT_STORED = 4;
constexpr int RECEIVE_BUSY = 6;

/// "SIZE ": receives the pending upload. Each frame is stored before it is
/// accepted, and the last one only once the file is closed; a frame that
/// cannot be stored is refused, and so is the first frame of a resumed
/// upload whose stored file is shorter than the resume offset. 0 when
/// stored; 1 when the empty file could not be created or no upload was
/// pending; 2 when a frame was refused because a write or the closing
/// failed; 4 when there was nothing to receive but the stored file does not
/// hold the resume offset's bytes; 6 when the link was busy; otherwise the
/// receive_frame result that ended the transfer.
int receive_file(Lines& lines, Console& console, const std::string& path, int32_t size,
                 int32_t time, int32_t attributes, int32_t resume_offset,
                 int32_t reported_resume_offset, bool text);

}  // namespace tarnel

#endif  // TARNEL_FILES_TRANSFERS_H_

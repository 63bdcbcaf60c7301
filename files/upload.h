// Upload ("SIZE " after "PUT " or "APUT "): the pending upload's data in
// frames, written to its file.
//
// Raw mode ("PUT ") stores the bytes unchanged. Text mode ("APUT ") stores
// the file with LF line ends: the client sends CR LF, and the size and resume
// offset exchanged in text mode are client-view counts, in which every LF
// counts as two bytes.
#ifndef TARNEL_FILES_UPLOAD_H_
#define TARNEL_FILES_UPLOAD_H_

#include <cstdint>
#include <string>

#include "base/console.h"
#include "files/file_system.h"
#include "link/lines.h"

namespace tarnel {

/// The upload that "PUT " or "APUT " names, as the command loop keeps it
/// until "SIZE " starts it: "TIME ", "ATTR ", "REST ?" and "REST " fill in
/// the rest. Back at these start values after every "SIZE ".
struct PendingUpload {
  std::string name;         // local path to write; empty: no upload pending
  int32_t time_stamp = -1;  // packed time stamp; -1: none
  int32_t attributes = -1;  // attribute number; -1: none
  /// Where writing starts in the stored file; 0: a new file. A download
  /// reads from it too ("REST " before "GET ").
  int32_t resume_offset = 0;
  /// The resume offset counted in the client view, set by "REST ?" only:
  /// the count of received bytes starts here.
  int32_t reported_resume_offset = 0;
  bool text = false;  // "APUT ": text mode, also for "REST ?"
};

/// Results of receive_file. Two are the receive_frame results that end a
/// transfer, with the same numbers: RECEIVE_REFUSED (RECV_REFUSED) and
/// RECEIVE_FAILED (RECV_FAILED).
enum class ReceiveResult {
  RECEIVE_STORED = 0,
  /// The empty file could not be created, or no upload was pending.
  RECEIVE_CREATE_FAILED = 1,
  /// A frame's data could not be written, or the file not closed after the
  /// last frame: that frame was refused.
  RECEIVE_WRITE_FAILED = 2,
  RECEIVE_REFUSED = 3,
  /// Nothing to receive for a resumed upload, but the stored file is missing
  /// or holds fewer bytes than the resume offset: it is not complete.
  RECEIVE_NOT_STORED = 4,
  RECEIVE_FAILED = 5,
  RECEIVE_BUSY = 6,
};

/// "SIZE ": receives the pending upload, `size` bytes in the client view
/// (-1 for a "SIZE " that is not a number). Each frame is stored before it is
/// accepted, and the last one only once the file is closed; a frame that
/// cannot be stored is refused, and so is the first frame of a resumed
/// upload whose stored file is shorter than the resume offset. RECEIVE_STORED
/// (0) when stored; RECEIVE_CREATE_FAILED (1) when the empty file could not be
/// created or no upload was pending; RECEIVE_WRITE_FAILED (2) when a frame
/// was refused because a write or the closing failed; RECEIVE_NOT_STORED (4)
/// when there was nothing to receive but the stored file does not hold the
/// resume offset's bytes; RECEIVE_BUSY (6) when the link was busy; otherwise
/// RECEIVE_REFUSED (3) or RECEIVE_FAILED (5) for the receive_frame result
/// that ended the transfer.
ReceiveResult receive_file(Lines& lines, Console& console, FileSystem& fs,
                           const PendingUpload& upload, int32_t size);

}  // namespace tarnel

#endif  // TARNEL_FILES_UPLOAD_H_

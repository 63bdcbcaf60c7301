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
#include "link/lines.h"

namespace tarnel {

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

#endif  // TARNEL_FILES_UPLOAD_H_

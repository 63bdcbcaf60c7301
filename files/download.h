// Download ("GET ", "AGET "): the file's replies, then its data in frames.
//
// Raw mode ("GET ") sends the bytes unchanged. Text mode ("AGET ") shows a
// file stored with LF line ends to the client with CR LF: the client view
// counts every LF as two bytes, and the size and offset exchanged in text
// mode are client-view counts.
#ifndef TARNEL_FILES_DOWNLOAD_H_
#define TARNEL_FILES_DOWNLOAD_H_

#include <cstdint>
#include <string>

#include "base/console.h"
#include "base/wire_words.h"
#include "files/clock.h"
#include "files/file_system.h"
#include "link/lines.h"

namespace tarnel {

// A file of 2 GiB or more in the client view is refused with
// FILE_ERROR_TOO_LARGE, a path that is neither a regular file nor a
// directory (a device, a FIFO, a socket) with FILE_ERROR_NOT_A_FILE
// (base/wire_words.h): the server offers no such thing, in either mode, and
// reads nothing from it.

/// "GET " (text false) and "AGET " (text true). True when the exchange went
/// through to its end (a delivered "FILE ERROR " reply included); false when
/// a reply or frame was not delivered, a key ended the data phase, or the
/// file could not be read to the size announced.
bool send_file(Lines& lines, Console& console, FileSystem& fs, const std::string& path,
               int32_t offset, bool text, const SecondsClock& clock = monotonic_seconds);

}  // namespace tarnel

#endif  // TARNEL_FILES_DOWNLOAD_H_

// Moving files: resume negotiation, download and upload.
#ifndef TARNEL_FILES_TRANSFERS_H_
#define TARNEL_FILES_TRANSFERS_H_

#include <cstdint>
#include <string>

#include "link/lines.h"
#include "startup/console.h"

namespace tarnel {

/// "REST ?": measures the pending upload's stored file and answers "REST="
/// with the restart point in the client view, or "REST ERROR n". May set
/// both offsets.
void resume_query(Lines& lines, const std::string& pending_upload_name, bool text,
                  int32_t& resume_offset, int32_t& reported_resume_offset);

/// "GET " (text false) and "AGET " (text true). True when the exchange went
/// through to its end.
bool send_file(Lines& lines, Console& console, const std::string& path, int32_t offset,
               bool text);

/// "SIZE ": receives the pending upload. 0 when stored; 1 when the empty
/// file could not be created; 6 when the link was busy; otherwise the
/// receive_frame result that ended the transfer.
int receive_file(Lines& lines, Console& console, const std::string& path, int32_t size,
                 int32_t time, int32_t attributes, int32_t resume_offset,
                 int32_t reported_resume_offset, bool text);

}  // namespace tarnel

#endif  // TARNEL_FILES_TRANSFERS_H_

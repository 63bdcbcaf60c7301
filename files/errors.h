// The accessors of the two error states behind the numbers sent after
// "DIR ERROR ", "FILE ERROR ", "RENAME ERROR " and "REST ERROR " (the numbers
// themselves: base/wire_words.h).
#ifndef TARNEL_FILES_ERRORS_H_
#define TARNEL_FILES_ERRORS_H_

#include <cstdint>

#include "base/wire_words.h"
#include "files/file_state.h"

namespace tarnel {

/// Returns io_error and clears it.
uint16_t take_io_error();
/// The I/O error number for an errno value; never 0.
uint16_t io_error_number(int errno_value);
/// Sets io_error from errno after a failed system call.
void note_io_error(int errno_value);

}  // namespace tarnel

#endif  // TARNEL_FILES_ERRORS_H_

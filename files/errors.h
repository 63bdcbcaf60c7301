// Error numbers sent after "DIR ERROR ", "FILE ERROR ", "RENAME ERROR " and
// "REST ERROR ", and the accessors of the two error states behind them.
#ifndef TARNEL_FILES_ERRORS_H_
#define TARNEL_FILES_ERRORS_H_

#include <cstdint>

#include "files/file_state.h"

namespace tarnel {

// search_error values.
constexpr int16_t SEARCH_OK = 0;
/// Empty search path, no such named entry, or a status that cannot be read.
constexpr int16_t SEARCH_NOT_FOUND = 3;
/// No (further) matching entry.
constexpr int16_t SEARCH_NO_MORE = 18;

/// Returns io_error and clears it.
uint16_t take_io_error();
/// The I/O error number for an errno value; never 0.
uint16_t io_error_number(int errno_value);
/// Sets io_error from errno after a failed system call.
void note_io_error(int errno_value);

}  // namespace tarnel

#endif  // TARNEL_FILES_ERRORS_H_

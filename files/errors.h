// Error numbers sent after "DIR ERROR ", "FILE ERROR ", "RENAME ERROR " and
// "REST ERROR ", and the two process-wide error states behind them.
#ifndef TARNEL_FILES_ERRORS_H_
#define TARNEL_FILES_ERRORS_H_

#include <cstdint>

namespace tarnel {

/// The pending I/O error number of the last file-system operation; 0 = none.
/// An operation started while it is not 0 does nothing.
extern uint16_t io_error;
/// The error number of the last directory search or metadata query.
extern int16_t search_error;

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

/// Puts the file services' process-wide values (io_error, search_error and
/// the time-zone offset) back to their start values; for tests.
void reset_file_state();

}  // namespace tarnel

#endif  // TARNEL_FILES_ERRORS_H_

// The file services' process-wide values, declared and reset in one place.
//
// They are one per process on purpose: the server serves one client, one
// command at a time, and each value outlives the call that sets it. An I/O
// error stays pending until the caller takes it, whatever it called in
// between; a search's outcome is read after the step that made it; the open
// mode a download sets holds until a resumed upload sets it back; the time
// zone is read once at start-up. The functions that set and read them live
// with the services (take_io_error and note_io_error in files/errors.h,
// read_time_zone_offset in files/metadata.h, open_existing_file with the
// transfers).
#ifndef TARNEL_FILES_FILE_STATE_H_
#define TARNEL_FILES_FILE_STATE_H_

#include <cstdint>

namespace tarnel {

/// The pending I/O error number of the last file-system operation; 0 = none.
/// An operation started while it is not 0 does nothing.
extern uint16_t io_error;
/// The error number of the last directory search or metadata query.
extern int16_t search_error;
/// The kernel's time zone in minutes west of Greenwich, read once at
/// start-up (the time-zone result of gettimeofday; no daylight saving).
extern int32_t time_zone_offset;
/// The access mode (O_RDWR or O_RDONLY) with which an existing file is
/// opened: O_RDWR at start, O_RDONLY after any download, O_RDWR again once a
/// resumed upload opens its file.
extern int existing_file_open_mode;

/// Puts all four back to their start values: no error pending, search error
/// 0, time-zone offset 0 (until it is read), open mode read-write.
void reset_file_state();

}  // namespace tarnel

#endif  // TARNEL_FILES_FILE_STATE_H_

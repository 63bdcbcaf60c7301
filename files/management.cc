#include "files/management.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "base/numbers.h"
#include "files/errors.h"
#include "files/io.h"
#include "link/text.h"

namespace tarnel {

namespace {

/// "OK", or the error word and the number; the result is returned whether
/// or not the reply was delivered.
bool reply(Lines& lines, bool ok, const char* error_word, uint16_t error) {
  send_text(lines, ok ? std::string("OK") : error_word + number_to_text(error));
  return ok;
}

}  // namespace

bool make_directory(Lines& lines, const std::string& path) {
  io_mkdir(path);
  const uint16_t error = take_io_error();
  bool ok = error == 0;
  if (!ok) {
    // A directory that is there already (or any directory the server may
    // enter) counts as made. Every path the server uses is absolute, so the
    // working directory matters to nothing else.
    ok = io_chdir(path);
    take_io_error();
  }
  return reply(lines, ok, "DIR ERROR ", error);
}

bool remove_directory(Lines& lines, const std::string& path) {
  io_rmdir(path);
  const uint16_t error = take_io_error();
  return reply(lines, error == 0, "DIR ERROR ", error);
}

bool delete_file(Lines& lines, const std::string& path) {
  io_unlink(path);
  uint16_t error = take_io_error();
  if (error != 0) {
    // Once more after making the file writable for its owner. Only a
    // regular file itself: never a link's target, nor a directory, which
    // unlink does not remove whatever its mode. When the second attempt
    // fails too, the mode goes back.
    struct stat st;
    const bool made_writable =
        names_a_file(path) && lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        (st.st_mode & S_IWUSR) == 0 &&
        fchmodat(AT_FDCWD, path.c_str(), (st.st_mode & 07777) | S_IWUSR, AT_SYMLINK_NOFOLLOW) == 0;
    io_unlink(path);
    error = take_io_error();
    if (error != 0 && made_writable) {
      fchmodat(AT_FDCWD, path.c_str(), st.st_mode & 07777, AT_SYMLINK_NOFOLLOW);
    }
  }
  return reply(lines, error == 0, "FILE ERROR ", error);
}

bool rename_file(Lines& lines, const std::string& source, const std::string& target) {
  io_rename(source, target);
  const uint16_t error = take_io_error();
  return reply(lines, error == 0, "RENAME ERROR ", error);
}

}  // namespace tarnel

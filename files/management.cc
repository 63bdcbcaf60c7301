#include "files/management.h"

#include <sys/stat.h>
#include <unistd.h>

#include "base/numbers.h"
#include "base/wire_words.h"
#include "files/errors.h"
#include "files/io.h"
#include "files/partial.h"
#include "link/text.h"

namespace tarnel {

namespace {

/// "OK", or the error word and the number; the result is returned whether
/// or not the reply was delivered.
bool reply(Lines& lines, bool ok, std::string_view error_word, uint16_t error) {
  send_text(lines, ok ? std::string(ANSWER_OK) : std::string(error_word) + number_to_text(error));
  return ok;
}

/// Puts the change of the folder that holds `path` on the disk before the
/// client is told "OK"; `error` becomes the sync's number when it fails.
void sync_folder_of(FileSystem& fs, const std::string& path, uint16_t& error) {
  if (error != 0) return;
  io_sync_directory(fs, folder_of(path));
  error = take_io_error();
}

}  // namespace

bool make_directory(Lines& lines, FileSystem& fs, const std::string& path) {
  io_mkdir(fs, path);
  uint16_t error = take_io_error();
  bool ok = error == 0;
  if (!ok) {
    // A directory that is there already counts as made, when the server may
    // enter it (search permission): what changing into it would show,
    // without changing the working directory.
    struct stat st;
    ok = fs.stat(path, st) == 0 && S_ISDIR(st.st_mode) && fs.access(path, X_OK) == 0;
  }
  if (ok) {
    // Also when it was there already: an earlier "MD" may have been cut
    // before its folder was synced.
    uint16_t synced = 0;
    sync_folder_of(fs, path, synced);
    if (synced != 0) {
      ok = false;
      error = synced;
    }
  }
  return reply(lines, ok, ANSWER_DIR_ERROR, error);
}

bool remove_directory(Lines& lines, FileSystem& fs, const std::string& path) {
  io_rmdir(fs, path);
  uint16_t error = take_io_error();
  sync_folder_of(fs, path, error);
  return reply(lines, error == 0, ANSWER_DIR_ERROR, error);
}

bool delete_file(Lines& lines, FileSystem& fs, const std::string& path) {
  io_unlink(fs, path);
  uint16_t error = take_io_error();
  if (error != 0) {
    // Once more after making the file writable for its owner. Only a
    // regular file itself: never a link's target, nor a directory, which
    // unlink does not remove whatever its mode. When the second attempt
    // fails too, the mode goes back.
    struct stat st;
    const bool made_writable = fs.lstat(path, st) == 0 && S_ISREG(st.st_mode) &&
                               (st.st_mode & S_IWUSR) == 0 &&
                               fs.chmod_entry(path, (st.st_mode & 07777) | S_IWUSR) == 0;
    io_unlink(fs, path);
    error = take_io_error();
    if (error != 0 && made_writable) fs.chmod_entry(path, st.st_mode & 07777);
  }
  // An upload that was overwriting the file is over too.
  UploadFile::discard(fs, path);
  sync_folder_of(fs, path, error);
  return reply(lines, error == 0, ANSWER_FILE_ERROR, error);
}

bool rename_file(Lines& lines, FileSystem& fs, const std::string& source,
                 const std::string& target) {
  io_rename(fs, source, target);
  uint16_t error = take_io_error();
  if (error == 0) {
    // A partial of either name belonged to a file that is no longer there.
    UploadFile::discard(fs, source);
    UploadFile::discard(fs, target);
  }
  // The target's folder first: once it is synced the file is there under
  // its new name whatever becomes of the old entry.
  sync_folder_of(fs, target, error);
  if (folder_of(source) != folder_of(target)) sync_folder_of(fs, source, error);
  return reply(lines, error == 0, ANSWER_RENAME_ERROR, error);
}

}  // namespace tarnel

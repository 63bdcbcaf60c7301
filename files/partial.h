// The partial file of an overwrite: where an upload that replaces an
// existing file stores its data until the last frame has come.
//
// The old file keeps its content until the new one is whole: the data go
// into a partial file in the same folder, which one rename puts in the old
// file's place once it is complete and on the disk. An upload cut short
// leaves the old file as it was and the partial beside it; "REST ?" then
// measures the partial and the resumed upload goes on writing into it.
//
// A partial's name is the target's name between a "." and PARTIAL_SUFFIX:
//
//   report.doc  ->  .report.doc.tarnel-upload
//
// A name too long for that (the whole must fit in 255 bytes) is replaced by
// 16 hexadecimal digits of its 64-bit FNV-1a hash:
//
//   <250-byte name>  ->  .3f2a9c04d1e5b7a8.tarnel-upload
//
// Every name of that form (a ".", at least one byte, PARTIAL_SUFFIX) is a
// partial's, whoever made it: the client never sees one in a listing and
// cannot reach one by its name. The client's own unfinished downloads
// ("NAME.tarnel-part") have another form.
#ifndef TARNEL_FILES_PARTIAL_H_
#define TARNEL_FILES_PARTIAL_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "files/file_system.h"

namespace tarnel {

inline constexpr std::string_view PARTIAL_SUFFIX = ".tarnel-upload";
/// The longest name a folder entry may have.
inline constexpr size_t PARTIAL_NAME_MAX = 255;
/// The data of an upload are synced every this many bytes, so that the sync
/// before the last frame is accepted has little left to write.
inline constexpr int64_t PARTIAL_SYNC_BYTES = 1 << 20;

/// Whether a folder entry's name has the form of a partial's.
bool is_partial_name(std::string_view name);
/// Whether the last name of `path` has the form of a partial's.
bool is_partial_path(std::string_view path);
/// The partial file of the upload target `target` (a local path).
std::string partial_path(std::string_view target);
/// The folder that holds the last name of `path` ("/" for "/x").
std::string folder_of(std::string_view path);

/// The file an upload writes: the partial of an overwrite, or the target
/// itself where there is no old content to keep or it cannot be replaced by
/// a rename. Owns the descriptor while it is open. Reports through io_error:
/// every call that fails leaves it pending, for the caller to take.
class UploadFile {
 public:
  UploadFile(FileSystem& fs, std::string target) : fs_(fs), target_(std::move(target)) {}
  ~UploadFile();
  UploadFile(const UploadFile&) = delete;
  UploadFile& operator=(const UploadFile&) = delete;

  /// A new upload of the target: through a fresh partial when the target is
  /// a regular file of one link in a folder the server may write, else the
  /// target itself created or cut as ever. Whether the target may be
  /// written at all is asked first, by opening it for writing: what could
  /// not be written is never replaced. Drops a stale partial.
  bool open_new();
  /// A resumed upload: into the target's partial when it has one, else
  /// into the target in place. Opened read-write and not cut.
  bool open_for_resume();
  /// Takes over `fd`, the target opened by the caller.
  void adopt(int fd);
  /// The descriptor; -1 when not open.
  int fd() const { return fd_; }
  /// Whether the data go into a partial.
  bool through_partial() const { return partial_; }

  /// Writes `size` bytes at the current position, syncing the data after
  /// each PARTIAL_SYNC_BYTES.
  bool store(const void* data, size_t size);
  /// The upload is whole: the old file's permission bits and group, the
  /// time stamp and the attribute number (each -1 for none) go on, the file
  /// is synced and closed, a partial renamed into the target's place, and
  /// the folder synced. False when any step that makes it durable failed.
  bool commit(int32_t time, int32_t attributes);
  /// The upload ended early: the file is closed as it is, without the final
  /// attributes; a partial stays for a resume.
  void abandon();

  /// Removes the partial of `target`, if there is one (errors ignored).
  static void discard(FileSystem& fs, const std::string& target);
  /// Whether `target` has a partial (a regular file).
  static bool has_partial(FileSystem& fs, const std::string& target);

 private:
  /// Where the data go: the partial or the target.
  const std::string& path() const { return partial_ ? partial_path_ : target_; }
  bool open_partial(int flags);

  FileSystem& fs_;
  std::string target_;
  std::string partial_path_;
  int fd_ = -1;
  bool partial_ = false;
  bool regular_ = false;  // whether the file is one that can be synced
  int64_t unsynced_ = 0;  // bytes written since the last sync
};

}  // namespace tarnel

#endif  // TARNEL_FILES_PARTIAL_H_

// Names as the other PC sees them, and the way its names find local
// entries: the one place where the client's paths become local paths.
//
// A local name travels as it is (in the client's code page, when one is
// given) unless it cannot: it holds a control byte (below 0x20, or 0x7F)
// or a backslash, it is longer than LISTING_NAME_MAX bytes on the wire, or,
// with a code page, it is not valid UTF-8 or holds a character the code
// page cannot show. Such a name is listed under a stand-in:
//
//   usable part of the name  "~"  12-character hash  [ "." extension ]
//   inj_999_684682671_16__fake~9ZJQEV016PZN   (from "inj\t999\t684682671\t16\r\nfake")
//   M_ller~0EKR5WP61JEN.txt                   (from "M", 0xFC, "ller.txt": not UTF-8,
//                                             under a code page)
//
// Each character that cannot travel (and each of \ / : * ? " < > |, which
// the other PC's file system refuses) becomes "_"; the usable part is cut
// so that the whole stand-in has at most STANDIN_MAX bytes. The hash is
// 60 bits of the 64-bit FNV-1a hash of the real name's bytes, in digits and
// capital letters (no I, L, O, U), so a stand-in is the same at every
// listing and after every restart, and is not changed by a file system
// that folds letter case. Two names of one directory would share a
// stand-in only by a hash collision (about 1 in 10^9 for a directory of
// 50,000 such names); when they do, the stand-in names neither of them:
// the client is refused, never handed the wrong entry. Nor does a stand-in
// that is the real name of another entry of its directory: that entry is
// the one the name reaches, and the entry the stand-in was made for is not
// listed (a stand-in never changes, so there is no other to give it).
#ifndef TARNEL_FILES_NAMES_H_
#define TARNEL_FILES_NAMES_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "base/charset.h"
#include "files/file_system.h"

namespace tarnel {

class StandInCache;

/// The longest name a listing line carries: with the longest size and time
/// stamp (11 bytes each), three TABs, a two-digit attribute number and
/// CR LF, the line still fits in 255 bytes. Fixed, so that a growing file
/// does not change its name.
constexpr size_t LISTING_NAME_MAX = 226;
/// The longest stand-in: short enough to leave room in a 255-byte command
/// for the folders in front of it.
constexpr size_t STANDIN_MAX = 128;
/// Characters of the hash in a stand-in (5 bits each).
constexpr size_t STANDIN_HASH_LENGTH = 12;

/// What a client path is used for: an entry that should be there (GET,
/// DEL, RD, RNFR, LIST, "REST ?"), or one that the command may create (PUT,
/// APUT, MD, RNTO). A new entry may not take the name of an existing entry's
/// stand-in, so that no two entries are ever listed under one name.
enum class NameUse { kExisting, kNew };

/// The local path of a client name that cannot be used: it names no file
/// (a NUL byte), so every file service refuses it as it refuses any path
/// with a NUL byte ("FILE ERROR 2", "DIR ERROR 2", "RENAME ERROR 2",
/// "REST ERROR 2", "DIR ERROR 3" for a listing, an upload's first frame
/// refused).
const std::string& unusable_path();

/// The client's path as a text of the wire: every "\" becomes "/" and a
/// missing leading "/" is added, the result cut at 255 bytes. Nothing else
/// is examined.
std::string client_path_text(std::string_view path);

class ClientNames {
 public:
  /// Names travel as bytes (no code page); only stand-ins are made.
  ClientNames() = default;
  /// Names in `charset` on the wire, UTF-8 on the local side.
  explicit ClientNames(Charset charset) : charset_(std::move(charset)) {}

  const Charset& charset() const { return charset_; }

  /// The name under which the client sees the local entry `local_name`:
  /// the name itself (in the code page) when it travels, else its stand-in.
  std::string client_name(std::string_view local_name) const;

  /// Whether `local_name` travels as it is; *client then holds it as the
  /// client sees it.
  bool travels(std::string_view local_name, std::string* client) const;

  /// The stand-in of `local_name` (see the top of this file), as the
  /// client sees it.
  std::string stand_in(std::string_view local_name) const;

  /// Whether a name of the client could be a stand-in (has its form).
  static bool looks_like_stand_in(std::string_view client_name);

  /// Whether the client sees the entry `local_name` of a directory under
  /// its stand-in: the one test of which entries a stand-in can name.
  bool named_by_stand_in(std::string_view local_name) const;

  /// Whether `directory` (a local path) holds an entry called `client_name`
  /// as the client sends it. A stand-in that is such a name reaches that
  /// entry, so the entry it was made for is not shown under it.
  bool names_an_entry(FileSystem& fs, const std::string& directory,
                      std::string_view client_name) const;

  /// One component of a client path as a local name. False for a name
  /// that cannot be used: it holds a control byte, or a byte that the code
  /// page leaves undefined.
  bool local_name(std::string_view client_component, std::string* local) const;

  /// The client's path (as sent, either separator, leading one or not) as
  /// a local absolute path, or unusable_path(). Each component is converted
  /// from the code page; one that names no entry directly but is the
  /// stand-in of an entry of its directory becomes that entry's name. For
  /// NameUse::kNew, a last component that is an existing entry's stand-in
  /// is unusable. The local path may be longer than 255 bytes.
  /// Entries are looked up through `fs`; each stand-in costs a read of its
  /// whole directory.
  std::string local_path(FileSystem& fs, std::string_view client_path, NameUse use) const;
  /// The same, with the stand-ins of directories read before remembered in
  /// `cache` (made for these names), so that a stand-in seen there costs no
  /// new read of its directory.
  std::string local_path(FileSystem& fs, std::string_view client_path, NameUse use,
                         StandInCache& cache) const;

 private:
  Charset charset_;
};

}  // namespace tarnel

#endif  // TARNEL_FILES_NAMES_H_

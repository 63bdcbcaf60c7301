// The command protocol's words and numbers, defined once for both ends: the
// server's command loop and file services, the client, the fuzzers and the
// test peers all spell them from here.
//
//   command words  the client's commands; the trailing blank is part of the
//                  word, the argument follows it directly
//   answer words   the server's text replies; a number follows directly
//                  where the word ends in a blank or "="
//                  (not the link's reply codes REPLY_ACCEPT etc., which
//                  answer a frame, link/frame.h)
//   error numbers  after "DIR ERROR ", "FILE ERROR ", "RENAME ERROR " and
//                  "REST ERROR ", with what each means to a user
//   attribute bits the FAT attribute byte of "ATTR " and listing lines
#ifndef TARNEL_BASE_WIRE_WORDS_H_
#define TARNEL_BASE_WIRE_WORDS_H_

#include <cstdint>
#include <string_view>

namespace tarnel {

// ---- Command words, in the order the server tries them ----------------------
// "REST ?" comes before "REST ": a text that begins "REST ?" is the query.

inline constexpr std::string_view COMMAND_PUT = "PUT ";
inline constexpr std::string_view COMMAND_APUT = "APUT ";
inline constexpr std::string_view COMMAND_TIME = "TIME ";
inline constexpr std::string_view COMMAND_ATTR = "ATTR ";
inline constexpr std::string_view COMMAND_REST_QUERY = "REST ?";
inline constexpr std::string_view COMMAND_REST = "REST ";
inline constexpr std::string_view COMMAND_SIZE = "SIZE ";
inline constexpr std::string_view COMMAND_GET = "GET ";
inline constexpr std::string_view COMMAND_AGET = "AGET ";
inline constexpr std::string_view COMMAND_LIST = "LIST ";
inline constexpr std::string_view COMMAND_DEL = "DEL ";
inline constexpr std::string_view COMMAND_CONNECT = "CONNECT";  // no blank
inline constexpr std::string_view COMMAND_MD = "MD ";
inline constexpr std::string_view COMMAND_RD = "RD ";
inline constexpr std::string_view COMMAND_RNFR = "RNFR ";
inline constexpr std::string_view COMMAND_RNTO = "RNTO ";

// ---- Answer words -------------------------------------------------------------

inline constexpr std::string_view ANSWER_OK = "OK";           // MD, RD, DEL, RNTO done
inline constexpr std::string_view ANSWER_CONNECTED = "OK A";  // to "CONNECT"
inline constexpr std::string_view ANSWER_WAIT = "WAIT";       // keep-alive, at most 1/s
inline constexpr std::string_view ANSWER_SIZE = "SIZE ";      // bytes that follow
inline constexpr std::string_view ANSWER_TIME = "TIME ";      // packed time stamp
inline constexpr std::string_view ANSWER_ATTR = "ATTR ";      // attribute number
inline constexpr std::string_view ANSWER_REST = "REST ";      // a download's offset
inline constexpr std::string_view ANSWER_REST_AT = "REST=";   // "REST ?": restart point
inline constexpr std::string_view ANSWER_DIR_ERROR = "DIR ERROR ";
inline constexpr std::string_view ANSWER_FILE_ERROR = "FILE ERROR ";
inline constexpr std::string_view ANSWER_RENAME_ERROR = "RENAME ERROR ";
inline constexpr std::string_view ANSWER_REST_ERROR = "REST ERROR ";

// ---- I/O error numbers (a failed system call, by its errno) ----------------------
// The client knows these:

inline constexpr uint16_t IO_ERROR_NOT_FOUND = 2;      // ENOENT
inline constexpr uint16_t IO_ERROR_PATH = 3;           // ENOTDIR, ENAMETOOLONG, ELOOP
inline constexpr uint16_t IO_ERROR_TOO_MANY_OPEN = 4;  // ENFILE, EMFILE
inline constexpr uint16_t IO_ERROR_ACCESS_DENIED = 5;  // EACCES, EEXIST, EROFS
inline constexpr uint16_t IO_ERROR_BAD_HANDLE = 6;     // EBADF
inline constexpr uint16_t IO_ERROR_DISK = 101;         // EINTR, EIO, EAGAIN, ENOSPC, EPIPE, ...
inline constexpr uint16_t IO_ERROR_TEXT_BUSY = 162;    // ETXTBSY
inline constexpr uint16_t IO_ERROR_NO_MEMORY = 217;    // ENOMEM, EFAULT
inline constexpr uint16_t IO_ERROR_INVALID = 218;      // EINVAL

// The server's own numbers for the other failures, so that a reply still
// tells them apart (none may be 0):

inline constexpr uint16_t IO_ERROR_NOT_PERMITTED = 7;  // EPERM
inline constexpr uint16_t IO_ERROR_IS_DIRECTORY = 8;   // EISDIR
inline constexpr uint16_t IO_ERROR_NOT_EMPTY = 16;     // ENOTEMPTY
inline constexpr uint16_t IO_ERROR_OTHER_DEVICE = 17;  // EXDEV
inline constexpr uint16_t IO_ERROR_BUSY = 19;          // EBUSY
inline constexpr uint16_t IO_ERROR_OTHER = 100;        // any errno not named

/// "FILE ERROR ": a file whose size in the client view does not fit the
/// signed 32-bit "SIZE " reply (2 GiB or more).
inline constexpr uint16_t FILE_ERROR_TOO_LARGE = 20;
/// "FILE ERROR ": a path that is neither a regular file nor a directory (a
/// device, a FIFO, a socket): the client's "access denied".
inline constexpr uint16_t FILE_ERROR_NOT_A_FILE = IO_ERROR_ACCESS_DENIED;
/// "REST ERROR ": "REST ?" with no upload pending: no file was named, so no
/// open was tried ("invalid handle").
inline constexpr uint16_t REST_ERROR_NO_UPLOAD = IO_ERROR_BAD_HANDLE;

/// What an I/O error number (the last table's and the server's own) says,
/// in words for a user; "unknown error number" for one neither knows.
constexpr std::string_view io_error_meaning(int32_t number) {
  switch (number) {
    case IO_ERROR_NOT_FOUND:
      return "not found";
    case IO_ERROR_PATH:
      return "path not found, or not a directory";
    case IO_ERROR_TOO_MANY_OPEN:
      return "too many open files";
    case IO_ERROR_ACCESS_DENIED:
      return "access denied, already exists, or read-only file system";
    case IO_ERROR_BAD_HANDLE:
      return "bad handle";
    case IO_ERROR_NOT_PERMITTED:
      return "operation not permitted";
    case IO_ERROR_IS_DIRECTORY:
      return "is a directory";
    case IO_ERROR_NOT_EMPTY:
      return "directory not empty";
    case IO_ERROR_OTHER_DEVICE:
      return "not on the same file system";
    case IO_ERROR_BUSY:
      return "busy";
    case FILE_ERROR_TOO_LARGE:
      return "too large to transfer (2 GiB or more)";
    case IO_ERROR_OTHER:
      return "other system error";
    case IO_ERROR_DISK:
      return "I/O error or disk full";
    case IO_ERROR_TEXT_BUSY:
      return "text file busy";
    case IO_ERROR_NO_MEMORY:
      return "out of memory";
    case IO_ERROR_INVALID:
      return "invalid argument";
    default:
      return "unknown error number";
  }
}

// ---- Search error numbers ("DIR ERROR " of a listing) ----------------------------

inline constexpr int16_t SEARCH_OK = 0;
/// Empty search path, no such named entry, or a status that cannot be read.
inline constexpr int16_t SEARCH_NOT_FOUND = 3;
/// No (further) matching entry.
inline constexpr int16_t SEARCH_NO_MORE = 18;

/// What a search error number says, in words for a user.
constexpr std::string_view search_error_meaning(int32_t number) {
  switch (number) {
    case SEARCH_NOT_FOUND:
      return "no such file or directory";
    case SEARCH_NO_MORE:
      return "no such directory, or no entry matches";
    default:
      return "listing failed";
  }
}

/// What "REST ERROR " with REST_ERROR_NO_UPLOAD says.
inline constexpr std::string_view REST_ERROR_NO_UPLOAD_MEANING = "no upload pending";

// ---- Attribute bits (the FAT attribute byte) --------------------------------------
// The server sets only ATTRIBUTE_DIRECTORY or ATTRIBUTE_ARCHIVE, plus
// ATTRIBUTE_READ_ONLY; a number the client sends may hold any bits.

inline constexpr uint8_t ATTRIBUTE_READ_ONLY = 1;
inline constexpr uint8_t ATTRIBUTE_HIDDEN = 2;
inline constexpr uint8_t ATTRIBUTE_SYSTEM = 4;
inline constexpr uint8_t ATTRIBUTE_VOLUME_LABEL = 8;
inline constexpr uint8_t ATTRIBUTE_DIRECTORY = 16;
inline constexpr uint8_t ATTRIBUTE_ARCHIVE = 32;  // any entry that is not a directory

}  // namespace tarnel

#endif  // TARNEL_BASE_WIRE_WORDS_H_

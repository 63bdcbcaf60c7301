// The server console as the rest of the program sees it: lines of text out,
// a key press detected (never read) in, and the abort flag a key press sets.
#ifndef TARNEL_BASE_CONSOLE_H_
#define TARNEL_BASE_CONSOLE_H_

#include <string>
#include <string_view>

namespace tarnel {

/// Set when a key is found pending on the console; the command loop ends
/// when it is set. Transfers and the listing set it between frames.
/// One per process: it stands for a key pressed on the server's console, of
/// which there is one; whoever looks at the keyboard is handed that console.
/// False at start; start-up and the command loop clear it.
extern bool abort_flag;

/// `bytes` as they may safely be shown on a terminal: control bytes become
/// visible, in caret notation ("^[" for ESC, "^M" for CR, "^@" for NUL, "^?"
/// for DEL); the C1 controls become "M-" and the caret form of the code less
/// 0x80 ("M-^[" for CSI, 0x9B). Where the bytes are UTF-8, a character stays
/// whole ("\xC3\x84", A with diaeresis) and the C1 controls are taken as
/// the characters U+0080-U+009F ("\xC2\x9B" gives "M-^["); a byte that is
/// not part of a UTF-8 character is judged alone: 0x80-0x9F are escaped,
/// every other byte is kept as it is.
/// Used wherever bytes from the other end or from a stored file reach a
/// terminal (the server's console, the client's output), so that they
/// cannot move the cursor, clear the screen or forge a line.
std::string visible_text(std::string_view bytes);

class Console {
 public:
  virtual ~Console() = default;
  /// Writes text without a line end, flushed at once.
  virtual void write(std::string_view text) = 0;
  /// Ends the line; the next line starts at the first column.
  virtual void end_line() = 0;
  /// Whether a key is waiting on the console (the key is not read).
  virtual bool key_pending() = 0;
  /// Whether the server is asked to end without waiting for a transfer to
  /// finish (a service manager stopping it): an upload then ends after the
  /// frame it is receiving, where a key press lets it run to its end. Once
  /// true, it stays true, and key_pending() is true too.
  virtual bool stop_requested() { return false; }

  /// One line on standard error: what the console itself does not show
  /// (why the I/O ports were refused), flushed at once.
  virtual void error_line(std::string_view text);

  void line(std::string_view text) {
    write(text);
    end_line();
  }
};

}  // namespace tarnel

#endif  // TARNEL_BASE_CONSOLE_H_

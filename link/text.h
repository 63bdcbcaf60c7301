// Text messages: commands and replies of at most 255 bytes, each the whole
// payload of one frame with number 0 (no length byte, no terminator).
#ifndef TARNEL_LINK_TEXT_H_
#define TARNEL_LINK_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "link/frame.h"
#include "link/lines.h"

namespace tarnel {

/// Every text of the program (command, reply, path, listing line, console
/// line) is at most this long; longer results are cut.
constexpr size_t TEXT_MAX = 255;

inline std::string cut_text(std::string_view text) {
  return std::string(text.substr(0, TEXT_MAX));
}

/// True while a frame exchange of this program is under way; keeps text
/// exchanges from nesting inside a transfer. Process-wide.
extern bool link_busy;

/// receive_command results.
enum class CommandResult : uint8_t { COMMAND_OK = 1, COMMAND_BUSY = 6, COMMAND_FAILED = 255 };

/// Sends `text` (cut to 255 bytes) as a frame with number 0. False when the
/// link is busy (nothing is sent) or the frame was not delivered.
bool send_text(Lines& lines, std::string_view text);

/// Receives a command frame (number 0) into `text`: COMMAND_OK, or
/// COMMAND_BUSY / COMMAND_FAILED with `text` unchanged.
CommandResult receive_command(Lines& lines, std::string& text);

// The frame exchanges behind the two, without the busy flag, for an end
// that keeps no such flag (a peer in the same process as a server).
SendResult send_text_frame(Lines& lines, std::string_view text);
RecvResult receive_text_frame(Lines& lines, std::string& text);

}  // namespace tarnel

#endif  // TARNEL_LINK_TEXT_H_

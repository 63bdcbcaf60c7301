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

inline std::string cut_text(std::string_view text) { return std::string(text.substr(0, TEXT_MAX)); }

/// receive_command results.
enum class CommandResult : uint8_t { COMMAND_OK = 1, COMMAND_BUSY = 6, COMMAND_FAILED = 255 };

// Both guard the exchange with the busy flag of `lines` (set for its
// duration, clear again on return). An end that tells failed frames apart
// (the client, test peers) passes `frame_result`: it receives the result of
// send_frame or receive_frame; it is not written when the link is busy.

/// Sends `text` (cut to 255 bytes) as a frame with number 0. False when the
/// link is busy (nothing is sent) or the frame was not delivered.
bool send_text(Lines& lines, std::string_view text, SendResult* frame_result = nullptr);

/// Receives a text frame (number 0) into `text`: COMMAND_OK, or
/// COMMAND_BUSY / COMMAND_FAILED with `text` unchanged.
CommandResult receive_command(Lines& lines, std::string& text, RecvResult* frame_result = nullptr);

}  // namespace tarnel

#endif  // TARNEL_LINK_TEXT_H_

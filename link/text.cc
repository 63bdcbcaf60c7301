#include "link/text.h"

#include <algorithm>
#include <cstring>

#include "link/receive.h"
#include "link/send.h"

namespace tarnel {

bool link_busy = false;

SendResult send_text_frame(Lines& lines, std::string_view text) {
  text = text.substr(0, TEXT_MAX);
  FrameBuffer frame;
  std::memcpy(frame.data, text.data(), text.size());
  frame.length = static_cast<int32_t>(text.size());
  frame.number = 0;
  return send_frame(lines, frame);
}

RecvResult receive_text_frame(Lines& lines, std::string& text) {
  FrameBuffer frame;
  frame.number = 0;
  const RecvResult result = receive_frame(lines, frame);
  if (result == RecvResult::RECV_OK) {
    // Every byte, a zero byte too, is one character; bytes past 255 are dropped.
    text.assign(reinterpret_cast<const char*>(frame.data),
                std::min<size_t>(static_cast<size_t>(frame.length), TEXT_MAX));
  }
  return result;
}

bool send_text(Lines& lines, std::string_view text) {
  if (link_busy) return false;
  link_busy = true;
  const SendResult result = send_text_frame(lines, text);
  link_busy = false;
  return result == SendResult::SEND_OK;
}

CommandResult receive_command(Lines& lines, std::string& text) {
  if (link_busy) return CommandResult::COMMAND_BUSY;
  link_busy = true;
  const RecvResult result = receive_text_frame(lines, text);
  link_busy = false;
  return result == RecvResult::RECV_OK ? CommandResult::COMMAND_OK : CommandResult::COMMAND_FAILED;
}

}  // namespace tarnel

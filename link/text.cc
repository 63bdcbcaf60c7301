#include "link/text.h"

#include <algorithm>
#include <cstring>

#include "link/receive.h"
#include "link/send.h"

namespace tarnel {

namespace {

// The frame exchanges behind the two.
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

}  // namespace

bool send_text(Lines& lines, std::string_view text, SendResult* frame_result) {
  if (lines.busy()) return false;
  lines.set_busy(true);
  const SendResult result = send_text_frame(lines, text);
  lines.set_busy(false);
  if (frame_result) *frame_result = result;
  return result == SendResult::SEND_OK;
}

CommandResult receive_command(Lines& lines, std::string& text, RecvResult* frame_result) {
  if (lines.busy()) return CommandResult::COMMAND_BUSY;
  lines.set_busy(true);
  const RecvResult result = receive_text_frame(lines, text);
  lines.set_busy(false);
  if (frame_result) *frame_result = result;
  return result == RecvResult::RECV_OK ? CommandResult::COMMAND_OK : CommandResult::COMMAND_FAILED;
}

}  // namespace tarnel

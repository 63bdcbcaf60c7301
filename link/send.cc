#include "link/send.h"

namespace tarnel {
namespace {

bool handshake_low(uint8_t status) { return (status & Lines::kStatusHandshake) == 0; }

}  // namespace

int send_frame(Lines& lines, FrameBuffer& frame) {
  lines.init_control_lines();
  frame.magic = FRAME_MAGIC;
  const int32_t length = frame.length;
  if (length < 0 || length > FRAME_MAX_PAYLOAD) {
    // A caller's mistake; nothing beyond the buffer is ever read.
    return SEND_ABORTED;
  }
  const int32_t frame_size = length + FRAME_HEADER_SIZE + FRAME_CHECKSUM_SIZE;
  const int32_t payload_end = length + FRAME_HEADER_SIZE;

  uint8_t header[FRAME_HEADER_SIZE];
  for (int i = 0; i < 4; ++i) {
    header[i] = static_cast<uint8_t>(frame.magic >> (8 * i));
    header[4 + i] = static_cast<uint8_t>(static_cast<uint32_t>(frame.length) >> (8 * i));
    header[8 + i] = static_cast<uint8_t>(static_cast<uint32_t>(frame.number) >> (8 * i));
  }

  FrameSums sums;
  bool going_on = true;
  int result = 0;
  int32_t position = 0;
  while (going_on && position < frame_size) {
    uint8_t byte;
    bool fast = false;
    if (position < FRAME_HEADER_SIZE) {
      byte = header[position];
    } else if (position < payload_end) {
      byte = frame.data[position - FRAME_HEADER_SIZE];
      sums.add(byte);
      fast = true;
    } else {
      byte = static_cast<uint8_t>(sums.value() >> (8 * (position - payload_end)));
    }

    // Low nibble with the handshake line high; wait for the first acknowledgement.
    lines.write_data(static_cast<uint8_t>(0x10 | (byte & 0x0F)));
    going_on = (fast && (handshake_low(lines.read_status()) || handshake_low(lines.read_status()))) ||
               lines.wait_handshake(false);
    if (!going_on) break;
    // High nibble with the handshake line low; wait for the second one.
    lines.write_data(static_cast<uint8_t>(byte >> 4));
    going_on = (fast && (!handshake_low(lines.read_status()) || !handshake_low(lines.read_status()))) ||
               lines.wait_handshake(true);
    if (!going_on) break;

    switch (lines.read_status() & Lines::kStatusNibbles) {
      case REPLY_RESEND << 3:
        sums = FrameSums();
        position = 0;
        continue;
      case REPLY_WRONG_NUMBER << 3:
        going_on = false;
        result = SEND_ABORTED;
        break;
      case REPLY_REFUSE << 3:
        going_on = false;
        result = SEND_REFUSED;
        break;
      default:  // REPLY_ACCEPT, and any code this end does not know
        break;
    }
    ++position;
  }

  if (!going_on) {
    lines.write_data(0x00);
    lines.delay_ms(50);
  }
  if (result != 0) return result;
  return going_on ? SEND_OK : SEND_TIMEOUT;
}

}  // namespace tarnel

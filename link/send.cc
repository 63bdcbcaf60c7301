#include "link/send.h"

namespace tarnel {
namespace {

bool bit7_set(uint8_t status) { return (status & Lines::kStatusHandshake) != 0; }

// The two immediate reads of a payload byte, before the general wait: true
// when one shows status bit 7 as wanted; its value goes to *seen.
bool quick_look(Lines& lines, bool want, uint8_t* seen) {
  for (int i = 0; i < 2; ++i) {
    const uint8_t status = lines.read_status();
    if (bit7_set(status) == want) {
      *seen = status;
      return true;
    }
  }
  return false;
}

uint8_t reply_code(uint8_t status) {
  return static_cast<uint8_t>((status & Lines::kStatusNibbles) >> 3);
}

// The status that shows the peer beginning a frame: handshake line high,
// nibble 0x8 (the low nibble of the first magic byte 0x18).
constexpr int kNextFrameStart = 0x40;

bool ends_or_restarts(uint8_t code) {
  return code == REPLY_RESEND || code == REPLY_WRONG_NUMBER || code == REPLY_REFUSE;
}

}  // namespace

SendResult send_frame(Lines& lines, FrameBuffer& frame) {
  lines.init_control_lines();
  frame.magic = FRAME_MAGIC;
  const int32_t length = frame.length;
  if (length < 0 || length > FRAME_MAX_PAYLOAD) {
    // A caller's mistake; nothing beyond the buffer is ever read, and nothing
    // goes on the wire.
    return SendResult::SEND_ABORTED;
  }
  const int32_t frame_size = length + FRAME_HEADER_SIZE + FRAME_CHECKSUM_SIZE;
  const int32_t payload_end = length + FRAME_HEADER_SIZE;

  uint8_t header[FRAME_HEADER_SIZE];
  for (int i = 0; i < 4; ++i) {
    header[i] = static_cast<uint8_t>(frame.magic >> (8 * i));
    header[4 + i] = static_cast<uint8_t>(static_cast<uint32_t>(length) >> (8 * i));
    header[8 + i] = static_cast<uint8_t>(static_cast<uint32_t>(frame.number) >> (8 * i));
  }

  FrameSums sums;
  bool going_on = true;
  SendResult result = SendResult::SEND_OK;
  int32_t position = 0;
  while (going_on && position < frame_size) {
    uint8_t byte;
    bool fast = false;  // payload bytes try two reads before the general wait
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
    uint8_t seen = 0;
    lines.write_data(static_cast<uint8_t>(0x10 | (byte & 0x0F)));
    going_on = (fast && quick_look(lines, false, &seen)) || lines.wait_handshake(false);
    if (!going_on) break;
    // High nibble with the handshake line low; wait for the second one.
    lines.write_data(static_cast<uint8_t>(byte >> 4));
    // After the last byte the receiver may accept the frame and begin its own
    // next frame (handshake line high, first nibble 0x8 of the magic) before
    // this end has run again to see the acknowledgement level in between. A
    // receiver only starts sending after it has accepted, so that start is
    // taken as the acceptance.
    const bool last = position == frame_size - 1;
    going_on = (fast && quick_look(lines, true, &seen)) ||
               lines.wait_handshake(true, &seen, last ? kNextFrameStart : Lines::kNoOtherStatus);
    if (!going_on) break;
    if (last && !bit7_set(seen)) {
      ++position;
      break;
    }

    // The reply code is read once more after the acknowledgement. When the
    // wait slept after seeing it, the receiver may have moved on by then: one
    // that gave up shows nibble 0xE only for the 100 ms of its abort signal
    // and then clears its lines, which would read as REPLY_ACCEPT (after the
    // last byte: a frame the receiver refused reported as delivered). So a
    // code that ends or restarts the frame counts from either read, the later
    // one first.
    uint8_t code = reply_code(lines.read_status());
    if (!ends_or_restarts(code)) code = reply_code(seen);
    switch (code) {
      case REPLY_RESEND:
        sums = FrameSums();
        position = 0;
        continue;
      case REPLY_WRONG_NUMBER:  // or the end of the receiver's abort signal
        going_on = false;
        result = SendResult::SEND_ABORTED;
        break;
      case REPLY_REFUSE:
        going_on = false;
        result = SendResult::SEND_REFUSED;
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
  if (result != SendResult::SEND_OK) return result;
  return going_on ? SendResult::SEND_OK : SendResult::SEND_TIMEOUT;
}

}  // namespace tarnel

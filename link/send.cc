#include "link/send.h"

namespace tarnel {
namespace {

// The two immediate reads of a payload byte, before the general wait: true
// when one shows status bit 7 as wanted; its value goes to *seen.
bool quick_look(Lines& lines, bool want, uint8_t* seen) {
  for (int i = 0; i < 2; ++i) {
    const uint8_t status = lines.read_status();
    if (handshake_bit(status) == want) {
      *seen = status;
      return true;
    }
  }
  return false;
}

uint8_t reply_code(uint8_t status) { return peer_nibble(status); }

// The status that shows the peer beginning a frame: handshake line high
// (bit 7 clear), the low nibble of the first magic byte on its nibble lines.
constexpr int kNextFrameStart = (FRAME_MAGIC_BYTES[0] & Lines::kDataNibble)
                                << Lines::kStatusNibbleShift;
static_assert(kNextFrameStart == 0x40);

bool ends_or_restarts(uint8_t code) {
  return code == REPLY_RESEND || code == REPLY_WRONG_NUMBER || code == REPLY_REFUSE;
}

// One call of send_frame. A frame travels as: the byte at each position
// (byte_at: header, payload summed on the way, then the checksum), each byte
// in two halves acknowledged by the receiver (send_byte), and after each
// byte the receiver's reply code (take_reply), which lets the frame go on,
// starts it again or ends it.
class Sending {
 public:
  Sending(Lines& lines, FrameBuffer& frame) : lines_(lines), frame_(frame), length_(frame.length) {}

  SendResult run() {
    lines_.init_control_lines();
    frame_.magic = FRAME_MAGIC;
    if (length_ < 0 || length_ > FRAME_MAX_PAYLOAD) {
      // A caller's mistake; nothing beyond the buffer is ever read, and nothing
      // goes on the wire.
      return SendResult::SEND_ABORTED;
    }
    payload_end_ = length_ + FRAME_HEADER_SIZE;
    frame_size_ = length_ + FRAME_HEADER_SIZE + FRAME_CHECKSUM_SIZE;
    make_header();
    while (going_on_ && position_ < frame_size_) {
      // Payload bytes try two reads before the general wait.
      const bool fast = position_ >= FRAME_HEADER_SIZE && position_ < payload_end_;
      const bool last = position_ == frame_size_ - 1;
      uint8_t seen = 0;
      going_on_ = send_byte(byte_at(position_), fast, last, &seen);
      if (!going_on_) break;
      if (last && !handshake_bit(seen)) {
        // Taken as accepted: the receiver has begun its next frame (see send_byte).
        ++position_;
        break;
      }
      take_reply(seen);
    }
    if (!going_on_) {
      lines_.clear_data_lines();
      lines_.delay_ms(50);
    }
    if (result_ != SendResult::SEND_OK) return result_;
    return going_on_ ? SendResult::SEND_OK : SendResult::SEND_TIMEOUT;
  }

 private:
  // The header in wire order: the caller's magic, length and number fields,
  // little-endian.
  void make_header() {
    store_le32(header_ + FRAME_MAGIC_OFFSET, frame_.magic);
    store_le32(header_ + FRAME_LENGTH_OFFSET, static_cast<uint32_t>(length_));
    store_le32(header_ + FRAME_NUMBER_OFFSET, static_cast<uint32_t>(frame_.number));
  }

  // The byte at `position`; a payload byte goes into the sums first.
  uint8_t byte_at(int32_t position) {
    if (position < FRAME_HEADER_SIZE) return header_[position];
    if (position < payload_end_) {
      const uint8_t byte = frame_.data[position - FRAME_HEADER_SIZE];
      sums_.add(byte);
      return byte;
    }
    return static_cast<uint8_t>(sums_.value() >> (8 * (position - payload_end_)));
  }

  // Both halves of one byte, each followed by a wait for the receiver's
  // acknowledgement: true when both came; *seen receives the read that
  // showed the second.
  bool send_byte(uint8_t byte, bool fast, bool last, uint8_t* seen) {
    // Low nibble with the handshake line high; wait for the first acknowledgement.
    lines_.write_data(static_cast<uint8_t>(Lines::kDataHandshake | (byte & Lines::kDataNibble)));
    if (!(fast && quick_look(lines_, false, seen)) && !lines_.wait_handshake(false)) return false;
    // High nibble with the handshake line low; wait for the second one.
    lines_.write_data(static_cast<uint8_t>(byte >> 4));
    // After the last byte the receiver may accept the frame and begin its own
    // next frame (handshake line high, first nibble 0x8 of the magic) before
    // this end has run again to see the acknowledgement level in between. A
    // receiver only starts sending after it has accepted, so that start is
    // taken as the acceptance.
    return (fast && quick_look(lines_, true, seen)) ||
           lines_.wait_handshake(true, seen, last ? kNextFrameStart : Lines::kNoOtherStatus);
  }

  // The reply code is read once more after the acknowledgement. The
  // scheduler may hold this end up between the two reads, and the receiver
  // may have moved on by then: one that gave up shows nibble 0xE only for the
  // 100 ms of its abort signal and then clears its lines, which would read as
  // REPLY_ACCEPT (after the last byte: a frame the receiver refused reported
  // as delivered). So a code that ends or restarts the frame counts from
  // either read, the later one first.
  void take_reply(uint8_t seen) {
    uint8_t code = reply_code(lines_.read_status());
    if (!ends_or_restarts(code)) code = reply_code(seen);
    switch (code) {
      case REPLY_RESEND:
        sums_ = FrameSums();
        position_ = 0;
        return;
      case REPLY_WRONG_NUMBER:  // or the end of the receiver's abort signal
        going_on_ = false;
        result_ = SendResult::SEND_ABORTED;
        break;
      case REPLY_REFUSE:
        going_on_ = false;
        result_ = SendResult::SEND_REFUSED;
        break;
      default:  // REPLY_ACCEPT, and any code this end does not know
        break;
    }
    ++position_;
  }

  Lines& lines_;
  FrameBuffer& frame_;
  const int32_t length_;
  int32_t payload_end_ = 0;
  int32_t frame_size_ = 0;
  uint8_t header_[FRAME_HEADER_SIZE] = {};
  FrameSums sums_;
  bool going_on_ = true;
  SendResult result_ = SendResult::SEND_OK;
  int32_t position_ = 0;
};

}  // namespace

SendResult send_frame(Lines& lines, FrameBuffer& frame) { return Sending(lines, frame).run(); }

}  // namespace tarnel

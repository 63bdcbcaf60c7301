#include "link/receive.h"

#include <cstdlib>

namespace tarnel {
namespace {

constexpr int kMaxMismatches = 10;  // the 11th mismatch of one frame ends the call
constexpr const uint8_t* kMagic = FRAME_MAGIC_BYTES;

int32_t le32(const uint8_t* p) { return static_cast<int32_t>(load_le32(p)); }

// One call of receive_frame. A frame travels as: each byte in two halves
// (take_byte), the header into its fields (take_header_byte), where the magic
// is checked and a shift of one byte is made good (synchronise) and the
// length is checked (check_length), the payload and checksum into the
// caller's buffer (take_data_byte), and at its end the judgement (judge).
// Every byte but the last is then accepted (REPLY_ACCEPT).
class Reception {
 public:
  Reception(Lines& lines, FrameBuffer& frame, const FrameKeeper& keep)
      : lines_(lines), frame_(frame), keep_(keep) {}

  RecvResult run() {
    lines_.init_control_lines();
    while (going_on_ && result_ == RecvResult::RECV_OK) {
      uint8_t byte;
      if (!take_byte(&byte)) {
        result_ = RecvResult::RECV_FAILED;
        break;
      }
      if (position_ < FRAME_HEADER_SIZE) {
        take_header_byte(byte);
      } else {
        take_data_byte(byte);
      }
      ++position_;
      if (position_ == FRAME_NUMBER_OFFSET && result_ == RecvResult::RECV_OK) check_length();
      if (result_ == RecvResult::RECV_OK &&
          position_ == length_ + FRAME_HEADER_SIZE + FRAME_CHECKSUM_SIZE) {
        judge();
      } else {
        lines_.acknowledge(REPLY_ACCEPT);
      }
    }
    if (result_ == RecvResult::RECV_FAILED) {
      lines_.signal_abort();
      lines_.clear_data_lines();
    }
    return result_;
  }

 private:
  // Both halves of one byte, each taken once the sender's handshake line
  // shows it (two immediate reads, then the general wait), the low half
  // acknowledged with the handshake line high. False when a wait ran out.
  bool take_byte(uint8_t* byte) {
    // Low nibble: the sender's handshake line goes high (status bit 7 reads 0).
    if (handshake_bit(lines_.read_status()) && handshake_bit(lines_.read_status()) &&
        !lines_.wait_handshake(false)) {
      return false;
    }
    const uint8_t low = lines_.read_status();
    lines_.acknowledge(Lines::kDataHandshake);
    // High nibble: the sender's handshake line goes low.
    if (!handshake_bit(lines_.read_status()) && !handshake_bit(lines_.read_status()) &&
        !lines_.wait_handshake(true)) {
      return false;
    }
    const uint8_t high = lines_.read_status();
    *byte = static_cast<uint8_t>(peer_nibble(low) | peer_nibble(high) << 4);
    return true;
  }

  // Header bytes 0-3 the magic, 4-7 the length, 8-11 the number; the header
  // goes into these fields, not into the caller's buffer.
  void take_header_byte(uint8_t byte) {
    if (position_ < FRAME_LENGTH_OFFSET) {
      magic_[position_ - FRAME_MAGIC_OFFSET] = byte;
      return;
    }
    if (position_ < FRAME_NUMBER_OFFSET) {
      length_bytes_[position_ - FRAME_LENGTH_OFFSET] = byte;
      if (position_ == FRAME_LENGTH_OFFSET) synchronise(byte);
      length_ = le32(length_bytes_);
      return;
    }
    number_bytes_[position_ - FRAME_NUMBER_OFFSET] = byte;
  }

  // At the first length byte: the magic as it came, or shifted by one byte.
  void synchronise(uint8_t byte) {
    if (magic_[0] == kMagic[0] && magic_[1] == kMagic[1] && magic_[2] == kMagic[2] &&
        magic_[3] == kMagic[3]) {
      // In step.
    } else if (magic_[1] == kMagic[0] && magic_[2] == kMagic[1] && magic_[3] == kMagic[2]) {
      // One stray byte came first: this byte stands for the last magic byte.
      length_bytes_[0] = 0;
      --position_;
    } else if (magic_[0] == kMagic[1] && magic_[1] == kMagic[2] && magic_[2] == kMagic[3]) {
      // The first magic byte was lost: the header is one byte ahead.
      length_bytes_[0] = magic_[3];
      length_bytes_[1] = byte;
      ++position_;
    } else {
      result_ = RecvResult::RECV_FAILED;
      going_on_ = false;
    }
    for (int i = 0; i < 4; ++i) magic_[i] = kMagic[i];
  }

  // Once the length field is complete: no room for a payload outside
  // 0..4096, so such a frame is refused before any of it is stored.
  void check_length() {
    if (length_ < 0 || length_ > FRAME_MAX_PAYLOAD) {
      result_ = RecvResult::RECV_FAILED;
      going_on_ = false;
    }
  }

  // Payload and checksum bytes into `data`; the payload bytes into the sums.
  void take_data_byte(uint8_t byte) {
    const int32_t offset = position_ - FRAME_HEADER_SIZE;
    // The length was checked when its field was complete, so offset stays
    // below length + 4 <= 4100.
    frame_.data[offset] = byte;
    if (offset < length_) sums_.add(byte);
  }

  // The whole frame is in: the reply code that answers its last byte.
  void judge() {
    const int32_t number = le32(number_bytes_);
    const bool checksum_ok = sums_.value() == static_cast<uint32_t>(le32(frame_.data + length_));
    if (number == FRAME_CANCEL) {
      lines_.write_reply_code(REPLY_REFUSE);
      result_ = RecvResult::RECV_REFUSED;
    } else if (!checksum_ok) {
      lines_.write_reply_code(REPLY_RESEND);
      if (++mismatches_ > kMaxMismatches) result_ = RecvResult::RECV_FAILED;
    } else if (number == frame_.number) {
      frame_.length = length_;
      if (!keep_ || keep_(frame_)) {
        lines_.write_reply_code(REPLY_ACCEPT);
        mismatches_ = 0;
        going_on_ = false;
      } else {
        lines_.write_reply_code(REPLY_REFUSE);
        result_ = RecvResult::RECV_REFUSED;
      }
    } else if (frame_.number == FRAME_CANCEL) {
      lines_.write_reply_code(REPLY_REFUSE);
      result_ = RecvResult::RECV_REFUSED;
    } else {
      lines_.write_reply_code(REPLY_WRONG_NUMBER);
      const int64_t distance = std::llabs(static_cast<int64_t>(number) - frame_.number);
      result_ = distance <= 2 ? RecvResult::RECV_REFUSED : RecvResult::RECV_FAILED;
    }
    // Ready for the frame sent again.
    sums_ = FrameSums();
    position_ = 0;
    length_ = 0;
    for (auto& b : length_bytes_) b = 0;
  }

  Lines& lines_;
  FrameBuffer& frame_;
  const FrameKeeper& keep_;
  int32_t position_ = 0;
  uint8_t magic_[4] = {};
  uint8_t length_bytes_[4] = {};
  uint8_t number_bytes_[4] = {};
  int32_t length_ = 0;
  FrameSums sums_;
  int mismatches_ = 0;
  bool going_on_ = true;
  RecvResult result_ = RecvResult::RECV_OK;
};

}  // namespace

RecvResult receive_frame(Lines& lines, FrameBuffer& frame, const FrameKeeper& keep) {
  return Reception(lines, frame, keep).run();
}

}  // namespace tarnel

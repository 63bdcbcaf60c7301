#include "link/receive.h"

#include <cstdlib>

namespace tarnel {
namespace {

constexpr int kMaxMismatches = 10;  // the 11th mismatch of one frame ends the call

bool handshake_low(uint8_t status) { return (status & Lines::kStatusHandshake) == 0; }

uint8_t nibble(uint8_t status) { return (status >> 3) & 0x0F; }

int32_t le32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                              static_cast<uint32_t>(p[2]) << 16 |
                              static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

RecvResult receive_frame(Lines& lines, FrameBuffer& frame, const FrameKeeper& keep) {
  lines.init_control_lines();
  int32_t position = 0;
  uint8_t magic[4] = {};
  uint8_t length_bytes[4] = {};
  uint8_t number_bytes[4] = {};
  int32_t length = 0;
  FrameSums sums;
  int mismatches = 0;
  bool going_on = true;
  RecvResult result = RecvResult::RECV_OK;
  static constexpr uint8_t kMagic[4] = {0x18, 0x24, 0x42, 0x81};

  while (going_on && result == RecvResult::RECV_OK) {
    // Low nibble: the sender's handshake line goes high (status bit 7 reads 0).
    if (!handshake_low(lines.read_status()) && !handshake_low(lines.read_status()) &&
        !lines.wait_handshake(false)) {
      result = RecvResult::RECV_FAILED;
      break;
    }
    const uint8_t low = lines.read_status();
    lines.acknowledge(0x10);
    // High nibble: the sender's handshake line goes low.
    if (handshake_low(lines.read_status()) && handshake_low(lines.read_status()) &&
        !lines.wait_handshake(true)) {
      result = RecvResult::RECV_FAILED;
      break;
    }
    const uint8_t high = lines.read_status();
    const uint8_t byte = static_cast<uint8_t>(nibble(low) | nibble(high) << 4);

    if (position < 4) {
      magic[position] = byte;
    } else if (position < 8) {
      length_bytes[position - 4] = byte;
      if (position == 4) {
        if (magic[0] == kMagic[0] && magic[1] == kMagic[1] && magic[2] == kMagic[2] &&
            magic[3] == kMagic[3]) {
          // In step.
        } else if (magic[1] == kMagic[0] && magic[2] == kMagic[1] && magic[3] == kMagic[2]) {
          // One stray byte came first: this byte stands for the last magic byte.
          length_bytes[0] = 0;
          --position;
        } else if (magic[0] == kMagic[1] && magic[1] == kMagic[2] && magic[2] == kMagic[3]) {
          // The first magic byte was lost: the header is one byte ahead.
          length_bytes[0] = magic[3];
          length_bytes[1] = byte;
          ++position;
        } else {
          result = RecvResult::RECV_FAILED;
          going_on = false;
        }
        for (int i = 0; i < 4; ++i) magic[i] = kMagic[i];
      }
      length = le32(length_bytes);
    } else if (position < 12) {
      number_bytes[position - 8] = byte;
    } else {
      const int32_t offset = position - FRAME_HEADER_SIZE;
      // The length was checked when its field was complete, so offset stays
      // below length + 4 <= 4100.
      frame.data[offset] = byte;
      if (offset < length) sums.add(byte);
    }
    ++position;

    if (position == 8 && result == RecvResult::RECV_OK &&
        (length < 0 || length > FRAME_MAX_PAYLOAD)) {
      // No room for such a payload: refuse the frame before any of it is stored.
      result = RecvResult::RECV_FAILED;
      going_on = false;
    }

    if (result == RecvResult::RECV_OK &&
        position == length + FRAME_HEADER_SIZE + FRAME_CHECKSUM_SIZE) {
      const int32_t number = le32(number_bytes);
      const bool checksum_ok = sums.value() == static_cast<uint32_t>(le32(frame.data + length));
      if (number == FRAME_CANCEL) {
        lines.write_reply_code(REPLY_REFUSE);
        result = RecvResult::RECV_REFUSED;
      } else if (!checksum_ok) {
        lines.write_reply_code(REPLY_RESEND);
        if (++mismatches > kMaxMismatches) result = RecvResult::RECV_FAILED;
      } else if (number == frame.number) {
        frame.length = length;
        if (!keep || keep(frame)) {
          lines.write_reply_code(REPLY_ACCEPT);
          mismatches = 0;
          going_on = false;
        } else {
          lines.write_reply_code(REPLY_REFUSE);
          result = RecvResult::RECV_REFUSED;
        }
      } else if (frame.number == FRAME_CANCEL) {
        lines.write_reply_code(REPLY_REFUSE);
        result = RecvResult::RECV_REFUSED;
      } else {
        lines.write_reply_code(REPLY_WRONG_NUMBER);
        const int64_t distance = std::llabs(static_cast<int64_t>(number) - frame.number);
        result = distance <= 2 ? RecvResult::RECV_REFUSED : RecvResult::RECV_FAILED;
      }
      // Ready for the frame sent again.
      sums = FrameSums();
      position = 0;
      length = 0;
      for (auto& b : length_bytes) b = 0;
    } else {
      lines.acknowledge(REPLY_ACCEPT);
    }
  }

  if (result == RecvResult::RECV_FAILED) {
    lines.signal_abort();
    lines.clear_data_lines();
  }
  return result;
}

}  // namespace tarnel

// The link frame: everything that crosses the cable travels in one.
//
//   offset  size    field
//        0     4    magic 0x81422418 (bytes 18 24 42 81)
//        4     4    length of the payload, signed, 0..4096
//        8     4    number: 0 text, 1.. data blocks, -1 cancel
//       12  length  payload
//   12+len     4    checksum: first sum (low 16 bits), second sum (high)
//
// All fields little-endian. The checksum covers the payload only: first sum
// from 1, second from 0, both modulo 65536 (not Adler-32's 65521).
//
// Each byte crosses as two nibbles, low first, with the handshake line high
// for the low nibble and low for the high one; the receiver answers each
// nibble on its own handshake line and puts a reply code on its nibble lines
// with the second acknowledgement.
#ifndef TARNEL_LINK_FRAME_H_
#define TARNEL_LINK_FRAME_H_

#include <cstddef>
#include <cstdint>

namespace tarnel {

constexpr uint32_t FRAME_MAGIC = 0x81422418;
constexpr int32_t FRAME_MAX_PAYLOAD = 4096;
constexpr int32_t FRAME_HEADER_SIZE = 12;
constexpr int32_t FRAME_CHECKSUM_SIZE = 4;
/// Where each header field begins (the table above).
constexpr int32_t FRAME_MAGIC_OFFSET = 0;
constexpr int32_t FRAME_LENGTH_OFFSET = 4;
constexpr int32_t FRAME_NUMBER_OFFSET = 8;
/// The magic as it crosses the cable, first byte first.
inline constexpr uint8_t FRAME_MAGIC_BYTES[4] = {0x18, 0x24, 0x42, 0x81};

/// The one little-endian load and store of the link's 32-bit fields (header
/// fields and checksum; the virtual cable's counters use them too).
constexpr uint32_t load_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
constexpr void store_le32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}
static_assert(load_le32(FRAME_MAGIC_BYTES) == FRAME_MAGIC, "the magic's bytes spell FRAME_MAGIC");
static_assert(FRAME_NUMBER_OFFSET + 4 == FRAME_HEADER_SIZE, "the number ends the header");
/// Frame number of the cancel frame: the sender has given up the stream.
constexpr int32_t FRAME_CANCEL = -1;

/// The record through which callers hand frames to the link. `data` holds
/// the payload followed, on receiving, by the four checksum bytes.
struct FrameBuffer {
  uint32_t magic;
  int32_t length;
  int32_t number;
  uint8_t data[FRAME_MAX_PAYLOAD + FRAME_CHECKSUM_SIZE];
};
static_assert(sizeof(FrameBuffer) == 4112, "the frame buffer is laid out like the frame");

// Reply codes: written by the receiver on its nibble lines with the second
// acknowledgement; the sender sees them shifted left by three (status & 0x78).
constexpr uint8_t REPLY_ACCEPT = 0x00;
constexpr uint8_t REPLY_REFUSE = 0x0D;
constexpr uint8_t REPLY_WRONG_NUMBER = 0x0E;
constexpr uint8_t REPLY_RESEND = 0x0F;

/// Results of send_frame.
enum class SendResult { SEND_OK = 0, SEND_REFUSED = 1, SEND_TIMEOUT = 4, SEND_ABORTED = 5 };

/// Results of receive_frame.
enum class RecvResult { RECV_OK = 0, RECV_REFUSED = 3, RECV_FAILED = 5 };

/// Running frame checksum over payload bytes.
struct FrameSums {
  uint16_t first = 1;
  uint16_t second = 0;
  void add(uint8_t byte) {
    first = static_cast<uint16_t>(first + byte);
    second = static_cast<uint16_t>(second + first);
  }
  uint32_t value() const { return static_cast<uint32_t>(second) << 16 | first; }
};

uint32_t frame_checksum(const uint8_t* data, size_t length);

}  // namespace tarnel

#endif  // TARNEL_LINK_FRAME_H_

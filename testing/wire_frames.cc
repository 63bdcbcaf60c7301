#include "testing/wire_frames.h"

#include <cstdio>
#include <iterator>

#include "link/frame.h"

namespace tarnel::testing {
namespace {

void put_le32(WireBytes& out, uint32_t value) {
  uint8_t le[4];
  store_le32(le, value);
  out.insert(out.end(), le, le + 4);
}

}  // namespace

uint32_t wire_checksum(std::string_view payload) {
  uint32_t first = 1, second = 0;
  for (unsigned char c : payload) {
    first = (first + c) % 65536;
    second = (second + first) % 65536;
  }
  return second << 16 | first;
}

WireBytes raw_frame_bytes(int32_t length_field, int32_t number, std::string_view payload,
                          uint32_t checksum) {
  WireBytes out(std::begin(FRAME_MAGIC_BYTES), std::end(FRAME_MAGIC_BYTES));
  put_le32(out, static_cast<uint32_t>(length_field));
  put_le32(out, static_cast<uint32_t>(number));
  out.insert(out.end(), payload.begin(), payload.end());
  put_le32(out, checksum);
  return out;
}

WireBytes frame_bytes(int32_t number, std::string_view payload) {
  return raw_frame_bytes(static_cast<int32_t>(payload.size()), number, payload,
                         wire_checksum(payload));
}

WireBytes cancel_frame_bytes() { return frame_bytes(FRAME_CANCEL, ""); }

WireBytes with_bad_checksum(WireBytes frame) {
  if (frame.size() >= 4) frame[frame.size() - 4] ^= 0x5A;
  return frame;
}

WireBytes with_stray_bytes(WireBytes frame, size_t count, uint8_t value) {
  frame.insert(frame.begin(), count, value);
  return frame;
}

WireBytes without_first_magic_byte(WireBytes frame) {
  if (!frame.empty()) frame.erase(frame.begin());
  return frame;
}

WireBytes cut_after(WireBytes frame, size_t count) {
  if (frame.size() > count) frame.resize(count);
  return frame;
}

std::vector<WireBytes> bad_copies_then_good(const WireBytes& frame, int bad) {
  std::vector<WireBytes> copies(static_cast<size_t>(bad), with_bad_checksum(frame));
  copies.push_back(frame);
  return copies;
}

std::string hex(const WireBytes& bytes) {
  std::string out;
  char b[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(b, sizeof b, "%02X", bytes[i]);
    if (i) out += ' ';
    out += b;
  }
  return out;
}

}  // namespace tarnel::testing

// Link frames as the exact bytes that cross the cable, for test peers that
// put them on the wire themselves, and the faults a test can build into them.
//
// The checksum here is summed independently of the link's own code, so that
// a test comparing wire bytes does not restate what it checks.
#ifndef TARNEL_TESTING_WIRE_FRAMES_H_
#define TARNEL_TESTING_WIRE_FRAMES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarnel::testing {

using WireBytes = std::vector<uint8_t>;

/// The payload checksum: two 16-bit sums, the first from 1, the second from 0.
uint32_t wire_checksum(std::string_view payload);

/// A well-formed frame: magic, length, number, payload, checksum.
WireBytes frame_bytes(int32_t number, std::string_view payload);
/// A frame whose length field says `length_field` whatever the payload; the
/// checksum is `checksum`. For frames that lie about themselves.
WireBytes raw_frame_bytes(int32_t length_field, int32_t number, std::string_view payload,
                          uint32_t checksum);
/// The cancel frame: number -1, no payload.
WireBytes cancel_frame_bytes();

/// The same frame with its first checksum byte changed.
WireBytes with_bad_checksum(WireBytes frame);
/// `count` stray bytes of `value` put before the frame.
WireBytes with_stray_bytes(WireBytes frame, size_t count, uint8_t value = 0x00);
/// The frame without its first magic byte 0x18.
WireBytes without_first_magic_byte(WireBytes frame);
/// Only the first `count` bytes: a sender that stops in the middle.
WireBytes cut_after(WireBytes frame, size_t count);
/// `bad` copies with a wrong checksum, then the good one: what a sender puts
/// on the wire when the receiver asks for each bad copy again.
std::vector<WireBytes> bad_copies_then_good(const WireBytes& frame, int bad);

/// "18 24 42 81 ..." for failure messages.
std::string hex(const WireBytes& bytes);

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_WIRE_FRAMES_H_

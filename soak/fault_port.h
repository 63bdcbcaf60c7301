// A noisy cable end: a port that passes every access on to another port and
// now and then spoils one, as a cable with noise on its lines, a glitch on a
// handshake line or an end that stops for a while would.
//
// It follows the frames on the wire without taking part: each nibble this
// end writes with its handshake line changed is one half of a byte exchange,
// and the status it read last before that write is the other end's half.
// The bytes of both directions go through a frame tracker each; when one of
// them sees a frame's magic, the frame meets a fault with the chance `rate`,
// at a random byte after the magic (a quarter of the faults in the length and
// number fields, the rest in the payload and checksum).
//
// The faults:
//   kFlipWritten   one bit of the nibble lines flipped in the write
//   kFlipRead      one nibble-line bit flipped in every status read up to
//                  this end's next write (the peer's nibble read wrong)
//   kExtraEdge     a short pulse of the handshake line before the write, or
//                  one status read with the peer's handshake line inverted
//   kLostEdge      the write lost (the line keeps its level), or the peer's
//                  handshake change seen only some thousand reads late
//   kStall         this end stops for longer than the handshake limit
#ifndef TARNEL_SOAK_FAULT_PORT_H_
#define TARNEL_SOAK_FAULT_PORT_H_

#include <array>
#include <cstdint>
#include <random>
#include <string>

#include "link/port.h"

namespace tarnel::soak {

class FaultPort : public PortWrapper {
 public:
  enum Kind { kFlipWritten, kFlipRead, kExtraEdge, kLostEdge, kStall, kKinds };

  static constexpr unsigned kAllKinds = (1u << kKinds) - 1;

  /// `inner` is claimed already, at `base`, and must outlive this port.
  /// `kinds`: the kinds of fault made (bit 1 << kind each).
  FaultPort(Port& inner, uint16_t base, uint64_t seed, double rate, unsigned kinds = kAllKinds);

  uint8_t port_in(uint16_t address) override;
  void port_out(uint16_t address, uint8_t value) override;

  /// Faults are made only while enabled (the start).
  void set_enabled(bool enabled);

  /// Beside the faults above, with the chance `rate` a data frame (payload
  /// over 512 bytes) this end sends or receives gets the one spoiling its
  /// two sums cannot see: the same nibble line bit flipped in two payload bytes
  /// 2^16 / 2^bit bytes apart (or a multiple), in opposite directions, so
  /// that both sums come out as before. For showing what slips through.
  void set_forge_rate(double rate) { forge_rate_ = rate; }
  /// Frames that got such a pair of flips.
  uint64_t forged() const { return forged_; }

  uint64_t faults() const { return faults_; }
  uint64_t faults_of(Kind kind) const { return by_kind_[kind]; }
  /// Frames seen begin (either direction).
  uint64_t frames() const { return frames_; }
  static const char* kind_name(Kind kind);
  /// The stall's length: past the server's handshake limit (about 2.1 s,
  /// twenty 100 ms sleeps and the reads between them), with room for a
  /// busy machine, where each of those sleeps takes longer.
  static constexpr unsigned kStallMs = 4000;

 private:
  // Follows one direction's bytes: finds a frame's magic and its length.
  struct Tracker {
    uint32_t window = 0;  // the last four bytes, the latest in the high byte
    int position = -1;    // bytes of the current frame so far, -1: none
    int32_t length = -1;
    int32_t number = 0;
    /// Feeds one byte; true when it completes a frame's magic (also within
    /// a frame: a sender that gave up starts its next frame afresh).
    bool feed(uint8_t byte);
  };

  void half_done(bool first_half, uint8_t written, uint8_t read);
  void schedule(const Tracker& tracker);
  void make_fault(uint8_t& value, bool* skip_write);
  void forge(uint8_t& value);
  void forge_read(uint8_t raw, uint8_t& value);
  void forge_next_read(bool first_half);

  uint16_t base_;
  std::mt19937_64 rng_;
  double rate_;
  unsigned kinds_;
  bool enabled_ = true;

  uint8_t last_write_ = 0;
  bool have_last_write_ = false;
  uint8_t last_status_ = 0xFF;
  uint8_t low_written_ = 0, low_read_ = 0;
  Tracker sent_, received_;

  // The fault to come: at write number `due_write_` (of this end's
  // handshake-changing writes), or waiting for a frame's length first.
  int64_t writes_ = 0;
  int64_t due_write_ = -1;
  const Tracker* waiting_for_length_ = nullptr;
  int64_t frame_start_write_ = 0;
  bool fault_in_header_ = false;

  // Effects on reads.
  uint8_t read_xor_ = 0;  // until the next write
  int single_read_xor_pending_ = 0;
  uint8_t single_read_xor_ = 0;
  int64_t hide_edge_reads_ = 0;  // reads left with bit 7 held as it was
  uint8_t held_bit7_ = 0;

  // The pair of flips to come (set_forge_rate).
  double forge_rate_ = 0;
  bool forging_ = false;
  uint64_t forge_frame_ = 0;  // frames_ of the frame
  int forge_bit_ = 0;         // 5..7
  int32_t forge_step_ = 0, forge_first_ = 0;
  bool forge_flipped_ = false;
  int forge_was_ = 0;            // the bit's value before the first flip
  bool forge_received_ = false;  // a frame this end receives
  // For a received frame: the high nibble read up to this end's next write
  // is the first of the pair (1), a candidate for the second (2), or neither.
  int forge_read_ = 0;
  bool forge_read_flipped_ = false;
  uint64_t forged_ = 0;

  uint64_t faults_ = 0;
  uint64_t frames_ = 0;
  std::array<uint64_t, kKinds> by_kind_{};
};

}  // namespace tarnel::soak

#endif  // TARNEL_SOAK_FAULT_PORT_H_

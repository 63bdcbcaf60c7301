#include "soak/fault_port.h"

#include <chrono>

#include "link/frame.h"

namespace tarnel::soak {
namespace {

constexpr uint8_t kHandshake = 0x10;  // D4 in the data register
constexpr uint8_t kStatusBit7 = 0x80;

// How often each kind is chosen, out of 100. Stalls and lost edges cost a
// handshake limit (about 2 s) each, the others a resent frame at most.
constexpr int kWeights[FaultPort::kKinds] = {35, 35, 15, 10, 5};

void spin_us(unsigned us) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
  while (std::chrono::steady_clock::now() < end) {
  }
}

}  // namespace

FaultPort::FaultPort(Port& inner, uint16_t base, uint64_t seed, double rate, unsigned kinds)
    : PortWrapper(inner), base_(base), rng_(seed), rate_(rate), kinds_(kinds & kAllKinds) {}

const char* FaultPort::kind_name(Kind kind) {
  switch (kind) {
    case kFlipWritten:
      return "bit flipped in a nibble written";
    case kFlipRead:
      return "bit flipped in the status read";
    case kExtraEdge:
      return "handshake edge added";
    case kLostEdge:
      return "handshake edge lost or late";
    case kStall:
      return "end stalled past the handshake limit";
    default:
      return "?";
  }
}

void FaultPort::set_enabled(bool enabled) {
  enabled_ = enabled;
  if (!enabled) {
    due_write_ = -1;
    waiting_for_length_ = nullptr;
    read_xor_ = 0;
    single_read_xor_pending_ = 0;
    hide_edge_reads_ = 0;
  }
}

bool FaultPort::Tracker::feed(uint8_t byte) {
  window = window >> 8 | static_cast<uint32_t>(byte) << 24;
  if (window == FRAME_MAGIC) {
    position = 4;
    length = -1;
    return true;
  }
  if (position >= 0) {
    ++position;
    if (position == 8) {
      length = static_cast<int32_t>(window);
      if (length < 0 || length > FRAME_MAX_PAYLOAD) position = -1;
    } else if (position == 12) {
      number = static_cast<int32_t>(window);
    }
    if (position > 12 && position >= length + FRAME_HEADER_SIZE + FRAME_CHECKSUM_SIZE) {
      position = -1;
    }
  }
  return false;
}

uint8_t FaultPort::port_in(uint16_t address) {
  uint8_t value = target().port_in(address);
  if (address != base_ + 1) return value;
  last_status_ = value;
  if (hide_edge_reads_ > 0) {
    --hide_edge_reads_;
    value = static_cast<uint8_t>((value & ~kStatusBit7) | held_bit7_);
  }
  value ^= read_xor_;
  if (forge_read_ != 0) forge_read(last_status_, value);
  if (single_read_xor_pending_ > 0 && --single_read_xor_pending_ == 0) value ^= single_read_xor_;
  return value;
}

void FaultPort::port_out(uint16_t address, uint8_t value) {
  if (address != base_) {
    target().port_out(address, value);
    return;
  }
  read_xor_ = 0;
  const uint8_t intended = value;
  const bool changes_handshake = !have_last_write_ || ((value ^ last_write_) & kHandshake) != 0;
  bool skip = false;
  if (changes_handshake) {
    const int64_t index = writes_++;
    if (enabled_ && index == due_write_) {
      due_write_ = -1;
      make_fault(value, &skip);
    }
  }
  if (changes_handshake && enabled_ && forging_ && !forge_received_ && !(intended & kHandshake))
    forge(value);
  if (forge_read_ != 0 || (forging_ && forge_received_ && changes_handshake)) {
    forge_next_read((intended & kHandshake) != 0);
  }
  if (!skip) target().port_out(address, value);
  last_write_ = intended;
  have_last_write_ = true;
  if (changes_handshake) {
    const bool first_half = (intended & kHandshake) != 0;
    half_done(first_half, intended, static_cast<uint8_t>((last_status_ >> 3) & 0x0F));
  }
}

void FaultPort::half_done(bool first_half, uint8_t written, uint8_t read) {
  if (first_half) {
    low_written_ = written & 0x0F;
    low_read_ = read;
    return;
  }
  const uint8_t sent = static_cast<uint8_t>(low_written_ | (written & 0x0F) << 4);
  const uint8_t received = static_cast<uint8_t>(low_read_ | read << 4);
  for (Tracker* t : {&sent_, &received_}) {
    const bool begins = t->feed(t == &sent_ ? sent : received);
    if (t->position == FRAME_HEADER_SIZE && t->number >= 1 && t->length > 512 && enabled_ &&
        !forging_ && forge_rate_ > 0 &&
        std::uniform_real_distribution<double>(0, 1)(rng_) < forge_rate_) {
      // Bit 7 needs bytes 512 apart, bit 6 1024, bit 5 2048.
      do {
        forge_bit_ = 5 + static_cast<int>(rng_() % 3);
        forge_step_ = 65536 >> forge_bit_;
      } while (forge_step_ >= t->length);
      forge_first_ = static_cast<int32_t>(rng_() % static_cast<uint64_t>(t->length - forge_step_));
      forge_flipped_ = false;
      forge_frame_ = frames_;
      forge_received_ = t == &received_;
      forging_ = true;
    }
    if (begins) {
      ++frames_;
      // A frame given up before its length came: the fault waits for this one.
      if (waiting_for_length_ == t) frame_start_write_ = writes_;
      schedule(*t);
    } else if (waiting_for_length_ == t && t->position >= 8) {
      schedule(*t);
    } else if (waiting_for_length_ == t && t->position < 0) {
      waiting_for_length_ = nullptr;  // the length was out of range
    }
  }
}

void FaultPort::forge(uint8_t& value) {
  // The byte whose high nibble this write carries.
  if (frames_ != forge_frame_ || sent_.position < FRAME_HEADER_SIZE) {
    forging_ = false;
    return;
  }
  const int32_t index = sent_.position - FRAME_HEADER_SIZE;
  if (index >= sent_.length) {
    forging_ = false;  // no second byte found: one flip, which the sums see
    return;
  }
  const uint8_t mask = static_cast<uint8_t>(1u << (forge_bit_ - 4));
  if (!forge_flipped_) {
    if (index != forge_first_) return;
    forge_was_ = (value & mask) != 0;
    value ^= mask;
    forge_flipped_ = true;
  } else if (index > forge_first_ && (index - forge_first_) % forge_step_ == 0 &&
             ((value & mask) != 0) != static_cast<bool>(forge_was_)) {
    value ^= mask;
    forging_ = false;
    ++forged_;
  }
}

void FaultPort::forge_next_read(bool first_half) {
  // The reads of the half that ends with this write are over.
  if (forge_read_ == 1 && forge_read_flipped_) forge_flipped_ = true;
  if (forge_read_ == 2 && forge_read_flipped_) {
    forging_ = false;
    ++forged_;
  }
  forge_read_ = 0;
  forge_read_flipped_ = false;
  if (!forging_ || !forge_received_ || !first_half) return;
  // This end has taken the low nibble of byte `position` of the frame it
  // receives; the high nibble is read next.
  if (frames_ != forge_frame_ || received_.position < FRAME_HEADER_SIZE) {
    forging_ = false;
    return;
  }
  const int32_t index = received_.position - FRAME_HEADER_SIZE;
  if (index >= received_.length) {
    forging_ = false;
    return;
  }
  if (!forge_flipped_ && index == forge_first_) forge_read_ = 1;
  if (forge_flipped_ && index > forge_first_ && (index - forge_first_) % forge_step_ == 0)
    forge_read_ = 2;
}

void FaultPort::forge_read(uint8_t raw, uint8_t& value) {
  // Only the reads that show the peer's high nibble (its handshake line low).
  if (!(raw & kStatusBit7)) return;
  const uint8_t mask = static_cast<uint8_t>(0x08u << (forge_bit_ - 4));
  const bool set = (raw & mask) != 0;
  if (forge_read_ == 1) {
    forge_was_ = set;
  } else if (set == static_cast<bool>(forge_was_)) {
    return;  // the same value: flipping it would add to the first flip
  }
  value ^= mask;
  forge_read_flipped_ = true;
}

void FaultPort::schedule(const Tracker& t) {
  if (waiting_for_length_ == &t && t.position >= 8) {
    // The payload and checksum: bytes 12 .. length + 15.
    waiting_for_length_ = nullptr;
    std::uniform_int_distribution<int32_t> byte(
        12, t.length + FRAME_HEADER_SIZE + FRAME_CHECKSUM_SIZE - 1);
    const int32_t p = byte(rng_);
    due_write_ = frame_start_write_ + 2 * (p - 4) + static_cast<int64_t>(rng_() & 1);
    return;
  }
  if (!enabled_ || due_write_ >= 0 || waiting_for_length_) return;
  if (std::uniform_real_distribution<double>(0, 1)(rng_) >= rate_) return;
  frame_start_write_ = writes_;
  if (rng_() % 4 == 0) {
    std::uniform_int_distribution<int32_t> byte(4, 11);
    due_write_ = frame_start_write_ + 2 * (byte(rng_) - 4) + static_cast<int64_t>(rng_() & 1);
  } else {
    waiting_for_length_ = &t;
  }
}

void FaultPort::make_fault(uint8_t& value, bool* skip_write) {
  int total = 0;
  for (int k = 0; k < kKinds; ++k) total += (kinds_ >> k & 1) ? kWeights[k] : 0;
  if (total == 0) return;
  int pick = static_cast<int>(rng_() % static_cast<unsigned>(total));
  int kind = 0;
  for (;; ++kind) {
    if (!(kinds_ >> kind & 1)) continue;
    if (pick < kWeights[kind]) break;
    pick -= kWeights[kind];
  }
  ++faults_;
  ++by_kind_[kind];
  switch (kind) {
    case kFlipWritten:
      value ^= static_cast<uint8_t>(1u << (rng_() % 4));
      break;
    case kFlipRead:
      read_xor_ = static_cast<uint8_t>(0x08u << (rng_() % 4));
      break;
    case kExtraEdge:
      if (rng_() & 1) {
        target().port_out(base_, static_cast<uint8_t>(value ^ kHandshake));
        spin_us(20 + static_cast<unsigned>(rng_() % 200));
      } else {
        single_read_xor_ = kStatusBit7;
        single_read_xor_pending_ = 1 + static_cast<int>(rng_() % 4);
      }
      break;
    case kLostEdge:
      if (rng_() & 1) {
        *skip_write = true;
      } else {
        held_bit7_ = last_status_ & kStatusBit7;
        hide_edge_reads_ = 1000 + static_cast<int64_t>(rng_() % 300000);
      }
      break;
    case kStall:
      select_sleep_ms(kStallMs);
      break;
  }
}

}  // namespace tarnel::soak

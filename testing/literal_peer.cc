#include "testing/literal_peer.h"

#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <thread>
#include <vector>

#include "link/frame.h"

namespace tarnel::testing {
namespace {

using Clock = std::chrono::steady_clock;

// The limit of one handshake wait: 10000 reads, then about 2.1 s.
constexpr int kFirstReads = 10000;
constexpr auto kWaitLimit = std::chrono::milliseconds(2100);
// Restarts a sender makes before it stops asking a receiver that always
// wants the frame again (the rules set none; this keeps a test finite).
constexpr int kMaxResends = 64;

constexpr uint8_t kMagic[4] = {0x18, 0x24, 0x42, 0x81};

uint8_t nibble(uint8_t status) { return (status >> 3) & 0x0F; }

int32_t le32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                              static_cast<uint32_t>(p[2]) << 16 |
                              static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

uint8_t LiteralPeer::read_after_gap(std::chrono::microseconds gap) {
  // Stays runnable meanwhile, so that the gap is what it says on a busy
  // machine too, within the scheduler's say.
  while (Clock::now() < last_read_ + gap) sched_yield();
  const uint8_t status = lines_.read_status();
  last_read_ = Clock::now();
  return status;
}

bool LiteralPeer::past_deadline() const { return deadline_ && Clock::now() >= *deadline_; }

bool LiteralPeer::wait_literally(bool want) {
  for (uint16_t n = kFirstReads; n > 0; --n) {
    if (handshake_bit(lines_.read_status()) == want) return true;
  }
  for (int retries = 20; retries > 0 && !past_deadline(); --retries) {
    bool seen = false;
    for (uint16_t n = kFirstReads; n > 0 && !seen; --n) {
      seen = handshake_bit(lines_.read_status()) == want;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (seen) return true;
  }
  return false;
}

int LiteralPeer::wait_bit7(bool want, std::chrono::microseconds gap) {
  if (wait_ == Wait::kLiteral) return wait_literally(want) ? 1 : -1;
  const auto limit = Clock::now() + kWaitLimit;
  for (int n = 0;; ++n) {
    const uint8_t status = gap.count() > 0 ? read_after_gap(gap) : lines_.read_status();
    if (handshake_bit(status) == want) {
      if (gap.count() == 0) last_read_ = Clock::now();
      return status;
    }
    if (n >= kFirstReads && n % 1000 == 0) {
      if (Clock::now() >= limit || past_deadline()) return -1;
      sched_yield();
    }
  }
}

int LiteralPeer::send_byte(uint8_t byte, bool last) {
  lines_.write_data(static_cast<uint8_t>(0x10 | (byte & 0x0F)));
  if (wait_bit7(false, {}) < 0) return -1;
  lines_.write_data(static_cast<uint8_t>(byte >> 4));
  const auto written = Clock::now();
  // The last byte's acknowledgement carries the frame's result: this end is
  // slow to look for it, and reads the code once more after seeing it.
  const bool slow = last && wait_ == Wait::kPatient;
  const std::chrono::microseconds gap = slow ? kReadGap : std::chrono::microseconds(0);
  if (wait_bit7(true, gap) < 0) return -1;
  const uint8_t status = slow ? read_after_gap(gap) : lines_.read_status();
  if (slow && last_read_ - written > std::chrono::milliseconds(REPLY_HOLD_MS)) ++late_reads_;
  return nibble(status);
}

void LiteralPeer::give_up() {
  lines_.write_data(0x00);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

void LiteralPeer::pause_before(int32_t number) {
  if (number >= 2 && frame_pause_.count() > 0) std::this_thread::sleep_for(frame_pause_);
}

SendResult LiteralPeer::send_frame(int32_t number, std::string_view payload) {
  pause_before(number);
  return send_bytes(frame_bytes(number, payload));
}

SendResult LiteralPeer::send_bytes(const WireBytes& bytes) { return send_copies({bytes}); }

SendResult LiteralPeer::send_copies(const std::vector<WireBytes>& copies) {
  resends_ = 0;
  for (size_t copy = 0; !copies.empty(); ++copy) {
    const WireBytes& bytes = copies[std::min(copy, copies.size() - 1)];
    bool again = false;
    for (size_t i = 0; i < bytes.size() && !again; ++i) {
      const int code = send_byte(bytes[i], i + 1 == bytes.size());
      if (code < 0) {
        give_up();
        return SendResult::SEND_TIMEOUT;
      }
      switch (code) {
        case REPLY_RESEND:
          if (++resends_ > kMaxResends) {
            give_up();
            return SendResult::SEND_TIMEOUT;
          }
          again = true;
          break;
        case REPLY_WRONG_NUMBER:
          give_up();
          return SendResult::SEND_ABORTED;
        case REPLY_REFUSE:
          give_up();
          return SendResult::SEND_REFUSED;
        default:  // REPLY_ACCEPT, and codes the rules do not know
          break;
      }
    }
    if (!again) return SendResult::SEND_OK;
  }
  return SendResult::SEND_OK;
}

void LiteralPeer::signal_abort() {
  lines_.write_data(0x1E);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  lines_.write_data(0x0E);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  lines_.write_data(0x00);
}

RecvResult LiteralPeer::receive_frame(int32_t expected, std::string* payload) {
  pause_before(expected);
  uint8_t magic[4] = {};
  uint8_t header[8] = {};  // length, then number
  std::vector<uint8_t> data;
  int32_t length = 0;
  int mismatches = 0;
  for (int32_t position = 0;;) {
    if (wait_bit7(false, {}) < 0) break;
    const uint8_t low = lines_.read_status();
    lines_.write_data(0x10);
    if (wait_bit7(true, {}) < 0) break;
    const uint8_t high = lines_.read_status();
    const uint8_t byte = static_cast<uint8_t>(nibble(low) | nibble(high) << 4);

    if (position < 4) {
      magic[position] = byte;
    } else if (position < 12) {
      header[position - 4] = byte;
    } else {
      data.push_back(byte);
    }
    ++position;
    if (position == 5 && !std::equal(magic, magic + 4, kMagic)) {
      lines_.write_data(REPLY_ACCEPT);
      break;
    }
    if (position == 8) {
      length = le32(header);
      if (length < 0 || length > FRAME_MAX_PAYLOAD) {
        lines_.write_data(REPLY_ACCEPT);
        break;
      }
    }
    if (position < 12 || position != length + 16) {
      lines_.write_data(REPLY_ACCEPT);
      continue;
    }

    // The whole frame is in: judge it.
    const int32_t number = le32(header + 4);
    const std::string body(data.begin(), data.begin() + length);
    const bool checksum_ok =
        static_cast<uint32_t>(le32(data.data() + length)) == wire_checksum(body);
    if (number == FRAME_CANCEL) {
      lines_.write_data(REPLY_REFUSE);
      return RecvResult::RECV_REFUSED;
    }
    if (!checksum_ok) {
      lines_.write_data(REPLY_RESEND);
      if (++mismatches > 10) break;
      position = 0;
      data.clear();
      continue;
    }
    if (number == expected) {
      lines_.write_data(REPLY_ACCEPT);
      if (payload) *payload = body;
      return RecvResult::RECV_OK;
    }
    if (expected == FRAME_CANCEL) {
      lines_.write_data(REPLY_REFUSE);
      return RecvResult::RECV_REFUSED;
    }
    lines_.write_data(REPLY_WRONG_NUMBER);
    if (std::llabs(static_cast<int64_t>(number) - expected) <= 2) return RecvResult::RECV_REFUSED;
    break;
  }
  signal_abort();
  return RecvResult::RECV_FAILED;
}

std::string LiteralPeer::reply() {
  std::string text;
  const RecvResult r = receive_frame(0, &text);
  return r == RecvResult::RECV_OK ? text : "<failed " + std::to_string(static_cast<int>(r)) + ">";
}

bool LiteralPeer::expect_bad_command() {
  const auto wait_for = [this](uint8_t masked, std::chrono::milliseconds ms) {
    const auto end = Clock::now() + ms;
    while (Clock::now() < end) {
      if ((lines_.read_status() & 0xF8) == masked) return true;
      sched_yield();
    }
    return false;
  };
  // Handshake line high with nibble 0xE (status 0x70), then at rest (0x80)
  // for longer than the signal's 50 ms steps leave it: after a frame that
  // failed, the abort signal with the same pattern comes first, and the
  // lines rest only for an instant before the bad-command signal.
  return wait_for(0x70, std::chrono::milliseconds(2500)) && wait_for_rest();
}

bool LiteralPeer::wait_for_rest() {
  const auto start = Clock::now();
  auto quiet_since = start;
  while (Clock::now() - start < std::chrono::seconds(3)) {
    const auto now = Clock::now();
    if ((lines_.read_status() & 0xF8) != 0x80) quiet_since = now;
    if (now - quiet_since >= std::chrono::milliseconds(250)) return true;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

}  // namespace tarnel::testing

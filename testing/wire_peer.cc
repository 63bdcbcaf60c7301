#include "testing/wire_peer.h"

#include <optional>

#include "link/frame.h"

namespace tarnel::testing {
namespace {

constexpr size_t kMaxBytes = 1 << 20;  // a runaway guard, far above any frame

bool stops_sender(uint8_t code) { return code == REPLY_REFUSE || code == REPLY_WRONG_NUMBER; }

/// One byte out, low nibble first; the reply code after it, or nothing when
/// a wait ran out.
std::optional<uint8_t> send_byte(Lines& lines, uint8_t byte) {
  lines.write_data(static_cast<uint8_t>(Lines::kDataHandshake | (byte & Lines::kDataNibble)));
  if (!lines.wait_handshake(false)) return std::nullopt;
  lines.write_data(static_cast<uint8_t>(byte >> 4));
  if (!lines.wait_handshake(true)) return std::nullopt;
  return peer_nibble(lines.read_status());
}

/// One byte in, acknowledged up to (not including) the reply code.
std::optional<uint8_t> receive_byte(Lines& lines) {
  if (!lines.wait_handshake(false)) return std::nullopt;
  const uint8_t low = lines.read_status();
  lines.write_data(Lines::kDataHandshake);
  if (!lines.wait_handshake(true)) return std::nullopt;
  const uint8_t high = lines.read_status();
  return static_cast<uint8_t>(peer_nibble(low) | peer_nibble(high) << 4);
}

}  // namespace

WireSender::WireSender(Lines lines, std::vector<WireBytes> copies)
    : lines_(lines), copies_(std::move(copies)) {}

void WireSender::start() {
  thread_ = std::thread([this] { run(); });
}

void WireSender::join() {
  if (thread_.joinable()) thread_.join();
}

void WireSender::run() {
  if (copies_.empty()) return;
  if (hold_ms_) lines_.delay_ms(static_cast<uint16_t>(hold_ms_));
  for (size_t copy = 0; copies_started_ < kMaxCopies; ++copy) {
    const WireBytes& bytes = copies_[std::min(copy, copies_.size() - 1)];
    ++copies_started_;
    bool again = false;
    for (uint8_t byte : bytes) {
      std::optional<uint8_t> reply = send_byte(lines_, byte);
      if (!reply) {
        timed_out_ = true;
        return;
      }
      sent_.push_back(byte);
      replies_.push_back(*reply);
      reply_times_.push_back(WireClock::now());
      if (*reply == REPLY_RESEND) {
        again = true;
        break;
      }
      if (stops_sender(*reply)) return;
    }
    if (!again) return;
  }
}

WireReceiver& WireReceiver::answer(size_t index, uint8_t code) {
  answers_[index] = static_cast<uint8_t>(code & Lines::kDataNibble);
  return *this;
}

WireReceiver& WireReceiver::walk_away_after(size_t index) {
  stop_index_ = index;
  stop_how_ = Then::kWalkAway;
  return *this;
}

WireReceiver& WireReceiver::abort_after(size_t index) {
  stop_index_ = index;
  stop_how_ = Then::kAbort;
  return *this;
}

void WireReceiver::start() {
  thread_ = std::thread([this] { run(); });
}

void WireReceiver::join() {
  if (thread_.joinable()) thread_.join();
}

std::vector<WireBytes> WireReceiver::copies() const {
  std::vector<WireBytes> out;
  for (size_t i = 0; i < copy_starts_.size(); ++i) {
    size_t end = i + 1 < copy_starts_.size() ? copy_starts_[i + 1] : bytes_.size();
    if (copy_starts_[i] < end)
      out.emplace_back(bytes_.begin() + static_cast<std::ptrdiff_t>(copy_starts_[i]),
                       bytes_.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return out;
}

void WireReceiver::run() {
  copy_starts_.push_back(0);
  size_t frame_end = SIZE_MAX;  // index one past the last byte of this copy
  while (bytes_.size() < kMaxBytes) {
    std::optional<uint8_t> byte = receive_byte(lines_);
    if (!byte) {
      timed_out_ = true;
      return;
    }
    const size_t index = bytes_.size();
    bytes_.push_back(*byte);

    const size_t copy_start = copy_starts_.back();
    if (index == copy_start + 7) {
      // The length field is complete: find where this copy ends.
      int32_t length = 0;
      for (int i = 0; i < 4; ++i)
        length |=
            static_cast<int32_t>(static_cast<uint32_t>(bytes_[copy_start + 4 + i]) << (8 * i));
      if (length >= 0 && length <= FRAME_MAX_PAYLOAD)
        frame_end = copy_start + static_cast<size_t>(length) + 16;
    }

    uint8_t code = REPLY_ACCEPT;
    if (auto it = answers_.find(index); it != answers_.end()) code = it->second;
    lines_.write_data(code);
    replies_.push_back(code);
    reply_times_.push_back(WireClock::now());

    if (index == stop_index_) {
      if (stop_how_ == Then::kAbort) {
        abort_started_ = WireClock::now();
        lines_.signal_abort();
        lines_.clear_data_lines();
      }
      return;
    }
    if (code == REPLY_RESEND) {
      copy_starts_.push_back(index + 1);
      frame_end = SIZE_MAX;
      continue;
    }
    if (stops_sender(code)) return;
    if (index + 1 == frame_end) return;
  }
}

}  // namespace tarnel::testing

#include "client/client_port.h"

namespace tarnel::client {
namespace {

/// The server sleeps 100 ms after a burst of polls that missed the level it
/// waits for; a level held longer than that is seen.
constexpr unsigned kServerSleepMs = 100;
/// The server's first burst of polls takes at least about 10 ms on a real
/// printer port (10000 reads of about 1 us); an acceptance that came within
/// a few ms of the level before it was seen during that burst.
constexpr auto kQuickAnswer = std::chrono::milliseconds(3);

}  // namespace

void ClientPort::port_out(uint16_t address, uint8_t value) {
  target().port_out(address, value);
  if (address != base_) return;
  const Clock::time_point now = this->now();
  write_gap_ = now - last_write_;
  last_write_ = now;
  if (cable_) server_reads_at_write_ = cable_->reads(VirtualCable::kEndA);
}

void ClientPort::hold_reply_code() {
  target().sleep_ms(1);
  if (cable_) {
    // Until the server has read its status once since the level was set.
    const Clock::time_point deadline = now() + std::chrono::milliseconds(2 * kServerSleepMs + 50);
    while (cable_->reads(VirtualCable::kEndA) == server_reads_at_write_ && now() < deadline) {
      target().sleep_ms(1);
    }
    return;
  }
  // A printer port shows nothing of the other side: a late acceptance is
  // held past the server's sleep.
  if (write_gap_ > kQuickAnswer) target().sleep_ms(kServerSleepMs + 10);
}

}  // namespace tarnel::client

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

bool ClientPort::claim(int port_number, uint16_t base, std::string* why) {
  return inner_.claim(port_number, base, why);
}

uint8_t ClientPort::port_in(uint16_t address) { return inner_.port_in(address); }

void ClientPort::port_out(uint16_t address, uint8_t value) {
  inner_.port_out(address, value);
  if (address != base_) return;
  const Clock::time_point now = Clock::now();
  write_gap_ = now - last_write_;
  last_write_ = now;
  if (cable_) server_reads_at_write_ = cable_->reads(VirtualCable::kEndA);
}

void ClientPort::hold_reply_code() {
  inner_.sleep_ms(1);
  if (cable_) {
    // Until the server has read its status once since the level was set.
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(2 * kServerSleepMs + 50);
    while (cable_->reads(VirtualCable::kEndA) == server_reads_at_write_ &&
           Clock::now() < deadline) {
      inner_.sleep_ms(1);
    }
    return;
  }
  // A printer port shows nothing of the other side: a late acceptance is
  // held past the server's sleep.
  if (write_gap_ > kQuickAnswer) inner_.sleep_ms(kServerSleepMs + 10);
}

}  // namespace tarnel::client

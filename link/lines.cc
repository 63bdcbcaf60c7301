#include "link/lines.h"

#include <sched.h>

#include <chrono>

namespace tarnel {

namespace {
bool bit7(uint8_t status) { return (status & Lines::kStatusHandshake) != 0; }
}  // namespace

bool Lines::wait_handshake(bool want) {
  if (waiting_ == Waiting::kPatient) return wait_patiently(want);
  // First burst: no sleep, so that a quick peer costs nothing.
  for (uint16_t n = kBurstReads; n > 0; --n) {
    if (bit7(read_status()) == want) return true;
  }
  // Retry bursts: the sleep follows every burst, also one that saw the value.
  for (int retries = kRetryBursts; retries > 0; --retries) {
    bool seen = false;
    for (uint16_t n = kBurstReads; n > 0; --n) {
      if (bit7(read_status()) == want) {
        seen = true;
        break;
      }
    }
    delay_ms(kRetrySleepMs);
    if (seen) return true;
  }
  return false;
}

bool Lines::wait_patiently(bool want) {
  using Clock = std::chrono::steady_clock;
  for (int n = 0; n < kBurstReads; ++n) {
    if (bit7(read_status()) == want) return true;
  }
  const auto limit = Clock::now() + std::chrono::milliseconds(kPatientLimitMs);
  for (;;) {
    for (int n = 0; n < 1000; ++n) {
      if (bit7(read_status()) == want) return true;
    }
    if (Clock::now() >= limit) return false;
    // Let the other end run when both share few cores; this is no sleep.
    sched_yield();
  }
}

void Lines::signal_abort() {
  write_data(0x1E);
  delay_ms(100);
  write_data(0x0E);
  delay_ms(100);
}

void Lines::signal_bad_command() {
  write_data(0x0E);
  delay_ms(50);
  write_data(0x1E);
  delay_ms(50);
  write_data(0x0E);
  delay_ms(50);
  write_data(0x1E);
  delay_ms(50);
}

}  // namespace tarnel

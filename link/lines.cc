#include "link/lines.h"

#include <sched.h>

#include <algorithm>
#include <chrono>

namespace tarnel {

namespace {

// One read of the wait: true when it shows bit 7 as wanted (or the other
// status), and then its value goes to *seen_status.
bool shows(Lines& lines, bool want, uint8_t* seen_status, int other_status) {
  const uint8_t status = lines.read_status();
  if (handshake_bit(status) != want && (status & Lines::kStatusLines) != other_status) return false;
  if (seen_status) *seen_status = status;
  return true;
}

// Reads of the first burst made before the clock is read: a quick peer is
// answered within a few, and the clock costs more than a read where reads
// are quick.
constexpr int kUntimedReads = 64;

}  // namespace

bool Lines::wait_handshake(bool want, uint8_t* seen_status, int other_status) {
  if (waiting_ == Waiting::kPatient) return wait_patiently(want, seen_status, other_status);
  // First burst: no sleep, so that a quick peer costs nothing.
  for (int n = 0; n < kUntimedReads; ++n) {
    if (shows(*this, want, seen_status, other_status)) return true;
  }
  return watch(want, seen_status, other_status);
}

bool Lines::watch(bool want, uint8_t* seen_status, int other_status) {
  using std::chrono::milliseconds;
  const auto start = port_.now();
  for (int n = kUntimedReads; n < kBurstReads; ++n) {
    if (shows(*this, want, seen_status, other_status)) return true;
  }
  // The reads before the clock was read took about as long each.
  const auto began = start - (port_.now() - start) * kUntimedReads / (kBurstReads - kUntimedReads);
  // Where reads are quicker than a real port's, the burst goes on for as
  // long as it lasts there.
  auto burst = port_.now() - began;
  while (burst < kFirstBurstLeast) {
    for (int n = 0; n < kUntimedReads; ++n) {
      if (shows(*this, want, seen_status, other_status)) return true;
    }
    burst = port_.now() - began;
  }
  // Then one read after each short sleep, so that a late peer is answered
  // within about a sleep of its answer, up to the give-up time of the
  // twenty retries.
  const auto counted = std::min<std::chrono::steady_clock::duration>(burst, kBurstCountsAtMost);
  const auto give_up =
      began + (kRetryBursts + 1) * counted + kRetryBursts * milliseconds(kRetrySleepMs);
  do {
    port_.sleep_us(kWatchSleepUs);
    if (shows(*this, want, seen_status, other_status)) return true;
  } while (port_.now() < give_up);
  return false;
}

bool Lines::wait_patiently(bool want, uint8_t* seen_status, int other_status) {
  for (int n = 0; n < kBurstReads; ++n) {
    if (shows(*this, want, seen_status, other_status)) return true;
  }
  const auto limit = port_.now() + std::chrono::milliseconds(kPatientLimitMs);
  for (;;) {
    for (int n = 0; n < 1000; ++n) {
      if (shows(*this, want, seen_status, other_status)) return true;
    }
    if (port_.now() >= limit) return false;
    // Let the other end run when both share few cores; this is no sleep.
    sched_yield();
  }
}

void Lines::write_reply_code(uint8_t code) {
  port_.port_out(port_base_, code);
  holding_ = reply_hold_ms_ > 0;
  hold_until_ = port_.now() + std::chrono::milliseconds(reply_hold_ms_);
}

void Lines::wait_out_hold() {
  holding_ = false;
  const auto left = hold_until_ - port_.now();
  if (left <= left.zero()) return;
  // Whole milliseconds through the port's sleep, rounded up.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  delay_ms(static_cast<uint16_t>(ms));
}

void Lines::signal_abort() {
  write_data(kDataHandshake | kSignalNibble);  // 0x1E
  delay_ms(100);
  write_data(kSignalNibble);  // 0x0E
  delay_ms(100);
}

void Lines::signal_bad_command() {
  for (int pulse = 0; pulse < 2; ++pulse) {
    write_data(kSignalNibble);  // 0x0E
    delay_ms(50);
    write_data(kDataHandshake | kSignalNibble);  // 0x1E
    delay_ms(50);
  }
}

}  // namespace tarnel

// The port lines and the handshake: the lowest layer of the link.
//
// Data register (written): D0-D3 nibble lines, D4 handshake line; bits 5-7
// always 0. Status register (read): the peer's nibble in bits 3-6, the
// peer's handshake line inverted in bit 7 (0 while the peer holds it high).
// Control register: always 0x04.
#ifndef TARNEL_LINK_LINES_H_
#define TARNEL_LINK_LINES_H_

#include <chrono>
#include <cstdint>

#include "link/port.h"

namespace tarnel {

/// How long a receiver keeps the reply code that judges a frame on its lines
/// before it writes anything else (a frame of its own, the bad-command or
/// abort signal, cleared lines). The sender takes the frame's result from a
/// read after it has seen the acknowledgement; a level it was not reading in
/// time for is lost, and with it the result. A sender that reads the lines
/// every 500 us reads the code a second time within about 0.9 ms typically
/// and 3.2 ms in 99 cases of 100 on a heavily loaded machine (measured:
/// bench/reply_level_bench.cc); 5 ms covers that and keeps a command that
/// is answered at once well under 10 ms.
constexpr unsigned REPLY_HOLD_MS = 5;

/// How an end waits for the other end's handshake line.
enum class Waiting {
  /// The server's wait_handshake: a first burst of 10000 reads without
  /// sleeping (and on for as long as 10000 reads take on a real port, where
  /// reads are quicker), then one read after each short sleep until the
  /// level shows, never a sleep after it; given up at the time the link's
  /// rules' retries (20 bursts of 10000 reads, each followed by a 100 ms sleep)
  /// would have ended: about 2.21 s on a real port.
  kServer,
  /// For the client and test peers: reads without sleeping up to about the
  /// same overall limit (2.1 s), yielding the processor now and then.
  kPatient,
};

class Lines {
 public:
  static constexpr int kBurstReads = 10000;
  /// The first burst lasts at least this long: 10000 reads of a real
  /// printer port (about 1 us each), so that a peer which answers within
  /// that time costs no sleep on a port whose reads are quicker.
  static constexpr std::chrono::milliseconds kFirstBurstLeast{10};
  /// The give-up time of the server's wait is that of the link's rules' retries:
  /// the first burst and 20 more of the same length, and 20 sleeps of 100 ms.
  static constexpr int kRetryBursts = 20;
  /// The bursts count as long as the first one, but at most this long (10000
  /// reads of 3 us), so that a first burst which the scheduler held up does
  /// not stretch the give-up time twentyfold.
  static constexpr std::chrono::milliseconds kBurstCountsAtMost{30};
  static constexpr unsigned kRetrySleepMs = 100;
  /// After the first burst the server reads the lines once after each sleep
  /// of this length: a late peer is answered within about this time (plus
  /// the scheduler's wake-up). Each wake-up costs some 20 us of processor
  /// time on a loaded machine: at 200 us a wait that runs to its end takes
  /// about 7% of a core, less than the rules' retries with their 21 bursts of 10 ms
  /// (9.5%); shorter sleeps would take more (bench/slow_client_bench.cc,
  /// "unanswered").
  static constexpr unsigned kWatchSleepUs = 200;
  /// The patient wait's limit: 20 sleeps of 100 ms plus some reads.
  static constexpr unsigned kPatientLimitMs = 2100;

  static constexpr uint8_t kControlValue = 0x04;
  /// Data register: D4, this end's handshake line (set: high).
  static constexpr uint8_t kDataHandshake = 0x10;
  /// Data register: D0-D3, this end's nibble lines.
  static constexpr uint8_t kDataNibble = 0x0F;
  /// Data register: bits 5-7, not wired; always written as 0.
  static constexpr uint8_t kDataUnwired = 0xE0;
  /// Nibble 0xE, which the abort and bad-command signals show (a sender
  /// takes it as REPLY_WRONG_NUMBER and stops).
  static constexpr uint8_t kSignalNibble = 0x0E;
  /// Status register: bit 7, the peer's handshake line, inverted.
  static constexpr uint8_t kStatusHandshake = 0x80;
  /// Status register: bits 3-6, the peer's nibble lines D0-D3.
  static constexpr uint8_t kStatusNibbles = 0x78;
  static constexpr int kStatusNibbleShift = 3;
  /// Status register: every bit the cable drives.
  static constexpr uint8_t kStatusLines = kStatusHandshake | kStatusNibbles;
  /// Status register: bits 0-2, not wired; a port reads them as 1.
  static constexpr uint8_t kStatusUnwired = 0x07;

  Lines(Port& port, uint16_t port_base, Waiting waiting = Waiting::kServer)
      : port_(port),
        port_base_(port_base),
        status_port_(static_cast<uint16_t>(port_base + 1)),
        waiting_(waiting) {}

  uint8_t read_status() { return port_.port_in(status_port_); }
  /// Writes the data register; a reply code still being held stays until
  /// its time is up.
  void write_data(uint8_t value) {
    if (holding_) wait_out_hold();
    port_.port_out(port_base_, value);
  }
  /// Writes the reply code that judges a frame and holds it: the next
  /// write_data waits until it has been on the lines for the hold time.
  void write_reply_code(uint8_t code);
  /// Writes an acknowledgement of the sender's nibble. The sender has moved
  /// on, so it has read any reply code held before: no wait.
  void acknowledge(uint8_t value) {
    holding_ = false;
    port_.port_out(port_base_, value);
  }
  /// The hold of write_reply_code, in ms (REPLY_HOLD_MS unless changed; 0:
  /// none, for an end that keeps its reply codes up by a rule of its own).
  void set_reply_hold_ms(unsigned ms) { reply_hold_ms_ = ms; }
  void delay_ms(uint16_t ms) { port_.sleep_ms(ms); }

  /// Waits until status bit 7 reads `want` (true: set). True when seen.
  bool wait_handshake(bool want) { return wait_handshake(want, nullptr); }
  /// The same; when seen, *seen_status (if given) receives the value of the
  /// read that showed it. The call returns right after that read, but the
  /// scheduler may hold this end up before its next read, so the peer's
  /// nibble lines may have moved on by then.
  bool wait_handshake(bool want, uint8_t* seen_status) {
    return wait_handshake(want, seen_status, kNoOtherStatus);
  }
  /// The same, but a read whose value masked with 0xF8 equals `other_status`
  /// also ends the wait (as seen); the counts of reads and sleeps are those
  /// of the plain wait.
  bool wait_handshake(bool want, uint8_t* seen_status, int other_status);
  static constexpr int kNoOtherStatus = -1;

  void clear_data_lines() { write_data(0x00); }
  void init_control_lines() {
    port_.port_out(static_cast<uint16_t>(port_base_ + 2), kControlValue);
  }

  /// 0x1E, 100 ms, 0x0E, 100 ms: a peer in the middle of sending a byte sees
  /// both acknowledgements, the second with nibble 0xE, and stops.
  void signal_abort();
  /// Two pulses of the handshake line with nibble 0xE, 200 ms in all, ending
  /// at 0x1E: a peer waiting for a reply frame fails to receive it.
  void signal_bad_command();

  Port& port() { return port_; }
  Waiting waiting() const { return waiting_; }

  /// True while a frame exchange of this end is under way: a text exchange
  /// (send_text, receive_command) that finds it set does nothing, so that
  /// none starts inside a transfer. It belongs to the end of the cable, not
  /// to the process: the server makes its Lines once at start-up, so for it
  /// this is one flag for the whole run, false at start; a client or test
  /// peer in the same process has Lines, and so a flag, of its own.
  bool busy() const { return busy_; }
  void set_busy(bool value) { busy_ = value; }

 private:
  bool watch(bool want, uint8_t* seen_status, int other_status);
  bool wait_patiently(bool want, uint8_t* seen_status, int other_status);
  void wait_out_hold();

  Port& port_;
  uint16_t port_base_;
  uint16_t status_port_;
  Waiting waiting_;
  unsigned reply_hold_ms_ = REPLY_HOLD_MS;
  bool holding_ = false;
  bool busy_ = false;
  std::chrono::steady_clock::time_point hold_until_{};
};

/// Status bit 7, the bit every handshake wait looks at: set while the peer
/// holds its handshake line low, clear while it holds it high (the port
/// inverts the line).
inline bool handshake_bit(uint8_t status) { return (status & Lines::kStatusHandshake) != 0; }

/// The peer's nibble in a status value: its D0-D3 as they show in bits 3-6.
inline uint8_t peer_nibble(uint8_t status) {
  return static_cast<uint8_t>((status & Lines::kStatusNibbles) >> Lines::kStatusNibbleShift);
}

}  // namespace tarnel

#endif  // TARNEL_LINK_LINES_H_

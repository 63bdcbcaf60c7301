// Wire-level test peers for end B of a virtual cable: each runs in a thread
// of the test, moves single bytes with the two-nibble handshake itself
// (waiting patiently, never sleeping in a wait) and records exactly what
// crossed the cable. They know nothing of frames beyond finding where one
// ends, so a test can put any bytes on the wire, broken ones included, and
// answer any byte with any reply code.
//
//   WireSender    puts scripted bytes on the wire (build them with
//                 testing/wire_frames.h: bad checksums, stray bytes, a lost
//                 magic byte, wrong numbers, cancel frames, cut frames) and
//                 records the reply code answered after each byte.
//   WireReceiver  takes bytes off the wire, records them, and answers each
//                 with REPLY_ACCEPT or the code the test chose for it; it can
//                 also walk away or give up with the abort signal after any
//                 byte.
//
// Results are read after join(). The destructor joins.
#ifndef TARNEL_TESTING_WIRE_PEER_H_
#define TARNEL_TESTING_WIRE_PEER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <thread>
#include <vector>

#include "link/lines.h"
#include "testing/cable_pair.h"
#include "testing/wire_frames.h"

namespace tarnel::testing {

using WireClock = std::chrono::steady_clock;

class WireSender {
 public:
  /// Sends copies[0]; each time the receiver answers REPLY_RESEND it starts
  /// again with the next copy (the last one over again once none is left),
  /// as a sender does from its first magic byte. It stops after the last
  /// byte of a copy, at REPLY_REFUSE or nibble 0xE (wrong number or abort),
  /// or when a wait runs out. A copy cut short leaves the receiver waiting.
  WireSender(Lines lines, std::vector<WireBytes> copies);
  WireSender(CablePair& cable, std::vector<WireBytes> copies)
      : WireSender(cable.peer_lines(), std::move(copies)) {}
  WireSender(CablePair& cable, WireBytes bytes)
      : WireSender(cable.peer_lines(), std::vector<WireBytes>{std::move(bytes)}) {}
  ~WireSender() { join(); }
  WireSender(const WireSender&) = delete;
  WireSender& operator=(const WireSender&) = delete;

  /// Time the lines are held before the first byte (default 1 ms), so that
  /// an end that has just answered a frame has seen its own reply through.
  WireSender& hold_first(unsigned ms) {
    hold_ms_ = ms;
    return *this;
  }

  void start();
  void join();

  /// Every byte put on the wire, copies in turn.
  const WireBytes& sent() const { return sent_; }
  /// The reply code (status & 0x78, shifted right by 3) seen after each byte.
  const std::vector<uint8_t>& replies() const { return replies_; }
  const std::vector<WireClock::time_point>& reply_times() const { return reply_times_; }
  /// A handshake wait ran out (the byte that was under way is not recorded).
  bool timed_out() const { return timed_out_; }
  /// How many copies were begun.
  int copies_started() const { return copies_started_; }

  /// A limit on restarts, so that a receiver that always asks again cannot
  /// keep a test running.
  static constexpr int kMaxCopies = 64;

 private:
  void run();

  Lines lines_;
  std::vector<WireBytes> copies_;
  unsigned hold_ms_ = 1;
  std::thread thread_;
  WireBytes sent_;
  std::vector<uint8_t> replies_;
  std::vector<WireClock::time_point> reply_times_;
  bool timed_out_ = false;
  int copies_started_ = 0;
};

class WireReceiver {
 public:
  /// Takes one frame: every byte is answered with REPLY_ACCEPT unless the
  /// test chose another code for it. The receiver finds the end of a frame
  /// from its length field (0..4096); it stops after answering the last
  /// byte, unless that answer is REPLY_RESEND (then it takes the next copy),
  /// or after answering REPLY_REFUSE or REPLY_WRONG_NUMBER at any byte.
  explicit WireReceiver(Lines lines) : lines_(lines) {}
  explicit WireReceiver(CablePair& cable) : WireReceiver(cable.peer_lines()) {}
  ~WireReceiver() { join(); }
  WireReceiver(const WireReceiver&) = delete;
  WireReceiver& operator=(const WireReceiver&) = delete;

  /// Answers byte `index` (counted from 0 over everything received, resent
  /// copies included) with `code` (0x0 to 0xF).
  WireReceiver& answer(size_t index, uint8_t code);
  /// After answering byte `index`, stops answering: the sender's next wait
  /// runs out. The lines stay as they are.
  WireReceiver& walk_away_after(size_t index);
  /// After answering byte `index`, gives up as a receiver does: the abort
  /// signal (0x1E, 100 ms, 0x0E, 100 ms), then cleared data lines.
  WireReceiver& abort_after(size_t index);

  void start();
  void join();

  const WireBytes& bytes() const { return bytes_; }
  /// The code answered after each byte.
  const std::vector<uint8_t>& replies() const { return replies_; }
  const std::vector<WireClock::time_point>& reply_times() const { return reply_times_; }
  /// The received bytes split where REPLY_RESEND was answered.
  std::vector<WireBytes> copies() const;
  /// A wait for the sender ran out.
  bool timed_out() const { return timed_out_; }
  /// When the abort signal began (abort_after only).
  WireClock::time_point abort_started() const { return abort_started_; }

 private:
  enum class Then { kGoOn, kWalkAway, kAbort };
  void run();

  Lines lines_;
  std::map<size_t, uint8_t> answers_;
  size_t stop_index_ = SIZE_MAX;
  Then stop_how_ = Then::kGoOn;
  std::thread thread_;
  WireBytes bytes_;
  std::vector<uint8_t> replies_;
  std::vector<WireClock::time_point> reply_times_;
  std::vector<size_t> copy_starts_;
  bool timed_out_ = false;
  WireClock::time_point abort_started_{};
};

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_WIRE_PEER_H_

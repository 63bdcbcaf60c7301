// A second client end for the tests, written from the link's rules alone and
// sharing no code with the link's sender and receiver, so that it does not
// share their blind spots either. It has no tolerance beyond the rules:
//
// - As a sender it takes a frame's result only from the reply code it reads
//   after the last byte's acknowledgement, and it reads the lines no more
//   often than every 500 us while it waits for that acknowledgement (a peer
//   on a busy machine). It does not take the receiver's next frame for an
//   acceptance: a code it did not see is a code it did not get.
// - Its other waits poll without sleeping, as the first burst of a
//   handshake wait does, up to the usual limit of about 2.1 s; or, when told
//   (Wait::kLiteral), every wait is the handshake wait of the link's rules to
//   the letter: 10000 reads, then up to 20 bursts of 10000 reads, each followed
//   by a 100 ms sleep, also the burst that saw the level.
// - It may pause between data frames (set_frame_pause), as a client on an
//   old machine does while it writes a block to its disk or reads the next.
// - As a receiver it answers as the rules say and holds nothing: it may
//   begin its next frame right after accepting one.
// - It watches the server's bad-command signal without answering it.
//
// It runs in the test's own thread (the server runs in another).
//
// The frame's magic bytes, the header's layout, the line values and the
// little-endian reading are spelled out again in literal_peer.cc on purpose,
// not taken from link/frame.h or link/lines.h: as the independent check of
// the link, it must not inherit a wrong number from the code it checks.
#ifndef TARNEL_TESTING_LITERAL_PEER_H_
#define TARNEL_TESTING_LITERAL_PEER_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "link/frame.h"
#include "link/lines.h"
#include "testing/cable_pair.h"
#include "testing/result_printing.h"
#include "testing/wire_frames.h"

namespace tarnel::testing {

class LiteralPeer {
 public:
  static constexpr std::chrono::microseconds kReadGap{500};

  enum class Wait {
    /// Polls without sleeping (the start).
    kPatient,
    /// The handshake wait of the link's rules, sleeps and all. With it this end
    /// reads a reply code right after the wait, without the read gap above,
    /// and counts no late reads: its lateness is its own.
    kLiteral,
  };

  explicit LiteralPeer(CablePair& cable) : lines_(cable.peer_lines()) {}
  /// On a port of its own (end B of a cable, claimed at kTestPortBase),
  /// which must outlive this object.
  explicit LiteralPeer(Port& port) : lines_(port, kTestPortBase, Waiting::kPatient) {}

  void set_wait(Wait wait) { wait_ = wait; }
  /// A pause before each data frame but the first: before sending frame 2,
  /// 3, ... and before waiting for frame 2, 3, ...
  void set_frame_pause(std::chrono::milliseconds pause) { frame_pause_ = pause; }
  /// From `at` on, every handshake wait of this end that has not seen its
  /// level after its first reads gives up, as when the wait runs out: a test
  /// against a server that crawls then fails within its bound instead of
  /// running for hours. clear_deadline() lifts it.
  void set_deadline(std::chrono::steady_clock::time_point at) { deadline_ = at; }
  void clear_deadline() { deadline_.reset(); }

  /// Sends `bytes` as one frame and returns SEND_OK, SEND_REFUSED,
  /// SEND_TIMEOUT or SEND_ABORTED. REPLY_RESEND after the last byte starts
  /// the frame again: with the next of `copies` when there is one.
  SendResult send_bytes(const WireBytes& bytes);
  SendResult send_copies(const std::vector<WireBytes>& copies);
  SendResult send_frame(int32_t number, std::string_view payload);
  SendResult command(std::string_view text) { return send_frame(0, text); }

  /// Receives one frame expecting `number`: RECV_OK with the payload in
  /// *payload (when given), RECV_REFUSED or RECV_FAILED.
  RecvResult receive_frame(int32_t number, std::string* payload);
  /// A reply text, or "<failed N>".
  std::string reply();

  /// Watches for the bad-command signal (handshake pulses with nibble 0xE)
  /// without answering it, then for the lines to stay at rest (as
  /// wait_for_rest). True when both were seen.
  bool expect_bad_command();

  /// Waits until the server's lines have been at rest (handshake line low,
  /// nibble 0) for 250 ms, as after its abort and bad-command signals. False
  /// when that did not happen within 3 s.
  bool wait_for_rest();

  /// Reply codes after a last byte that this end read later than the server
  /// keeps them up (REPLY_HOLD_MS after this end's last write), because the
  /// scheduler held it up: an exchange with such a read proves nothing about
  /// the server and is best played again.
  int late_reads() const { return late_reads_; }

  /// How often the receiver asked for the frame again (REPLY_RESEND seen
  /// after a last byte) in the last send.
  int resends() const { return resends_; }

 private:
  /// One byte out; the reply code after it, or -1 when a wait ran out.
  int send_byte(uint8_t byte, bool last);
  /// Polls until status bit 7 reads `want`; the status, or -1 after ~2.1 s.
  /// With the literal wait: true or false as that wait gives (no status).
  int wait_bit7(bool want, std::chrono::microseconds gap);
  bool wait_literally(bool want);
  bool past_deadline() const;
  void pause_before(int32_t number);
  uint8_t read_after_gap(std::chrono::microseconds gap);
  void give_up();
  void signal_abort();

  Lines lines_;
  Wait wait_ = Wait::kPatient;
  std::chrono::milliseconds frame_pause_{0};
  std::chrono::steady_clock::time_point last_read_{};
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  int resends_ = 0;
  int late_reads_ = 0;
};

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_LITERAL_PEER_H_

// The client's end of a cable for tests: a patient end B that speaks frames
// and texts with the server, built on the link itself.
#ifndef TARNEL_TESTING_PEER_H_
#define TARNEL_TESTING_PEER_H_

#include <string>
#include <string_view>
#include <vector>

#include "link/frame.h"
#include "link/lines.h"
#include "testing/cable_pair.h"
#include "testing/result_printing.h"

namespace tarnel::testing {

class Peer {
 public:
  explicit Peer(CablePair& cable) : lines_(cable.peer_lines()) {}

  Lines& lines() { return lines_; }

  /// Sends one command text; holds the last reply code about a millisecond
  /// first, so that a sender polling for it sees it. Returns the send result.
  SendResult send_command(std::string_view text);
  /// Receives one reply text (frame number 0). Returns the receive result.
  RecvResult receive_reply(std::string& text);
  /// Receives the reply and returns it, or "<failed N>" when it did not come.
  std::string reply();
  /// Receives a data frame expecting `number`; the payload goes to *payload.
  RecvResult receive_data(int32_t number, std::string* payload);
  /// Sends a data frame with `number` and `payload`. `hold`: wait about a
  /// millisecond first, as after a received reply; a frame that follows the
  /// peer's own previous frame needs no hold.
  SendResult send_data(int32_t number, std::string_view payload, bool hold = true);

  /// Watches for the bad-command signal (handshake pulses with nibble 0xE)
  /// without acknowledging them, then for the lines to come back to rest.
  /// True when the signal was seen within about 2.5 s.
  bool expect_bad_command();

  /// Waits until the peer's data register value `value` is seen (status
  /// masked with 0xF8, as computed for that value), up to `ms`.
  bool wait_for_status(uint8_t masked_status, unsigned ms);

 private:
  Lines lines_;
};

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_PEER_H_

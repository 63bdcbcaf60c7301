// The client's end of the link: commands out, replies and data in, over
// the same frames as the server (link/send, link/receive, link/text).
//
// The client waits patiently (Waiting::kPatient: polling without sleeps),
// never with the server's sleeping wait: two ends that both sleep after a
// burst of polls lock into a crawl. Where the roles swap (a frame received,
// the next one sent) it holds its last reply code (about a millisecond, or
// until the server has seen it; see ClientPort), since the server polls
// for that level.
#ifndef TARNEL_CLIENT_SESSION_H_
#define TARNEL_CLIENT_SESSION_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/charset.h"
#include "client/client_port.h"
#include "client/outcome.h"
#include "link/frame.h"
#include "link/lines.h"

namespace tarnel::client {

struct SessionSettings {
  /// How long a reply may take to begin (the server may scan a large file
  /// or directory first; it sends "WAIT" once a second during most scans).
  unsigned reply_timeout_ms = 10000;
  /// How long the server may keep a reply back with "WAIT" keep-alives
  /// (next_reply): a server that sends nothing else must not hold the
  /// client for ever.
  unsigned wait_limit_ms = 1800 * 1000;
  /// How long a data frame of a running transfer may take to begin.
  unsigned data_timeout_ms = 5000;
  /// How long connect() keeps trying to get "OK A" back: long enough for a
  /// server still recovering from a client killed in mid-frame (a 2 s wait,
  /// its abort signal, the bad-command signal) on a busy machine.
  unsigned connect_timeout_ms = 20000;
  /// Log every command, reply and link event on standard error, with the
  /// time since the start.
  bool verbose = false;
  /// The code page of the server's names: every command is sent in it
  /// (its path converted from UTF-8), and listings are read in it.
  Charset charset;
};

class Session {
 public:
  /// `lines` work on `port`.
  Session(Lines& lines, ClientPort& port, SessionSettings settings)
      : lines_(lines), port_(port), settings_(settings) {}
  /// Puts this end's data lines to rest.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  /// Brings the link into step and sends "CONNECT": puts this end's lines
  /// to rest, waits for the server's to come to rest, and tries again after
  /// a failed frame or a bad-command signal (left over from an earlier
  /// client that stopped mid-frame) until the connect timeout. The reply
  /// ("OK A") goes to *reply.
  Outcome connect(std::string* reply);

  /// Sends one command text (at most 255 bytes once in the code page of the
  /// settings, which it is converted to).
  Outcome send_command(std::string_view text);

  /// Receives one reply text. The server's bad-command signal, which comes
  /// in place of a reply, is recognised and not acknowledged.
  /// `timeout_ms` 0: the reply timeout of the settings.
  Outcome receive_reply(std::string* text, unsigned timeout_ms = 0);
  /// receive_reply, passing over the keep-alive "WAIT", for at most the
  /// wait limit of the settings.
  Outcome next_reply(std::string* text, unsigned timeout_ms = 0);
  /// The failure when the "WAIT" replies that came since `since` have
  /// kept the reply back longer than the wait limit; else Outcome::Ok().
  Outcome check_wait_limit(std::chrono::steady_clock::time_point since) const;

  /// Receives data frame `number` of a stream into `frame`. `what` names
  /// the stream in messages ("the listing", "the file").
  Outcome receive_data(int32_t number, FrameBuffer& frame, const std::string& what);
  /// Sends one data frame (number and payload set by the caller).
  Outcome send_data(FrameBuffer& frame);

  /// Ends a stream the server is sending: its next frame is refused, so it
  /// stops at once instead of waiting out its handshake. Waits at most
  /// `wait_ms` for that frame.
  void refuse_next_frame(unsigned wait_ms);
  /// Ends a stream this end is sending: a cancel frame (number -1).
  void send_cancel();

  /// Waits until the server's handshake line is high (a frame begins) or
  /// the time runs out. True when a frame begins.
  bool frame_begins(unsigned wait_ms);

  /// Whether the server's resume offset is known to be 0: it sets it back
  /// after every download and every upload it carried out, so after a
  /// "GET"/"AGET" or an upload's "SIZE" of this session a further transfer
  /// from the start needs no "REST 0". False after connect().
  bool resume_offset_clear() const { return resume_offset_clear_; }
  void set_resume_offset_clear(bool clear) { resume_offset_clear_ = clear; }

  /// The send_frame result of the last frame this end sent (SEND_OK, ...).
  SendResult last_send_result() const { return last_send_result_; }

  const SessionSettings& settings() const { return settings_; }
  Lines& lines() { return lines_; }

 private:
  enum class Start { kFrame, kBadCommand, kSilent, kInterrupted };
  Start wait_frame_start(unsigned timeout_ms, bool stop_on_interrupt = true);
  bool settle(unsigned timeout_ms);
  bool bad_command_follows(unsigned timeout_ms);
  void wait_for_rest(unsigned timeout_ms);
  void hold_before_sending();

  void log(const std::string& event);
  SendResult send(FrameBuffer& frame);
  SendResult send_text(std::string_view text);

  Lines& lines_;
  ClientPort& port_;
  SessionSettings settings_;
  /// The last exchange was a frame received: hold the reply code before
  /// starting a frame.
  bool received_last_ = false;
  SendResult last_send_result_ = SendResult::SEND_OK;
  bool resume_offset_clear_ = false;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

/// Set by SIGINT, SIGTERM and SIGHUP; transfers look at it between frames.
bool interrupted();
/// Installs the handlers behind interrupted(); a second signal ends the
/// program at once.
void catch_interrupts();

}  // namespace tarnel::client

#endif  // TARNEL_CLIENT_SESSION_H_

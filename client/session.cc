#include "client/session.h"

#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>

#include "base/console.h"
#include "base/wire_words.h"
#include "link/receive.h"
#include "link/send.h"
#include "link/text.h"
#include "link/virtual_cable.h"

namespace tarnel::client {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

volatile sig_atomic_t interrupt_signal = 0;

void on_interrupt(int sig) { interrupt_signal = sig; }

// A cable file cut short by another program faults at the next access to its
// mapping: one line says so, and the access, retried once the handler
// returns, ends the program by SIGBUS under the default action (the handler
// is reset on entry). Only a fault the kernel raised (si_code > 0) has an
// address; a SIGBUS sent by kill() or sigqueue() has none.
void on_bus_error(int, siginfo_t* info, void*) {
  if (info->si_code > 0) {
    report_cut_cable(info->si_addr);
  } else {
    raise(SIGBUS);  // pending until the handler returns, then the default action
  }
}

/// The server's nibble lines carry 0xE (status 0x70 after masking) during
/// its abort and bad-command signals; a frame begins with nibble 0x8.
bool nibble_e(uint8_t status) { return peer_nibble(status) == Lines::kSignalNibble; }

std::string seconds_text(unsigned ms) {
  return std::to_string(ms / 1000) + (ms % 1000 ? "." + std::to_string(ms % 1000 / 100) : "") +
         " s";
}

std::string send_problem(SendResult result) {
  switch (result) {
    case SendResult::SEND_REFUSED:
      return "refused";
    case SendResult::SEND_ABORTED:
      return "aborted by the server";
    case SendResult::SEND_TIMEOUT:
      return "not acknowledged in time";
    default:
      return "failed";
  }
}

}  // namespace

bool interrupted() { return interrupt_signal != 0; }

void catch_interrupts() {
  struct sigaction sa = {};
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  // A second signal takes the default action: the program ends at once.
  sa.sa_flags = SA_RESETHAND;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  struct sigaction bus = {};
  bus.sa_sigaction = on_bus_error;
  sigemptyset(&bus.sa_mask);
  bus.sa_flags = SA_SIGINFO | SA_RESETHAND;
  sigaction(SIGBUS, &bus, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

Session::~Session() { lines_.clear_data_lines(); }

void Session::log(const std::string& event) {
  if (!settings_.verbose) return;
  const auto ms = std::chrono::duration_cast<milliseconds>(Clock::now() - start_).count();
  const std::string line = "[" + std::to_string(ms) + " ms] " + visible_text(event);
  std::fprintf(stderr, "%s\n", line.c_str());
}

void Session::hold_before_sending() {
  if (received_last_) port_.hold_reply_code();
  received_last_ = false;
}

SendResult Session::send(FrameBuffer& frame) {
  hold_before_sending();
  const SendResult sent = send_frame(lines_, frame);
  last_send_result_ = sent;
  if (sent != SendResult::SEND_OK || frame.number == FRAME_CANCEL) {
    log("-> frame " + std::to_string(frame.number) + " (" + std::to_string(frame.length) +
        " bytes): " + (sent == SendResult::SEND_OK ? "taken" : send_problem(sent)));
  }
  return sent;
}

SendResult Session::send_text(std::string_view text) {
  hold_before_sending();
  SendResult sent =
      SendResult::SEND_ABORTED;  // set to the frame's result: this end's link is never busy
  tarnel::send_text(lines_, text, &sent);
  last_send_result_ = sent;
  log("-> " + std::string(text) +
      (sent == SendResult::SEND_OK ? "" : "  (" + send_problem(sent) + ")"));
  return sent;
}

Session::Start Session::wait_frame_start(unsigned timeout_ms, bool stop_on_interrupt) {
  // Looked at first as well: a server that keeps sending frames at once
  // must not keep an interrupt from being seen.
  if (stop_on_interrupt && interrupted()) return Start::kInterrupted;
  const auto deadline = Clock::now() + milliseconds(timeout_ms);
  for (;;) {
    for (int n = 0; n < 1000; ++n) {
      if (handshake_bit(lines_.read_status())) continue;
      // Read once more: the nibble lines are taken with the handshake line
      // settled, as the receiver of a frame does.
      const uint8_t status = lines_.read_status();
      if (handshake_bit(status)) continue;
      return nibble_e(status) ? Start::kBadCommand : Start::kFrame;
    }
    if (stop_on_interrupt && interrupted()) return Start::kInterrupted;
    if (Clock::now() >= deadline) return Start::kSilent;
    // Let the server run when both share few cores; this is no sleep.
    sched_yield();
  }
}

bool Session::frame_begins(unsigned wait_ms) { return wait_frame_start(wait_ms) == Start::kFrame; }

void Session::wait_for_rest(unsigned timeout_ms) {
  // After its bad-command signal the server clears its lines: handshake
  // line low, nibble 0. Nothing is acknowledged meanwhile.
  const auto deadline = Clock::now() + milliseconds(timeout_ms);
  while (Clock::now() < deadline) {
    if ((lines_.read_status() & Lines::kStatusLines) == Lines::kStatusHandshake) return;
    sched_yield();
  }
}

bool Session::bad_command_follows(unsigned timeout_ms) {
  const auto deadline = Clock::now() + milliseconds(timeout_ms);
  while (Clock::now() < deadline) {
    const uint8_t status = lines_.read_status();
    if (!handshake_bit(status) && nibble_e(status)) return true;
    sched_yield();
  }
  return false;
}

bool Session::settle(unsigned timeout_ms) {
  // The server's lines are at rest with its handshake line low and its
  // nibble lines not at 0xE: found so at the first look, nothing is under
  // way, and this end goes at once. Otherwise a frame or a signal is under
  // way, and the lines count as at rest once the handshake line has stayed
  // low for 20 ms, or 300 ms while the nibble lines show 0xE, since the abort
  // and bad-command signals hold that pattern for 50 to 100 ms at a time and
  // one may follow the other after an instant at rest.
  const uint8_t first = lines_.read_status();
  if (handshake_bit(first) && !nibble_e(first)) return true;
  const auto start = Clock::now();
  const auto deadline = start + milliseconds(timeout_ms);
  uint8_t last = lines_.read_status() & Lines::kStatusLines;
  auto since = start;
  for (;;) {
    const uint8_t status = lines_.read_status() & Lines::kStatusLines;
    const auto now = Clock::now();
    if (status != last) {
      last = status;
      since = now;
    }
    if (handshake_bit(status)) {
      const auto need = milliseconds(nibble_e(status) ? 300 : 20);
      if (now - since >= need) return true;
    }
    if (now >= deadline) return false;
    lines_.delay_ms(1);
  }
}

Outcome Session::connect(std::string* reply) {
  resume_offset_clear_ = false;
  lines_.init_control_lines();
  lines_.clear_data_lines();
  const auto deadline = Clock::now() + milliseconds(settings_.connect_timeout_ms);
  auto left_ms = [&] {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    return static_cast<unsigned>(std::max<long long>(left, 0));
  };
  bool server_seen = false;  // some frame exchange got an answer
  int timeouts = 0;
  std::string problem;
  for (;;) {
    if (interrupted()) return Outcome::Fail(Exit::kInterrupted, "interrupted");
    if (!settle(std::max(left_ms(), 400u))) {
      problem = "the other end holds its handshake line raised";
      break;
    }
    log("lines at rest; connecting");
    const SendResult sent = send_text(COMMAND_CONNECT);
    if (sent == SendResult::SEND_OK) {
      server_seen = true;
      const Start start = wait_frame_start(std::min(settings_.reply_timeout_ms, 3000u));
      if (start == Start::kFrame) {
        std::string text;
        RecvResult r = RecvResult::RECV_FAILED;
        receive_command(lines_, text, &r);
        if (r == RecvResult::RECV_OK) {
          received_last_ = true;
          if (text.substr(0, 2) == ANSWER_OK) {
            *reply = text;
            return Outcome::Ok();
          }
          problem = "unexpected answer \"" + text + "\"";
        } else {
          lines_.clear_data_lines();
          problem = "the answer frame failed";
        }
      } else if (start == Start::kBadCommand) {
        wait_for_rest(1000);
        problem = "the server did not take the command";
      } else if (start == Start::kInterrupted) {
        return Outcome::Fail(Exit::kInterrupted, "interrupted");
      } else {
        problem = "no answer to CONNECT";
      }
    } else if (sent == SendResult::SEND_TIMEOUT) {
      ++timeouts;
      problem = "the CONNECT frame was " + send_problem(sent);
    } else {
      server_seen = true;
      problem = "the CONNECT frame was " + send_problem(sent);
    }
    if (left_ms() == 0) break;
    if (!server_seen && timeouts >= 2) break;
  }
  if (!server_seen) return Outcome::Fail(Exit::kNoServer, "no server answering: " + problem);
  return Outcome::Fail(Exit::kLink, "cannot connect: " + problem);
}

Outcome Session::send_command(std::string_view utf8) {
  std::string converted;
  if (!settings_.charset.from_utf8(utf8, &converted)) {
    return Outcome::Fail(Exit::kUsage, "\"" + std::string(utf8) + "\" cannot be written in " +
                                           settings_.charset.name());
  }
  if (converted.size() > TEXT_MAX) {
    return Outcome::Fail(Exit::kUsage,
                         "the command \"" + std::string(utf8) + "\" is longer than 255 bytes");
  }
  const std::string_view text = converted;
  const SendResult sent = send_text(text);
  if (sent == SendResult::SEND_OK) return Outcome::Ok();
  // A server that does not know the command answers with its bad-command
  // signal at once; its first level (nibble 0xE, handshake line low) can
  // replace the acceptance of the frame's last byte before this end looks,
  // and then reads as an abort. A server that failed to receive the frame
  // ends with the same signal. Either way the command was not carried out.
  if (sent == SendResult::SEND_ABORTED && bad_command_follows(300)) {
    wait_for_rest(1000);
    return Outcome::Fail(Exit::kBadCommand, "the server did not take the command \"" +
                                                std::string(text) + "\" (bad-command signal)");
  }
  return Outcome::Fail(Exit::kLink,
                       "the command \"" + std::string(text) + "\" was " + send_problem(sent));
}

Outcome Session::receive_reply(std::string* text, unsigned timeout_ms) {
  if (timeout_ms == 0) timeout_ms = settings_.reply_timeout_ms;
  switch (wait_frame_start(timeout_ms)) {
    case Start::kFrame:
      break;
    case Start::kBadCommand:
      log("<- bad-command signal");
      wait_for_rest(1000);
      return Outcome::Fail(Exit::kBadCommand,
                           "the server does not know the command (bad-command signal)");
    case Start::kInterrupted:
      return Outcome::Fail(Exit::kInterrupted, "interrupted");
    case Start::kSilent:
      return Outcome::Fail(Exit::kLink,
                           "no reply from the server within " + seconds_text(timeout_ms));
  }
  RecvResult r = RecvResult::RECV_FAILED;
  receive_command(lines_, *text, &r);
  if (r == RecvResult::RECV_OK) {
    received_last_ = true;
    log("<- " + *text);
    return Outcome::Ok();
  }
  log("<- reply failed (" + std::to_string(static_cast<int>(r)) + ")");
  lines_.clear_data_lines();
  return Outcome::Fail(Exit::kLink,
                       r == RecvResult::RECV_REFUSED
                           ? "the server sent a data or cancel frame instead of a reply"
                           : "a reply frame failed");
}

Outcome Session::next_reply(std::string* text, unsigned timeout_ms) {
  const auto since = Clock::now();
  for (;;) {
    Outcome o = receive_reply(text, timeout_ms);
    if (!o.ok() || *text != ANSWER_WAIT) return o;
    o = check_wait_limit(since);
    if (!o.ok()) return o;
  }
}

Outcome Session::check_wait_limit(Clock::time_point since) const {
  if (Clock::now() - since < milliseconds(settings_.wait_limit_ms)) return Outcome::Ok();
  return Outcome::Fail(Exit::kLink, "the server kept its reply back with \"WAIT\" for more than " +
                                        seconds_text(settings_.wait_limit_ms) + " (--wait-limit)");
}

Outcome Session::receive_data(int32_t number, FrameBuffer& frame, const std::string& what) {
  switch (wait_frame_start(settings_.data_timeout_ms)) {
    case Start::kFrame:
    case Start::kBadCommand:  // not sent during a stream: let the frame layer judge it
      break;
    case Start::kInterrupted:
      return Outcome::Fail(Exit::kInterrupted, "interrupted");
    case Start::kSilent:
      return Outcome::Fail(Exit::kLink, what + " stopped: frame " + std::to_string(number) +
                                            " did not come within " +
                                            seconds_text(settings_.data_timeout_ms));
  }
  frame.number = number;
  const RecvResult r = receive_frame(lines_, frame);
  if (r == RecvResult::RECV_OK) {
    received_last_ = true;
    return Outcome::Ok();
  }
  log("<- frame " + std::to_string(number) + " failed (" + std::to_string(static_cast<int>(r)) +
      ")");
  lines_.clear_data_lines();
  if (r == RecvResult::RECV_REFUSED) {
    return Outcome::Fail(Exit::kLink, "the server gave up " + what + " (cancel frame, or frame " +
                                          std::to_string(number) + " out of order)");
  }
  return Outcome::Fail(Exit::kLink, "frame " + std::to_string(number) + " of " + what + " failed");
}

Outcome Session::send_data(FrameBuffer& frame) {
  const SendResult sent = send(frame);
  if (sent == SendResult::SEND_OK) return Outcome::Ok();
  return Outcome::Fail(Exit::kLink,
                       "data frame " + std::to_string(frame.number) + " was " + send_problem(sent));
}

void Session::refuse_next_frame(unsigned wait_ms) {
  if (wait_frame_start(wait_ms, false) != Start::kFrame) return;
  FrameBuffer frame;
  frame.number = FRAME_CANCEL;  // expecting -1, the receiver refuses any other frame
  receive_frame(lines_, frame);
  // The refusal is a level that the server must see before the lines go
  // to rest, or it reads their rest as the frame accepted.
  port_.hold_reply_code();
  lines_.clear_data_lines();
}

void Session::send_cancel() {
  FrameBuffer frame;
  frame.number = FRAME_CANCEL;
  frame.length = 0;
  send(frame);
}

}  // namespace tarnel::client

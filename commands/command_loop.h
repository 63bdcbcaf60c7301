// The server's main loop: waits for the client or a key press, receives one
// command at a time and carries it out.
#ifndef TARNEL_COMMANDS_COMMAND_LOOP_H_
#define TARNEL_COMMANDS_COMMAND_LOOP_H_

#include <string_view>

#include "base/console.h"
#include "files/file_system.h"
#include "files/names.h"
#include "link/lines.h"

namespace tarnel {

/// Runs until the abort flag is set (a key pressed on the console). Every
/// file service reaches the disk through `fs`. The client's names are read
/// and shown as `names` says (its code page and the stand-ins; names as
/// bytes by default).
void command_loop(Lines& lines, Console& console, FileSystem& fs,
                  const ClientNames& names = ClientNames());

/// Polls until the client begins a frame (status bit 7 reads 0) or a key is
/// pending, sleeping 50 ms after each poll that finds the client silent.
/// Sets the abort flag from the key; true when the client calls and no key
/// is pending.
bool wait_for_client(Lines& lines, Console& console);

/// After a command the loop watches the lines closely for a while before it
/// goes back to the idle poll of wait_for_client: a client that sends its
/// next command at once is answered without waiting out a 50 ms sleep.
/// WATCH_POLLS polls, WATCH_SLEEP_MS apart: about a second, far more than
/// the pause between two commands of one task (tens of ms for tarnel-client,
/// which starts once per command and first waits 20 ms for quiet lines), and
/// short enough that an idle server soon costs only its idle poll again.
/// 1 ms between polls adds about half a millisecond to a command on average
/// (bench/command_bench.cc); a key press is seen at every poll.
constexpr unsigned WATCH_POLLS = 1000;
constexpr uint16_t WATCH_SLEEP_MS = 1;

enum class Watch {
  kCalling,  // the client has begun a frame
  kKey,      // a key is pending (the abort flag is set)
  kQuiet,    // nobody called while the watch lasted
};

/// The close watch after a command: up to WATCH_POLLS + 1 polls with
/// WATCH_SLEEP_MS between them. Sets the abort flag from the key at every
/// poll; a pending key wins over a calling client.
Watch watch_for_client(Lines& lines, Console& console);

/// Writes the text (cut to 255 bytes) with its control bytes made visible
/// (visible_text) and ends the line. With a code page the text is shown in
/// UTF-8, the local side's, so that the names read as the other PC shows
/// them (a text with a byte the code page leaves undefined is shown as it
/// came).
void console_echo(Console& console, std::string_view text, const Charset& charset = Charset());

/// Answers "CONNECT" with "OK A"; true when the client took it.
bool send_connect_reply(Lines& lines);

}  // namespace tarnel

#endif  // TARNEL_COMMANDS_COMMAND_LOOP_H_

// The server's main loop: waits for the client or a key press, receives one
// command at a time and carries it out.
#ifndef TARNEL_COMMANDS_COMMAND_LOOP_H_
#define TARNEL_COMMANDS_COMMAND_LOOP_H_

#include <string_view>

#include "link/lines.h"
#include "startup/console.h"

namespace tarnel {

/// Runs until the abort flag is set (a key pressed on the console).
void command_loop(Lines& lines, Console& console);

/// Polls until the client begins a frame (status bit 7 reads 0) or a key is
/// pending, sleeping 50 ms after each poll that finds the client silent.
/// Sets the abort flag from the key; true when the client calls and no key
/// is pending.
bool wait_for_client(Lines& lines, Console& console);

/// Writes the text (cut to 255 bytes) with its control bytes made visible
/// (visible_text) and ends the line.
void console_echo(Console& console, std::string_view text);

/// Answers "CONNECT" with "OK A"; true when the client took it.
bool send_connect_reply(Lines& lines);

}  // namespace tarnel

#endif  // TARNEL_COMMANDS_COMMAND_LOOP_H_

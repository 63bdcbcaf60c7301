// The server's main loop: waits for the client or a key press, receives one
// command at a time and carries it out.
#ifndef TARNEL_COMMANDS_COMMAND_LOOP_H_
#define TARNEL_COMMANDS_COMMAND_LOOP_H_

#include "link/lines.h"
#include "startup/console.h"

namespace tarnel {

/// Runs until the abort flag is set (a key pressed on the console).
void command_loop(Lines& lines, Console& console);

}  // namespace tarnel

#endif  // TARNEL_COMMANDS_COMMAND_LOOP_H_

#include "commands/command_loop.h"

namespace tarnel {

void command_loop(Lines& lines, Console& console) {
  lines.init_control_lines();
  lines.clear_data_lines();
  abort_flag = false;
  while (!abort_flag) {
    lines.read_status();
    lines.delay_ms(50);
    abort_flag = console.key_pending();
  }
}

}  // namespace tarnel

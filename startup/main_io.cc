// tarnel: the server on a real printer port.
#include <string>
#include <vector>

#include "link/io_port.h"
#include "startup/program.h"
#include "startup/usage.h"

int main(int argc, char** argv) {
  if (tarnel::print_info_option(std::vector<std::string>(argv + 1, argv + argc), "tarnel")) {
    return 0;
  }
  tarnel::StdConsole console;
  console.prepare();
  tarnel::IoPort port;
  tarnel::Identity identity;
  return tarnel::run_program(std::vector<std::string>(argv + 1, argv + argc), port, console,
                             identity);
}

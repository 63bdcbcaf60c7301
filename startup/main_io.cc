// tarnel: the server on a real printer port.
#include <string>
#include <vector>

#include "link/io_port.h"
#include "startup/program.h"

int main(int argc, char** argv) {
  tarnel::StdConsole console;
  console.prepare();
  tarnel::IoPort port;
  tarnel::Identity identity;
  return tarnel::run_program(std::vector<std::string>(argv + 1, argv + argc), port, console,
                             identity);
}

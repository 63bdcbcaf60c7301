// tarnel-sim: the server with the virtual cable in place of the printer
// port. Usage: tarnel-sim [OPTIONS] [portnr]
#include "base/standard_descriptors.h"
#include "startup/program.h"
#include "startup/server_main.h"

int main(int argc, char** argv) {
  if (!tarnel::open_standard_descriptors()) return tarnel::kExitStartFailed;
  return tarnel::server_main(tarnel::Server::kTarnelSim, argc, argv);
}

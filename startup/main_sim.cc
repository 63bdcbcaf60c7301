// tarnel-sim: the server with the virtual cable in place of the printer
// port. Usage: tarnel-sim [OPTIONS] [portnr]
#include "startup/server_main.h"

int main(int argc, char** argv) {
  return tarnel::server_main(tarnel::Server::kTarnelSim, argc, argv);
}

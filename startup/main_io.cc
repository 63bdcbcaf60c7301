// tarnel: the server on a real printer port. Usage: tarnel [OPTIONS] [portnr]
// With --device the port is reached through the kernel's parallel-port
// device (/dev/parportN), which needs no root rights; without it, through
// the I/O ports after ioperm.
#include "base/standard_descriptors.h"
#include "startup/program.h"
#include "startup/server_main.h"

int main(int argc, char** argv) {
  if (!tarnel::open_standard_descriptors()) return tarnel::kExitStartFailed;
  return tarnel::server_main(tarnel::Server::kTarnel, argc, argv);
}

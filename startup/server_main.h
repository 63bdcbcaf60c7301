// The entry of both servers, tarnel and tarnel-sim: the command line, the
// console, the port from the factory, and the run.
#ifndef TARNEL_STARTUP_SERVER_MAIN_H_
#define TARNEL_STARTUP_SERVER_MAIN_H_

#include "startup/options.h"

namespace tarnel {

/// main() of `server`: returns the exit status.
int server_main(Server server, int argc, char** argv);

}  // namespace tarnel

#endif  // TARNEL_STARTUP_SERVER_MAIN_H_

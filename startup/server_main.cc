#include "startup/server_main.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/charset.h"
#include "startup/cleanup.h"
#include "startup/console.h"
#include "startup/program.h"
#include "startup/sharing.h"
#include "startup/usage.h"

namespace tarnel {

int server_main(Server server, int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const char* name = server_name(server);
  if (print_info_option(args, name)) return 0;
  ServerOptions options;
  std::string error;
  bool unknown = false;
  if (!parse_server_options(server, args, &options, &error, &unknown)) {
    std::fprintf(stderr, "%s: %s\n", name, error.c_str());
    if (unknown) {
      std::fputs(server_synopsis(name).c_str(), stderr);
    }
    return kExitUsage;
  }
  // What is shared: the folder opened before anything else is done, so that
  // one that cannot be served ends the program at once.
  std::unique_ptr<SharedFiles> shared =
      SharedFiles::make(Sharing{options.root, options.read_only}, &error);
  if (!shared) {
    std::fprintf(stderr, "%s: %s\n", name, error.c_str());
    return kExitUsage;
  }
  ClientNames names;
  if (!options.charset.empty()) {
    Charset charset;
    if (!Charset::open(options.charset, &charset, &error)) {
      std::fprintf(stderr, "%s: --charset: %s\n", name, error.c_str());
      return kExitUsage;
    }
    names = ClientNames(charset);
  }
  StdConsole console;
  if (options.service) {
    console.prepare_service();
  } else {
    console.prepare();
  }
  catch_fatal_signals();
  MadePort made = make_port(port_request(server, options));
  if (made.backend->release_on_signal) at_program_end(made.backend->release_on_signal);
  Identity identity;
  return run_program(options, made.backend->claim, *made.port, console, identity, shared.get(),
                     names);
}

}  // namespace tarnel

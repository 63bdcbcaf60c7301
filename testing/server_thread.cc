#include "testing/server_thread.h"

#include "base/console.h"
#include "commands/command_loop.h"
#include "files/file_state.h"

namespace tarnel::testing {

ServerThread::ServerThread(CablePair& cable, FileSystem* fs, const ClientNames& names)
    : port_(cable.server_port()),
      lines_(port_, kTestPortBase, Waiting::kServer),
      fs_(fs != nullptr ? *fs : whole_),
      names_(names) {
  // A new run of the server starts from the start values, as the program
  // does; a test may run one server after another (a play tried again).
  abort_flag = false;
  reset_file_state();
  thread_ = std::thread([this] { command_loop(lines_, console_, fs_, names_); });
}

ServerThread::~ServerThread() { stop(); }

void ServerThread::stop() {
  if (!thread_.joinable()) return;
  console_.press_key();
  thread_.join();
}

}  // namespace tarnel::testing

#include "testing/server_thread.h"

#include "commands/command_loop.h"
#include "files/errors.h"
#include "files/transfers.h"
#include "base/console.h"

namespace tarnel::testing {

void reset_process_state() {
  abort_flag = false;
  reset_file_state();
}

ServerThread::ServerThread(CablePair& cable) : lines_(cable.server_lines()) {
  reset_process_state();
  thread_ = std::thread([this] { command_loop(lines_, console_); });
}

ServerThread::~ServerThread() { stop(); }

void ServerThread::stop() {
  if (!thread_.joinable()) return;
  console_.press_key();
  thread_.join();
}

}  // namespace tarnel::testing

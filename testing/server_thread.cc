#include "testing/server_thread.h"

#include "commands/command_loop.h"
#include "files/errors.h"
#include "files/resume.h"
#include "link/text.h"
#include "base/console.h"

namespace tarnel::testing {

void reset_process_state() {
  abort_flag = false;
  link_busy = false;
  reset_file_state();
  reset_existing_file_open_mode();
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

// The command loop on end A of a cable, in a thread of the test, with a fake
// console. The destructor presses the key and waits for the loop to end.
#ifndef TARNEL_TESTING_SERVER_THREAD_H_
#define TARNEL_TESTING_SERVER_THREAD_H_

#include <thread>

#include "files/file_system.h"
#include "files/names.h"
#include "link/lines.h"
#include "testing/cable_pair.h"
#include "testing/fake_console.h"

namespace tarnel::testing {

class ServerThread {
 public:
  /// Serves `fs`, or the whole file system when it is null, with the
  /// client's names read and shown as `names` says.
  explicit ServerThread(CablePair& cable, FileSystem* fs = nullptr,
                        const ClientNames& names = ClientNames());
  ~ServerThread();

  FakeConsole& console() { return console_; }
  /// Presses the key and waits until the loop has ended.
  void stop();
  bool running() const { return thread_.joinable(); }

 private:
  Lines lines_;
  WholeFileSystem whole_;
  FileSystem& fs_;
  ClientNames names_;
  FakeConsole console_;
  std::thread thread_;
};

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_SERVER_THREAD_H_

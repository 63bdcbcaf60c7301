// The command loop on end A of a cable, in a thread of the test, with a fake
// console. The destructor presses the key and waits for the loop to end.
#ifndef TARNEL_TESTING_SERVER_THREAD_H_
#define TARNEL_TESTING_SERVER_THREAD_H_

#include <thread>

#include "link/lines.h"
#include "testing/cable_pair.h"
#include "testing/fake_console.h"

namespace tarnel::testing {

class ServerThread {
 public:
  explicit ServerThread(CablePair& cable);
  ~ServerThread();

  FakeConsole& console() { return console_; }
  /// Presses the key and waits until the loop has ended.
  void stop();
  bool running() const { return thread_.joinable(); }

 private:
  Lines lines_;
  FakeConsole console_;
  std::thread thread_;
};

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_SERVER_THREAD_H_

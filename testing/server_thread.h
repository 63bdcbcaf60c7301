// The command loop on end A of a cable, in a thread of the test, with a fake
// console. The destructor presses the key and waits for the loop to end. The
// time the server asks to sleep is added up on the way (slept()).
#ifndef TARNEL_TESTING_SERVER_THREAD_H_
#define TARNEL_TESTING_SERVER_THREAD_H_

#include <atomic>
#include <chrono>
#include <thread>

#include "files/file_system.h"
#include "files/names.h"
#include "link/lines.h"
#include "testing/cable_pair.h"
#include "testing/fake_console.h"

namespace tarnel::testing {

/// Passes every access on to another port and adds up the sleeps asked for.
class SleepTallyPort : public PortWrapper {
 public:
  using PortWrapper::PortWrapper;
  void sleep_ms(unsigned ms) override {
    slept_us += uint64_t{ms} * 1000;
    PortWrapper::sleep_ms(ms);
  }
  void sleep_us(unsigned us) override {
    slept_us += us;
    PortWrapper::sleep_us(us);
  }

  /// Read by the test's thread while the server sleeps.
  std::atomic<uint64_t> slept_us{0};
};

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
  /// The sleeps the server has asked for so far, added up.
  std::chrono::microseconds slept() const {
    return std::chrono::microseconds(static_cast<int64_t>(port_.slept_us.load()));
  }

 private:
  SleepTallyPort port_;
  Lines lines_;
  WholeFileSystem whole_;
  FileSystem& fs_;
  ClientNames names_;
  FakeConsole console_;
  std::thread thread_;
};

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_SERVER_THREAD_H_

// A console for a server under test: records what it writes, and has a key
// that the test presses.
#ifndef TARNEL_TESTING_FAKE_CONSOLE_H_
#define TARNEL_TESTING_FAKE_CONSOLE_H_

#include <atomic>
#include <mutex>
#include <string>

#include "base/console.h"

namespace tarnel::testing {

class FakeConsole : public Console {
 public:
  void write(std::string_view text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    output_.append(text);
  }
  void end_line() override { write("\n"); }
  void error_line(std::string_view text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    errors_.append(text);
    errors_ += '\n';
  }
  bool key_pending() override { return key_.load(); }

  void press_key() { key_.store(true); }
  void release_key() { key_.store(false); }
  /// Everything written so far, lines ended with "\n".
  std::string output() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
  }
  /// The lines written for standard error.
  std::string errors() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    output_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::string output_;
  std::string errors_;
  std::atomic<bool> key_{false};
};

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_FAKE_CONSOLE_H_

#include "link/port.h"

#include <sys/select.h>

#include <cerrno>
#include <chrono>

namespace tarnel {

void select_sleep_ms(unsigned ms) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  timeval tv;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  // A signal may cut the sleep short; sleep out the rest.
  while (select(0, nullptr, nullptr, nullptr, &tv) < 0 && errno == EINTR) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now()).count();
    if (left <= 0) break;
    tv.tv_sec = left / 1000000;
    tv.tv_usec = left % 1000000;
  }
}

void Port::sleep_ms(unsigned ms) { select_sleep_ms(ms); }

}  // namespace tarnel

#include "link/port.h"

#include <sys/select.h>

#include <cerrno>
#include <chrono>

namespace tarnel {

void select_sleep_ms(unsigned ms) { select_sleep_us(ms * 1000); }

void select_sleep_us(unsigned us) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::microseconds(us);
  timeval tv;
  tv.tv_sec = us / 1000000;
  tv.tv_usec = us % 1000000;
  // A signal may cut the sleep short; sleep out the rest.
  while (select(0, nullptr, nullptr, nullptr, &tv) < 0 && errno == EINTR) {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now()).count();
    if (left <= 0) break;
    tv.tv_sec = left / 1000000;
    tv.tv_usec = left % 1000000;
  }
}

void Port::sleep_ms(unsigned ms) { select_sleep_ms(ms); }
void Port::sleep_us(unsigned us) { select_sleep_us(us); }
std::chrono::steady_clock::time_point Port::now() { return std::chrono::steady_clock::now(); }

}  // namespace tarnel

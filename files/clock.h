// The clock in whole seconds that paces the keep-alive "WAIT" of the
// listing, the download's text scan and the resume query.
#ifndef TARNEL_FILES_CLOCK_H_
#define TARNEL_FILES_CLOCK_H_

#include <time.h>

#include <cstdint>
#include <functional>

namespace tarnel {

/// A clock in whole seconds; only differences of its readings are used.
/// Tests hand in their own to make the keep-alive "WAIT" come when they want.
using SecondsClock = std::function<int64_t()>;

/// The default clock: monotonic, so that setting the system time back cannot
/// hold back the keep-alive.
inline int64_t monotonic_seconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec;
}

}  // namespace tarnel

#endif  // TARNEL_FILES_CLOCK_H_

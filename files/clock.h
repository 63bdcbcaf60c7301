// The clock in whole seconds that paces the keep-alive "WAIT" of the
// transfers and the listing.
#ifndef TARNEL_FILES_CLOCK_H_
#define TARNEL_FILES_CLOCK_H_

#include <cstdint>

namespace tarnel {

/// A clock in whole seconds; only differences of its readings are used.
/// Tests hand in their own to make the keep-alive "WAIT" come when they want.
using SecondsClock = int64_t (*)();
/// The default clock: monotonic, in whole seconds.
int64_t monotonic_seconds();

}  // namespace tarnel

#endif  // TARNEL_FILES_CLOCK_H_

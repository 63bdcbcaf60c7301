// User IDs and the one-way drop of root rights after the port is claimed.
#ifndef TARNEL_STARTUP_IDENTITY_H_
#define TARNEL_STARTUP_IDENTITY_H_

#include <sys/types.h>

#include <string>

namespace tarnel {

class Identity {
 public:
  virtual ~Identity() = default;
  virtual uid_t real_uid();
  virtual uid_t effective_uid();
  /// Sets the real, effective and saved user IDs (and group IDs) to the real
  /// ones, so root cannot be taken back, and checks that it took effect.
  /// On failure returns false with a one-line reason.
  virtual bool drop_root(std::string* why);
};

}  // namespace tarnel

#endif  // TARNEL_STARTUP_IDENTITY_H_

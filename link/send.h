#ifndef TARNEL_LINK_SEND_H_
#define TARNEL_LINK_SEND_H_

#include "link/frame.h"
#include "link/lines.h"

namespace tarnel {

/// Sends the frame in `frame` (length 0..4096, number and payload set by the
/// caller; magic is written here) and returns SEND_OK, SEND_REFUSED,
/// SEND_TIMEOUT or SEND_ABORTED. Resends from the first magic byte as often
/// as the receiver answers REPLY_RESEND; the receiver ends that repetition.
SendResult send_frame(Lines& lines, FrameBuffer& frame);

}  // namespace tarnel

#endif  // TARNEL_LINK_SEND_H_

#ifndef TARNEL_LINK_RECEIVE_H_
#define TARNEL_LINK_RECEIVE_H_

#include "link/frame.h"
#include "link/lines.h"

namespace tarnel {

/// Receives one frame into `frame`, whose `number` the caller sets to the
/// number it expects. Returns RECV_OK (length and data set), RECV_REFUSED
/// (a cancel frame, or a number one or two away) or RECV_FAILED (a wait ran
/// out, no frame magic, 11 checksum mismatches, a number further away, or a
/// length outside 0..4096; the peer is told with signal_abort).
int receive_frame(Lines& lines, FrameBuffer& frame);

}  // namespace tarnel

#endif  // TARNEL_LINK_RECEIVE_H_

#ifndef TARNEL_LINK_RECEIVE_H_
#define TARNEL_LINK_RECEIVE_H_

#include <functional>

#include "link/frame.h"
#include "link/lines.h"

namespace tarnel {

/// Takes an intact frame with the expected number (`length` set, payload in
/// `data`) before the frame is accepted, while the sender waits for the
/// reply code of its last byte. False when its data cannot be kept: the
/// frame is then refused instead (REPLY_REFUSE, RECV_REFUSED), so that the
/// sender never hears that a frame it sent is stored when it is not.
using FrameKeeper = std::function<bool(const FrameBuffer& frame)>;

/// Receives one frame into `frame`, whose `number` the caller sets to the
/// number it expects. Returns RECV_OK (length and data set), RECV_REFUSED
/// (a cancel frame, a number one or two away, or a frame `keep` could not
/// keep) or RECV_FAILED (a wait ran out, no frame magic, 11 checksum
/// mismatches, a number further away, or a length outside 0..4096; the peer
/// is told with signal_abort). `keep`, when given, is called once, for the
/// frame that is accepted or refused by it, and for no other.
RecvResult receive_frame(Lines& lines, FrameBuffer& frame, const FrameKeeper& keep = nullptr);

}  // namespace tarnel

#endif  // TARNEL_LINK_RECEIVE_H_

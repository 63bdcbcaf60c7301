// The frame receiver (the server's, waiting as the server does) fed
// arbitrary line activity by a sender that lives in the port.
//
// Input: 4 bytes, the frame number the receiver expects (little-endian);
// 1 byte whose bit 0 says whether the keeper keeps an accepted frame; then
// one byte per step. Each step is the status the receiver reads: bits 3-7
// as on the wire (the sender's nibble, its handshake line inverted), and
// bits 0-2, which always read 1 on a real port, say how long it lasts:
//   7      until the receiver's next write (as a sender answering in step)
//   0..6   for that many reads + 1 (a glitch, an edge without an answer)
// When the steps run out the last status stays: a silence, which the
// receiver's waits must end. Sleeps are counted, not taken, and the port
// keeps a time of its own.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "link/frame.h"
#include "link/lines.h"
#include "link/receive.h"
#include "link/text.h"

namespace {

class SenderPort : public tarnel::Port {
 public:
  SenderPort(const uint8_t* steps, size_t count) : steps_(steps), count_(count) { take(); }

  bool claim(int, uint16_t, std::string*) override { return true; }
  uint8_t port_in(uint16_t) override {
    ++reads;
    const uint8_t shown = static_cast<uint8_t>(status_ | tarnel::Lines::kStatusUnwired);
    if (reads_left_ > 0 && --reads_left_ == 0) take();
    return shown;
  }
  void port_out(uint16_t address, uint8_t value) override {
    if (address != 0x378) return;
    // The receiver's data lines: bits 5-7 must stay 0.
    if (value & tarnel::Lines::kDataUnwired) std::abort();
    ++writes;
    if (reads_left_ == 0) take();
  }
  void sleep_ms(unsigned ms) override { slept_us += uint64_t{ms} * 1000; }
  void sleep_us(unsigned us) override { slept_us += us; }
  // The port's own time: a read takes 1 us, as on a real port.
  std::chrono::steady_clock::time_point now() override {
    return std::chrono::steady_clock::time_point() +
           std::chrono::microseconds(static_cast<int64_t>(reads + slept_us));
  }

  uint64_t reads = 0, writes = 0, slept_us = 0;

 private:
  void take() {
    if (next_ >= count_) {
      reads_left_ = -1;  // hold the last status for ever
      return;
    }
    const uint8_t step = steps_[next_++];
    status_ = step & tarnel::Lines::kStatusLines;
    reads_left_ = (step & 0x07) == 7 ? 0 : (step & 0x07) + 1;
  }

  const uint8_t* steps_;
  size_t count_;
  size_t next_ = 0;
  uint8_t status_ = tarnel::Lines::kStatusHandshake;  // at rest: handshake line low
  int reads_left_ = 0;                                // 0: until the next write; -1: for ever
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const int32_t expected = static_cast<int32_t>(tarnel::load_le32(data));
  const bool keeps = data[4] & 1;
  SenderPort port(data + 5, size - 5);
  tarnel::Lines lines(port, 0x378, tarnel::Waiting::kServer);
  static tarnel::FrameBuffer frame;
  frame.number = expected;
  frame.length = -12345;
  int kept = 0;
  const tarnel::RecvResult result =
      tarnel::receive_frame(lines, frame, [&](const tarnel::FrameBuffer& f) {
        ++kept;
        if (f.length < 0 || f.length > tarnel::FRAME_MAX_PAYLOAD || f.number != expected) {
          std::abort();
        }
        return keeps;
      });
  if (result != tarnel::RecvResult::RECV_OK && result != tarnel::RecvResult::RECV_REFUSED &&
      result != tarnel::RecvResult::RECV_FAILED)
    std::abort();
  if (kept > 1) std::abort();
  if (result == tarnel::RecvResult::RECV_OK &&
      (kept != 1 || frame.length < 0 || frame.length > tarnel::FRAME_MAX_PAYLOAD))
    std::abort();
  // Each step is used by at most one write or a few reads, and a silence
  // ends within the waits' limit: the reads stay bounded by the input.
  const uint64_t bound = (size + 2) * 2 * (21 * 10000 + 4);
  if (port.reads > bound) {
    std::fprintf(stderr, "%llu reads for %zu input bytes\n",
                 static_cast<unsigned long long>(port.reads), size);
    std::abort();
  }
  return 0;
}

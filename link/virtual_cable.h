// The virtual cable: a shared 4096-byte file that stands in for two printer
// ports joined by the crosswise file-transfer cable. Each end maps the file
// and owns its own registers and counters in it.
//
//   offset size  field
//        0    8  magic "LPTCABL1"                      (creator)
//        8    4  bus_ns, least time of one access      (creator)
//       16    1  end A data register                   (end A)
//       17    1  end B data register                   (end B)
//       18    1  end A control register                (end A)
//       19    1  end B control register                (end B)
//       32    8  end A port reads, 40: end A writes    (end A)
//       48    8  end B port reads, 56: end B writes    (end B)
//       64    8  end A data writes with bit 5-7 set    (end A)
//       72    8  end B, the same                       (end B)
//   all other bytes reserved, 0; multi-byte fields little-endian.
//
// The status an end reads is built from the other end's data register:
// 0x07 | (nibble << 3) | (D4 ? 0x00 : 0x80).
//
// An end is claimed by one holder at a time: a write lock on the byte of its
// data register (offset 16 for end A, 17 for end B), taken as an open file
// description lock, so that the two ends of one file never conflict and the
// kernel frees the claim when its holder dies, however it dies. The lock
// changes nothing in the file.
#ifndef TARNEL_LINK_VIRTUAL_CABLE_H_
#define TARNEL_LINK_VIRTUAL_CABLE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "link/lines.h"
#include "link/port.h"

namespace tarnel {

class VirtualCable {
 public:
  enum End { kEndA = 0, kEndB = 1 };
  static constexpr size_t kFileSize = 4096;

  /// Opens the cable file at path, creating it with bus_ns_if_created when it
  /// is absent or empty. A file of another size or with another magic is
  /// refused and left as it is: returns nullptr with a one-line reason.
  /// The file is opened, or created, with the rights of the real user (a
  /// set-user-ID program gets no more than its caller), and a new file is
  /// never created through a symbolic link.
  static std::unique_ptr<VirtualCable> open(const std::string& path, uint32_t bus_ns_if_created,
                                            std::string* why);
  /// Claims `end` for as long as this object lives (see the lock above).
  /// False, with a one-line reason, when another holder has it.
  bool claim_end(End end, const std::string& path, std::string* why);
  ~VirtualCable();
  VirtualCable(const VirtualCable&) = delete;
  VirtualCable& operator=(const VirtualCable&) = delete;

  uint32_t bus_ns() const { return bus_ns_; }

  // One port access each: counted, and taking at least bus_ns.
  uint8_t read_status(End me);
  void write_data(End me, uint8_t value);
  void write_control(End me, uint8_t value);
  /// An access to an address the port does not decode: counted and timed.
  void count_other_access(End me, bool is_write);

  // Inspection without counting (tests, benchmarks).
  uint8_t data_register(End end) const;
  uint8_t control_register(End end) const;
  uint64_t reads(End end) const;
  uint64_t writes(End end) const;
  uint64_t high_bit_writes(End end) const;

  /// The status value that an end sees for the peer's data register value.
  static uint8_t status_for(uint8_t peer_data) {
    return static_cast<uint8_t>(
        Lines::kStatusUnwired | (peer_data & Lines::kDataNibble) << Lines::kStatusNibbleShift |
        ((peer_data & Lines::kDataHandshake) ? 0x00 : Lines::kStatusHandshake));
  }

 private:
  VirtualCable(int fd, uint8_t* map, uint32_t bus_ns, const std::string& path);
  void bump(size_t offset);
  void spend_bus_time(uint64_t start_ns);

  int fd_;  // kept open: the claim of an end lives on it
  uint8_t* map_;
  int mapping_slot_ = -1;  // where report_cut_cable() finds the mapping
  uint32_t bus_ns_;
};

/// For a SIGBUS handler: when `address` lies in the mapping of a cable file
/// this process holds open (the fault another program causes by cutting the
/// file short), writes to standard error the line
/// "<program>: the cable file <path> was cut short by another program; ending."
/// and returns true; otherwise writes nothing and returns false.
/// Async-signal-safe.
bool report_cut_cable(const void* address);

/// One end of a virtual cable as a Port. The file is opened when the port is
/// claimed; an empty path means "tarnel-lpt<portnr>.cable" in the current
/// directory.
class CablePort : public Port {
 public:
  CablePort(std::string path, VirtualCable::End end, uint32_t bus_ns_if_created = 1000)
      : path_(std::move(path)), end_(end), bus_ns_if_created_(bus_ns_if_created) {}

  bool claim(int port_number, uint16_t base, std::string* why) override;
  std::string own_file() const override { return path_; }
  uint8_t port_in(uint16_t address) override;
  void port_out(uint16_t address, uint8_t value) override;

  /// The open cable, once claimed.
  VirtualCable* cable() { return cable_.get(); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  VirtualCable::End end_;
  uint32_t bus_ns_if_created_;
  static constexpr unsigned kReadsBeforeYield = 64;
  uint16_t base_ = 0;
  std::unique_ptr<VirtualCable> cable_;
  uint8_t last_status_ = 0;
  unsigned unchanged_reads_ = 0;
};

/// "tarnel-lpt<portnr>.cable"
std::string default_cable_path(int port_number);

}  // namespace tarnel

#endif  // TARNEL_LINK_VIRTUAL_CABLE_H_

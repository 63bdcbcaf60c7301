// A fresh virtual cable in a temporary directory, with both ends claimed:
// end A for the server, end B for a peer.
#ifndef TARNEL_TESTING_CABLE_PAIR_H_
#define TARNEL_TESTING_CABLE_PAIR_H_

#include <cstdint>
#include <memory>
#include <string>

#include "link/lines.h"
#include "link/virtual_cable.h"
#include "testing/temp_dir.h"

namespace tarnel::testing {

constexpr uint16_t kTestPortBase = 0x378;

class CablePair {
 public:
  explicit CablePair(uint32_t bus_ns = 0);

  const std::string& path() const { return path_; }
  TempDir& dir() { return dir_; }
  CablePort& server_port() { return *server_port_; }
  CablePort& peer_port() { return *peer_port_; }
  VirtualCable& cable() { return *server_port_->cable(); }

  /// Lines on end A that wait as the server does.
  Lines server_lines() { return Lines(*server_port_, kTestPortBase, Waiting::kServer); }
  /// Lines on end B that wait patiently.
  Lines peer_lines() { return Lines(*peer_port_, kTestPortBase, Waiting::kPatient); }

 private:
  TempDir dir_;
  std::string path_;
  std::unique_ptr<CablePort> server_port_;
  std::unique_ptr<CablePort> peer_port_;
};

}  // namespace tarnel::testing

#endif  // TARNEL_TESTING_CABLE_PAIR_H_

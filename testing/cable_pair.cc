#include "testing/cable_pair.h"

#include <gtest/gtest.h>

namespace tarnel::testing {

CablePair::CablePair(uint32_t bus_ns) : path_(dir_.file("test.cable")) {
  server_port_ = std::make_unique<CablePort>(path_, VirtualCable::kEndA, bus_ns);
  peer_port_ = std::make_unique<CablePort>(path_, VirtualCable::kEndB, bus_ns);
  std::string why;
  if (!server_port_->claim(1, kTestPortBase, &why)) ADD_FAILURE() << why;
  if (!peer_port_->claim(1, kTestPortBase, &why)) ADD_FAILURE() << why;
}

}  // namespace tarnel::testing

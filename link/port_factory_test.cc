// The port factory: which backend a command line chooses.
#include "link/port_factory.h"

#include <gtest/gtest.h>

#include <string>

#include "link/device_port.h"
#include "link/gpio_port.h"
#include "link/io_port.h"
#include "link/port.h"

namespace tarnel {
namespace {

TEST(PortFactory, ChoosesTheBackendFromTheRequest) {
  struct Case {
    std::string device;
    bool io_ports;
    const char* backend;
    PortClaim claim;
    std::string gpio = "";
  };
  const Case cases[] = {
      {"/dev/parport1", true, "device", PortClaim::kDevice},
      {"/dev/parport1", false, "device", PortClaim::kDevice},
      {"", true, "ioperm", PortClaim::kIoPorts},
      {"", false, "cable", PortClaim::kCable},
      {"", true, "gpio", PortClaim::kGpio, "gpiochip4"},
      {"", false, "gpio", PortClaim::kGpio, "/dev/gpiochip0"},
  };
  for (const Case& c : cases) {
    PortRequest request;
    request.device = c.device;
    request.io_ports = c.io_ports;
    request.gpio_chip = c.gpio;
    request.cable = "some.cable";
    MadePort made = make_port(request);
    ASSERT_NE(made.backend, nullptr);
    ASSERT_NE(made.port, nullptr);
    EXPECT_STREQ(made.backend->name, c.backend);
    EXPECT_EQ(made.backend->claim, c.claim);
    if (c.claim == PortClaim::kDevice) {
      auto* device = dynamic_cast<DevicePort*>(made.port.get());
      ASSERT_NE(device, nullptr);
      EXPECT_EQ(device->device(), c.device);
      EXPECT_FALSE(device->claimed()) << "made, not claimed";
      EXPECT_EQ(made.backend->release_on_signal, &release_device_on_signal);
    } else if (c.claim == PortClaim::kGpio) {
      auto* gpio = dynamic_cast<GpioPort*>(made.port.get());
      ASSERT_NE(gpio, nullptr);
      EXPECT_EQ(gpio->own_file(), gpio_chip_path(c.gpio));
      EXPECT_EQ(gpio->own_file().rfind("/dev/gpiochip", 0), 0u);
      EXPECT_FALSE(gpio->claimed()) << "made, not claimed";
      EXPECT_EQ(made.backend->release_on_signal, &release_gpio_on_signal);
    } else if (c.claim == PortClaim::kIoPorts) {
      EXPECT_NE(dynamic_cast<IoPort*>(made.port.get()), nullptr);
    } else {
      auto* cable = dynamic_cast<CablePort*>(made.port.get());
      ASSERT_NE(cable, nullptr);
      EXPECT_EQ(cable->path(), "some.cable");
      EXPECT_EQ(cable->cable(), nullptr) << "no file is touched before the claim";
    }
  }
  EXPECT_EQ(port_backends().size(), 4u);
}

// A decorator passes on every call it does not change. The file the port
// stands on matters most: the server keeps it out of the client's reach, and
// a wrapper that answered "none" would leave the cable or the device open to
// the client's commands.
TEST(PortWrapper, PassesOnEveryCallItDoesNotChange) {
  class Backend : public Port {
   public:
    uint16_t base_address(int, uint16_t) override { return 0xD010; }
    bool claim(int port_number, uint16_t base, std::string* why) override {
      *why = "claimed " + std::to_string(port_number) + " at " + std::to_string(base);
      return false;
    }
    std::string own_file() const override { return "/dev/parport3"; }
    uint8_t port_in(uint16_t address) override { return static_cast<uint8_t>(address + 1); }
    void port_out(uint16_t address, uint8_t value) override { written = address + value; }
    int written = 0;
  };
  Backend backend;
  PortWrapper wrapper(backend);
  EXPECT_EQ(wrapper.base_address(2, 0x278), 0xD010);
  std::string why;
  EXPECT_FALSE(wrapper.claim(2, 0xD010, &why));
  EXPECT_EQ(why, "claimed 2 at 53264");
  EXPECT_EQ(wrapper.own_file(), "/dev/parport3");
  EXPECT_EQ(wrapper.port_in(0x379), 0x7A);
  wrapper.port_out(0x378, 2);
  EXPECT_EQ(backend.written, 0x37A);
}

}  // namespace
}  // namespace tarnel

// The port factory: which backend a command line chooses.
#include "link/port_factory.h"

#include <gtest/gtest.h>

#include <string>

#include "link/device_port.h"
#include "link/gpio_port.h"
#include "link/io_port.h"

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

}  // namespace
}  // namespace tarnel

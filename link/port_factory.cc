#include "link/port_factory.h"

#include "link/device_port.h"
#include "link/io_port.h"

namespace tarnel {
namespace {

const PortBackend kBackends[] = {
    {"device", PortClaim::kDevice, [](const PortRequest& r) { return !r.device.empty(); },
     [](const PortRequest& r) -> std::unique_ptr<Port> {
       return std::make_unique<DevicePort>(r.device);
     },
     &release_device_on_signal},
    {"gpio", PortClaim::kGpio, [](const PortRequest& r) { return !r.gpio_chip.empty(); },
     [](const PortRequest& r) -> std::unique_ptr<Port> {
       return std::make_unique<GpioPort>(gpio_chip_path(r.gpio_chip), r.gpio_lines);
     },
     &release_gpio_on_signal},
    {"ioperm", PortClaim::kIoPorts, [](const PortRequest& r) { return r.io_ports; },
     [](const PortRequest&) -> std::unique_ptr<Port> { return std::make_unique<IoPort>(); },
     nullptr},
    {"cable", PortClaim::kCable, [](const PortRequest&) { return true; },
     [](const PortRequest& r) -> std::unique_ptr<Port> {
       return std::make_unique<CablePort>(r.cable, r.end, r.bus_ns_if_created);
     },
     nullptr},
};

}  // namespace

std::span<const PortBackend> port_backends() { return kBackends; }

MadePort make_port(const PortRequest& request) {
  for (const PortBackend& backend : kBackends) {
    if (backend.chosen(request)) return {backend.make(request), &backend};
  }
  return {};  // not reached: the last backend is always chosen
}

}  // namespace tarnel

// Placeholder until the Windows serial device is written: no port opens.
#include "platform/serial_device.h"

namespace orvent {

std::optional<std::string> SerialDeviceLocation(std::string_view name, std::string_view) {
  return "\\\\.\\" + std::string(name);
}
std::string SerialNoticeName(std::string_view name, std::string_view) { return std::string(name); }
SystemSerialPorts::SystemSerialPorts() = default;
SystemSerialPorts::SystemSerialPorts(std::string device_dir) : device_dir_(std::move(device_dir)) {}
std::unique_ptr<SerialDevice> SystemSerialPorts::Open(std::string_view, std::error_code& error) {
  error = std::make_error_code(std::errc::function_not_supported);
  return nullptr;
}
std::vector<std::string> SystemSerialPorts::AdapterPaths() const { return {}; }

}  // namespace orvent

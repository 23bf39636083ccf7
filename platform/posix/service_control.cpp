#include "platform/service_control.h"

namespace orvent {

// No service control manager here: a program started by systemd is told so
// through ServiceNotifier and runs as it was started.
std::optional<int> RunAsService(const std::string&, const std::function<int(ServiceSession&)>&) {
  return std::nullopt;
}

std::error_code InstallService(const ServiceDefinition&, std::string&) {
  return std::make_error_code(std::errc::not_supported);
}

std::error_code UninstallService(const std::string&, std::chrono::milliseconds) {
  return std::make_error_code(std::errc::not_supported);
}

std::string ServiceDataFolder(const std::string&) { return {}; }

}  // namespace orvent

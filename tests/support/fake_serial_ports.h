#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/serial_device.h"

namespace orvent::test {

// A device that takes every write and never has anything to read.
class FakeSerialDevice final : public SerialDevice {
public:
  explicit FakeSerialDevice(int& open_count) : open_count_(open_count) { ++open_count_; }
  ~FakeSerialDevice() override { --open_count_; }

  std::error_code Queued(SerialQueues& queues) override {
    queues = {};
    return {};
  }
  std::error_code Read(std::uint8_t*, std::size_t, std::size_t& count) override {
    count = 0;
    return {};
  }
  std::error_code Write(const std::uint8_t*, std::size_t size, std::size_t& count) override {
    count = size;
    return {};
  }
  std::error_code SetDtr(bool) override { return {}; }

private:
  int& open_count_;
};

// A device namespace of named ports, some busy, some refusing their line
// settings. Ports are known by the names they are opened by; every opening
// is noted with the settings it asked for.
class FakeSerialPorts final : public SerialPorts {
public:
  std::unique_ptr<SerialDevice> Open(std::string_view name, const SerialLineSettings& settings,
                                     std::error_code& error) override {
    const std::string port(name);
    tried.push_back(port);
    last_settings = settings;
    if (!present.contains(port)) {
      error = std::make_error_code(std::errc::no_such_file_or_directory);
    } else if (busy.contains(port)) {
      error = std::make_error_code(std::errc::device_or_resource_busy);
    } else if (refusing.contains(port)) {
      error = std::make_error_code(std::errc::invalid_argument);
    } else {
      error.clear();
      return std::make_unique<FakeSerialDevice>(open_count);
    }
    return nullptr;
  }
  std::vector<std::string> AdapterPaths() const override { return adapters; }

  std::set<std::string> present;
  std::set<std::string> busy;
  std::set<std::string> refusing;
  std::vector<std::string> adapters;
  std::vector<std::string> tried;
  std::optional<SerialLineSettings> last_settings;
  int open_count = 0;  // devices open now
};

}  // namespace orvent::test

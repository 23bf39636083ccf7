#pragma once

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/serial_device.h"

namespace orvent::test {

// The line behind the fake ports: what the receiver sent that waits to be
// read, what was written to it, and how many more bytes it takes. Once they
// are used up a write fails with `write_error`, or without one takes
// nothing (a stalled line: only a moving clock ends the writer's wait).
struct FakeLine {
  std::string to_read;
  std::string written;
  std::size_t write_room = std::numeric_limits<std::size_t>::max();
  std::error_code write_error;
};

// A device on a FakeLine: by default it takes every write and never has
// anything to read. It cannot be watched, so the driver polls it.
class FakeSerialDevice final : public SerialDevice {
public:
  FakeSerialDevice(int& open_count, FakeLine& line) : open_count_(open_count), line_(line) { ++open_count_; }
  ~FakeSerialDevice() override { --open_count_; }

  std::error_code Queued(SerialQueues& queues) override {
    queues = {line_.to_read.size(), 0};
    return {};
  }
  std::error_code Read(std::uint8_t* buffer, std::size_t size, std::size_t& count) override {
    count = std::min(size, line_.to_read.size());
    std::copy_n(line_.to_read.begin(), count, buffer);
    line_.to_read.erase(0, count);
    return {};
  }
  std::error_code Write(const std::uint8_t* data, std::size_t size, std::size_t& count) override {
    count = std::min(size, line_.write_room);
    if (count == 0 && size > 0 && line_.write_error) return line_.write_error;
    line_.written.append(reinterpret_cast<const char*>(data), count);
    line_.write_room -= count;
    return {};
  }
  std::error_code SetDtr(bool) override { return {}; }

private:
  int& open_count_;
  FakeLine& line_;
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
      return std::make_unique<FakeSerialDevice>(open_count, line);
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
  FakeLine line;       // the one line every device opened here is on
};

}  // namespace orvent::test

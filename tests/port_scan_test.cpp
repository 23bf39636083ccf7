// The port scan over a namespace of fake ports: the same on every system.

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/fake_clock.h"
#include "platform/manual_event_loop.h"
#include "platform/serial_device.h"
#include "receiver/comm_port_driver.h"
#include "receiver/port_scan.h"

namespace orvent {
namespace {

// A device that accepts everything, or refuses its line settings.
class FakeDevice final : public SerialDevice {
public:
  FakeDevice(int& open_count, bool refuses_settings) : open_count_(open_count), refuses_settings_(refuses_settings) {
    ++open_count_;
  }
  ~FakeDevice() override { --open_count_; }

  std::error_code ApplySettings(const SerialLineSettings&) override {
    return refuses_settings_ ? std::make_error_code(std::errc::invalid_argument) : std::error_code{};
  }
  std::error_code Purge(bool, bool) override { return {}; }
  std::error_code SetQueueSizes(std::uint32_t, std::uint32_t) override { return {}; }
  std::error_code SetTimeouts(const SerialTimeouts&) override { return {}; }
  std::error_code QueryStatus(SerialQueueStatus& status) override {
    status = {};
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
  std::error_code ModemStatus(SerialModemLines&) override { return {}; }

private:
  int& open_count_;
  bool refuses_settings_;
};

// A device namespace of named ports, some busy, some refusing settings.
// Ports are known by the names the scan opens them by.
class FakePorts final : public SerialPorts {
public:
  std::unique_ptr<SerialDevice> Open(std::string_view name, std::error_code& error) override {
    const std::string port(name);
    tried.push_back(port);
    if (!present.count(port) || busy.count(port)) {
      error = std::make_error_code(busy.count(port) ? std::errc::device_or_resource_busy
                                                    : std::errc::no_such_file_or_directory);
      return nullptr;
    }
    return std::make_unique<FakeDevice>(open_count, refusing.count(port) > 0);
  }
  std::vector<std::string> AdapterPaths() const override { return adapters; }

  std::set<std::string> present;
  std::set<std::string> busy;
  std::set<std::string> refusing;
  std::vector<std::string> adapters;
  std::vector<std::string> tried;
  int open_count = 0;
};

std::string Com(int n) { return "COM" + std::to_string(n); }

TEST(PortScanTest, ListsThePortsThatOpenAndLeavesThePortClosed) {
  struct Case {
    const char* name;
    std::set<std::string> present;
    std::set<std::string> busy;
    std::set<std::string> refusing;
    std::vector<std::string> adapters;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"ports 1, 3 and 12", {Com(1), Com(3), Com(12)}, {}, {}, {}, {"COM1", "COM3", "COM12"}},
      {"a busy port is not listed", {Com(1), Com(3)}, {Com(3)}, {}, {}, {"COM1"}},
      {"a port refusing the settings is not listed", {Com(2), Com(5)}, {}, {Com(2)}, {}, {"COM5"}},
      {"no port", {}, {}, {}, {}, {}},
      {"numbers above 32 are not probed", {Com(32), Com(33)}, {}, {}, {}, {"COM32"}},
      {"adapters follow the numbered ports",
       {Com(4), "/dev/ttyUSB0", "/dev/ttyACM1"},
       {"/dev/ttyUSB1"},
       {},
       {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyACM1"},
       {"COM4", "/dev/ttyUSB0", "/dev/ttyACM1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePorts ports;
    ports.present = c.present;
    ports.busy = c.busy;
    ports.refusing = c.refusing;
    ports.adapters = c.adapters;
    FakeClock clock;
    ManualEventLoop loop(clock);
    TCommPortDriver driver(ports, loop, clock);

    const PortScanResult result = ScanSerialPorts(driver, ports);
    EXPECT_EQ(result.Ports, c.expected);
    EXPECT_EQ(result.Selected, c.expected.empty() ? -1 : 0);
    EXPECT_FALSE(driver.Connected());
    EXPECT_EQ(loop.TimerCount(), 0u);
    EXPECT_EQ(ports.open_count, 0) << "every probed port is closed again";
    ASSERT_GE(ports.tried.size(), 32u);
    EXPECT_EQ(ports.tried.front(), "COM1");
    EXPECT_EQ(ports.tried[31], "COM32");
  }
}

TEST(PortScanTest, OpenPortIsLeftAlone) {
  FakePorts ports;
  ports.present = {Com(1), Com(2)};
  FakeClock clock;
  ManualEventLoop loop(clock);
  TCommPortDriver driver(ports, loop, clock);
  driver.SetPortName("COM2");
  ASSERT_TRUE(driver.Connect());
  const PortScanResult result = ScanSerialPorts(driver, ports);
  EXPECT_TRUE(result.Ports.empty());
  EXPECT_EQ(result.Selected, -1);
  EXPECT_TRUE(driver.Connected());
  EXPECT_EQ(driver.PortName(), "COM2");
}

}  // namespace
}  // namespace orvent

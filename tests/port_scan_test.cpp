// The port scan over a namespace of fake ports: the same on every system.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/fake_clock.h"
#include "platform/manual_event_loop.h"
#include "platform/serial_device.h"
#include "receiver/serial_packet_driver.h"
#include "receiver/port_scan.h"
#include "support/fake_serial_ports.h"

namespace orvent {
namespace {

using FakePorts = test::FakeSerialPorts;

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
    SerialPacketDriver driver(ports, loop, clock);

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
  SerialPacketDriver driver(ports, loop, clock);
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

// The port scan over the real device namespace on Linux: a folder of links
// to pseudo-terminals.

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/fake_clock.h"
#include "platform/manual_event_loop.h"
#include "platform/serial_device.h"
#include "receiver/serial_packet_driver.h"
#include "receiver/port_scan.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

// The real device namespace over a folder of links to pseudo-terminals:
// numbered ports, adapters in number order, a busy one and a plain file.
TEST(PortScanTest, ScansRealTerminalsByPath) {
  test::PtyPair com3;
  test::PtyPair com5;
  test::PtyPair usb2;
  test::PtyPair usb10;
  test::PtyPair acm0;
  if (!com3.ok() || !com5.ok() || !usb2.ok() || !usb10.ok() || !acm0.ok()) GTEST_SKIP() << "no pseudo-terminals";
  test::TempDir dir;
  ASSERT_EQ(::symlink(com3.path().c_str(), dir.File("ttyS2").c_str()), 0);
  ASSERT_EQ(::symlink(com5.path().c_str(), dir.File("ttyS4").c_str()), 0);
  ASSERT_EQ(::symlink(usb10.path().c_str(), dir.File("ttyUSB10").c_str()), 0);
  ASSERT_EQ(::symlink(usb2.path().c_str(), dir.File("ttyUSB2").c_str()), 0);
  ASSERT_EQ(::symlink(acm0.path().c_str(), dir.File("ttyACM0").c_str()), 0);
  dir.Write("ttyACM1", "not a terminal");
  dir.Write("ttyUSBx", "");

  SystemSerialPorts ports(dir.path());
  FakeClock clock;
  ManualEventLoop loop(clock);
  // Another program holds COM5.
  SerialPacketDriver holder(ports, loop, clock);
  holder.SetPortName("COM5");
  ASSERT_TRUE(holder.Connect());

  SerialPacketDriver driver(ports, loop, clock);
  const PortScanResult result = ScanSerialPorts(driver, ports);
  EXPECT_EQ(result.Ports, (std::vector<std::string>{"COM3", dir.File("ttyUSB2"), dir.File("ttyUSB10"),
                                                    dir.File("ttyACM0")}));
  EXPECT_EQ(result.Selected, 0);
  EXPECT_FALSE(driver.Connected());
  EXPECT_TRUE(holder.Connected());
  // Closed means free: the port opens again at once.
  driver.SetPortName("COM3");
  EXPECT_TRUE(driver.Connect());
}

}  // namespace
}  // namespace orvent

// The packet driver's settings, without a device: the same on every system.

#include <gtest/gtest.h>

#include <ostream>

#include "platform/fake_clock.h"
#include "platform/manual_event_loop.h"
#include "platform/serial_device.h"
#include "receiver/comm_port_driver.h"

namespace orvent {
namespace {

// The settings a test looks at, compared as one.
struct Settings {
  std::uint16_t PollingDelay;
  std::int16_t PacketSize;
  std::int32_t PacketTimeout;

  bool operator==(const Settings&) const = default;
  friend std::ostream& operator<<(std::ostream& os, const Settings& s) {
    return os << "{poll " << s.PollingDelay << ", packet " << s.PacketSize << ", timeout " << s.PacketTimeout << "}";
  }
};

Settings Of(const TCommPortDriver& d) { return {d.PollingDelay(), d.PacketSize(), d.PacketTimeout()}; }

TEST(PacketDriverSettersTest, ValuesAreKeptWithinTheirRules) {
  const Settings defaults{50, -1, -1};
  struct Case {
    const char* name;
    void (*set)(TCommPortDriver&);
    Settings expected;
  };
  const Case cases[] = {
      {"defaults", [](TCommPortDriver&) {}, defaults},
      {"PollingDelay 0", [](TCommPortDriver& d) { d.SetPollingDelay(0); }, {5, -1, -1}},
      {"PollingDelay 20", [](TCommPortDriver& d) { d.SetPollingDelay(20); }, {20, -1, -1}},
      {"PacketSize 0", [](TCommPortDriver& d) { d.SetPacketSize(0); }, defaults},
      {"PacketSize -7", [](TCommPortDriver& d) { d.SetPacketSize(-7); }, defaults},
      {"PacketSize 256", [](TCommPortDriver& d) { d.SetPacketSize(256); }, {50, 256, -1}},
      {"PacketSize 4096 grows the receive buffer", [](TCommPortDriver& d) { d.SetPacketSize(4096); },
       {50, 4096, -1}},
      {"PacketSize 9000 stops at the largest buffer", [](TCommPortDriver& d) { d.SetPacketSize(9000); },
       {50, 8192, -1}},
      {"PacketTimeout 0", [](TCommPortDriver& d) { d.SetPacketTimeout(0); }, defaults},
      {"PacketTimeout 80", [](TCommPortDriver& d) { d.SetPacketTimeout(80); }, {50, -1, 80}},
  };
  FakeClock clock;
  ManualEventLoop loop(clock);
  SystemSerialPorts ports;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TCommPortDriver driver(ports, loop, clock);
    c.set(driver);
    EXPECT_EQ(Of(driver), c.expected);
  }
}

TEST(PacketDriverSettersTest, DefaultsOfTheRemainingSettings) {
  FakeClock clock;
  ManualEventLoop loop(clock);
  SystemSerialPorts ports;
  const TCommPortDriver d(ports, loop, clock);
  EXPECT_EQ(d.PortName(), "COM1");
  EXPECT_EQ(d.HwFlow(), hfNONERTSON);
  EXPECT_EQ(d.PacketMode(), pmDiscard);
  EXPECT_EQ(d.OutputTimeout(), 500);
  EXPECT_FALSE(d.QuickAck());
  EXPECT_FALSE(d.Connected());
}

}  // namespace
}  // namespace orvent

// The packet driver's settings and line times, without a device: the same
// on every system.

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
  std::uint32_t InBufSize;
  std::uint32_t OutBufSize;
  TBaudRate BaudRate;
  std::uint32_t BaudRateValue;

  bool operator==(const Settings&) const = default;
  friend std::ostream& operator<<(std::ostream& os, const Settings& s) {
    return os << "{poll " << s.PollingDelay << ", packet " << s.PacketSize << ", timeout " << s.PacketTimeout
              << ", in " << s.InBufSize << ", out " << s.OutBufSize << ", rate " << s.BaudRate << "/"
              << s.BaudRateValue << "}";
  }
};

Settings Of(const TCommPortDriver& d) {
  return {d.PollingDelay(), d.PacketSize(), d.PacketTimeout(), d.InBufSize(), d.OutBufSize(), d.BaudRate(), d.BaudRateValue()};
}

TEST(PacketDriverSettersTest, ValuesAreKeptWithinTheirRules) {
  const Settings defaults{50, -1, -1, 2048, 2048, br9600, 9600};
  struct Case {
    const char* name;
    void (*set)(TCommPortDriver&);
    Settings expected;
  };
  const Case cases[] = {
      {"defaults", [](TCommPortDriver&) {}, defaults},
      {"PollingDelay 0", [](TCommPortDriver& d) { d.SetPollingDelay(0); }, {5, -1, -1, 2048, 2048, br9600, 9600}},
      {"PollingDelay 20", [](TCommPortDriver& d) { d.SetPollingDelay(20); }, {20, -1, -1, 2048, 2048, br9600, 9600}},
      {"PacketSize 0", [](TCommPortDriver& d) { d.SetPacketSize(0); }, defaults},
      {"PacketSize -7", [](TCommPortDriver& d) { d.SetPacketSize(-7); }, defaults},
      {"PacketSize 256", [](TCommPortDriver& d) { d.SetPacketSize(256); }, {50, 256, -1, 2048, 2048, br9600, 9600}},
      {"PacketSize 4096 grows InBufSize", [](TCommPortDriver& d) { d.SetPacketSize(4096); },
       {50, 4096, -1, 4096, 2048, br9600, 9600}},
      {"PacketSize 9000 stops at the largest buffer", [](TCommPortDriver& d) { d.SetPacketSize(9000); },
       {50, 8192, -1, 8192, 2048, br9600, 9600}},
      {"PacketTimeout 0", [](TCommPortDriver& d) { d.SetPacketTimeout(0); }, defaults},
      {"PacketTimeout 80", [](TCommPortDriver& d) { d.SetPacketTimeout(80); }, {50, -1, 80, 2048, 2048, br9600, 9600}},
      {"InBufSize 100", [](TCommPortDriver& d) { d.SetInBufSize(100); }, {50, -1, -1, 128, 2048, br9600, 9600}},
      {"InBufSize 10000", [](TCommPortDriver& d) { d.SetInBufSize(10000); }, {50, -1, -1, 8192, 2048, br9600, 9600}},
      {"InBufSize below PacketSize grows back",
       [](TCommPortDriver& d) {
         d.SetPacketSize(256);
         d.SetInBufSize(128);
       },
       {50, 256, -1, 256, 2048, br9600, 9600}},
      {"OutBufSize 100", [](TCommPortDriver& d) { d.SetOutBufSize(100); }, {50, -1, -1, 2048, 128, br9600, 9600}},
      {"OutBufSize 10000", [](TCommPortDriver& d) { d.SetOutBufSize(10000); }, {50, -1, -1, 2048, 8192, br9600, 9600}},
      {"BaudRate sets the value", [](TCommPortDriver& d) { d.SetBaudRate(br115200); },
       {50, -1, -1, 2048, 2048, br115200, 115200}},
      {"BaudRateValue makes it custom", [](TCommPortDriver& d) { d.SetBaudRateValue(31250); },
       {50, -1, -1, 2048, 2048, brCustom, 31250}},
      {"brCustom keeps the value",
       [](TCommPortDriver& d) {
         d.SetBaudRate(br300);
         d.SetBaudRate(brCustom);
       },
       {50, -1, -1, 2048, 2048, brCustom, 300}},
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
  EXPECT_EQ(d.DataBits(), db8BITS);
  EXPECT_EQ(d.StopBits(), sb1BITS);
  EXPECT_EQ(d.Parity(), ptNONE);
  EXPECT_EQ(d.HwFlow(), hfNONERTSON);
  EXPECT_EQ(d.SwFlow(), sfNONE);
  EXPECT_EQ(d.PacketMode(), pmDiscard);
  EXPECT_TRUE(d.EnableDTROnOpen());
  EXPECT_EQ(d.OutputTimeout(), 500);
  EXPECT_EQ(d.InputTimeout(), 20u);
  EXPECT_FALSE(d.CheckLineStatus());
  EXPECT_FALSE(d.QuickAck());
  EXPECT_FALSE(d.Connected());
}

TEST(PacketDriverLineTimeTest, BytesAtTenBitsRoundedHalfToEven) {
  struct Case {
    TBaudRate rate;
    std::uint32_t value;
    std::uint32_t count;
    std::uint32_t ms;
  };
  const Case cases[] = {
      {br9600, 0, 256, 267}, {br9600, 0, 21, 22},    {br115200, 0, 256, 22}, {br110, 0, 1, 91},
      {brCustom, 160, 1, 62},  // 62.5 rounds to even
      {brCustom, 160, 3, 188},  // 187.5 rounds to even
      {brCustom, 0, 256, 0},   // no rate: no time
  };
  FakeClock clock;
  ManualEventLoop loop(clock);
  SystemSerialPorts ports;
  TCommPortDriver driver(ports, loop, clock);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << "/" << c.value << " x" << c.count);
    if (c.rate == brCustom) {
      driver.SetBaudRateValue(c.value);
    } else {
      driver.SetBaudRate(c.rate);
    }
    EXPECT_EQ(driver.LineTimeMs(c.count), c.ms);
  }
}

}  // namespace
}  // namespace orvent

// The packet driver's settings, the line it asks for, and what it says of
// its writes, without a device: the same on every system.

#include <gtest/gtest.h>

#include <limits>
#include <ostream>
#include <string>
#include <system_error>

#include "platform/fake_clock.h"
#include "platform/manual_event_loop.h"
#include "platform/serial_device.h"
#include "receiver/serial_packet_driver.h"
#include "support/fake_serial_ports.h"
#include "support/fake_time.h"

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

Settings Of(const SerialPacketDriver& d) { return {d.PollingDelay(), d.PacketSize(), d.PacketTimeout()}; }

TEST(PacketDriverSettersTest, ValuesAreKeptWithinTheirRules) {
  const Settings defaults{50, -1, -1};
  struct Case {
    const char* name;
    void (*set)(SerialPacketDriver&);
    Settings expected;
  };
  const Case cases[] = {
      {"defaults", [](SerialPacketDriver&) {}, defaults},
      {"PollingDelay 0", [](SerialPacketDriver& d) { d.SetPollingDelay(0); }, {5, -1, -1}},
      {"PollingDelay 20", [](SerialPacketDriver& d) { d.SetPollingDelay(20); }, {20, -1, -1}},
      {"PacketSize 0", [](SerialPacketDriver& d) { d.SetPacketSize(0); }, defaults},
      {"PacketSize -7", [](SerialPacketDriver& d) { d.SetPacketSize(-7); }, defaults},
      {"PacketSize 256", [](SerialPacketDriver& d) { d.SetPacketSize(256); }, {50, 256, -1}},
      {"PacketSize 4096 grows the receive buffer", [](SerialPacketDriver& d) { d.SetPacketSize(4096); },
       {50, 4096, -1}},
      {"PacketSize 9000 stops at the largest buffer", [](SerialPacketDriver& d) { d.SetPacketSize(9000); },
       {50, 8192, -1}},
      {"PacketTimeout 0", [](SerialPacketDriver& d) { d.SetPacketTimeout(0); }, defaults},
      {"PacketTimeout 80", [](SerialPacketDriver& d) { d.SetPacketTimeout(80); }, {50, -1, 80}},
  };
  FakeClock clock;
  ManualEventLoop loop(clock);
  SystemSerialPorts ports;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SerialPacketDriver driver(ports, loop, clock);
    c.set(driver);
    EXPECT_EQ(Of(driver), c.expected);
  }
}

TEST(PacketDriverSettersTest, DefaultsOfTheRemainingSettings) {
  FakeClock clock;
  ManualEventLoop loop(clock);
  SystemSerialPorts ports;
  const SerialPacketDriver d(ports, loop, clock);
  EXPECT_EQ(d.PortName(), "COM1");
  EXPECT_TRUE(d.HwFlow() == HwFlowControl::RtsOn);
  EXPECT_TRUE(d.PacketMode() == PartialPacketMode::Discard);
  EXPECT_EQ(d.OutputTimeout(), 500);
  EXPECT_FALSE(d.QuickAck());
  EXPECT_FALSE(d.Connected());
}

TEST(PacketDriverLineTest, OpensTheReceiversLineWithRtsAsTheFlowControlSays) {
  struct Case {
    HwFlowControl flow;
    SerialRts rts;
  };
  const Case cases[] = {
      {HwFlowControl::None, SerialRts::Off},
      {HwFlowControl::RtsOn, SerialRts::On},
      {HwFlowControl::RtsCts, SerialRts::Handshake},
      {HwFlowControl::RtsToggle, SerialRts::Toggle},
  };
  FakeClock clock;
  ManualEventLoop loop(clock);
  test::FakeSerialPorts ports;
  ports.present = {"COM1"};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.flow));
    SerialPacketDriver driver(ports, loop, clock);
    ApplyReceiverLineSettings(driver);
    driver.SetHwFlow(c.flow);
    ASSERT_TRUE(driver.Connect());
    ASSERT_TRUE(ports.last_settings);
    const SerialLineSettings& s = *ports.last_settings;
    EXPECT_EQ(s.baud_rate, 9600u);
    EXPECT_EQ(s.data_bits, 8);
    EXPECT_EQ(s.parity, SerialParity::None);
    EXPECT_EQ(s.stop_bits, SerialStopBits::One);
    EXPECT_TRUE(s.dtr_on);
    EXPECT_EQ(s.rts, c.rts);
    EXPECT_FALSE(s.xon_xoff);
  }
  EXPECT_EQ(ports.open_count, 0);
}

TEST(PacketDriverLineTest, ALineThatRefusesTheSettingsLeavesThePortClosedWithTheReason) {
  FakeClock clock;
  ManualEventLoop loop(clock);
  test::FakeSerialPorts ports;
  ports.present = {"COM2"};
  ports.refusing = {"COM2"};
  SerialPacketDriver driver(ports, loop, clock);
  driver.SetPortName("COM2");
  std::error_code why;
  EXPECT_FALSE(driver.Connect(why));
  EXPECT_EQ(why, std::errc::invalid_argument);
  EXPECT_FALSE(driver.Connected());
  EXPECT_FALSE(driver.Watched());
  EXPECT_EQ(loop.TimerCount(), 0u) << "a port that did not open is not polled";
  const std::uint8_t ack = 6;
  EXPECT_EQ(driver.SendData(&ack, 1), 0u);
}

// A write that falls short says why: the device's own error, or a time-out
// when the line takes nothing for OutputTimeout ms, or a closed port.
TEST(PacketDriverSendTest, AShortWriteSaysWhy) {
  constexpr std::size_t kAll = std::numeric_limits<std::size_t>::max();
  const std::error_code io = std::make_error_code(std::errc::io_error);
  const std::error_code gone = std::make_error_code(std::errc::no_such_device);
  struct Case {
    const char* name;
    std::size_t room;  // bytes the line takes
    std::error_code device_error;  // then; none: it takes nothing more
    std::uint32_t written;
    std::error_code why;
  };
  const Case cases[] = {
      {"a line that takes every byte", kAll, {}, 3, {}},
      {"one byte, then the device fails", 1, io, 1, io},
      {"the device fails at once", 0, gone, 0, gone},
      {"one byte, then the line stalls", 1, {}, 1, std::make_error_code(std::errc::timed_out)},
  };
  const std::uint8_t acks[] = {6, 6, 6};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeClock clock;
    ManualEventLoop loop(clock);
    test::FakeSerialPorts ports;
    ports.present = {"COM1"};
    ports.line.write_room = c.room;
    ports.line.write_error = c.device_error;
    SerialPacketDriver driver(ports, loop, clock);
    driver.SetOutputTimeout(80);
    ASSERT_TRUE(driver.Connect());
    std::error_code why = io;  // overwritten by every call
    const std::uint32_t written = test::WhileTimeMoves(clock, [&] { return driver.SendData(acks, 3, why); });
    EXPECT_EQ(written, c.written);
    EXPECT_EQ(why, c.why);
    EXPECT_EQ(ports.line.written, std::string(c.written, '\x06'));

    driver.Disconnect();
    EXPECT_EQ(driver.SendData(acks, 3, why), 0u);
    EXPECT_EQ(why, std::errc::not_connected);
  }
}

}  // namespace
}  // namespace orvent

#include <gtest/gtest.h>
#include <termios.h>

#include <atomic>
#include <string>
#include <vector>

#include "platform/fake_clock.h"
#include "platform/manual_event_loop.h"
#include "platform/serial_device.h"
#include "receiver/comm_port_driver.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

using test::PtyPair;

// Distinct bytes, so a packet cut at the wrong place or overwritten shows.
std::string Pattern(std::size_t size, int seed = 0) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + static_cast<std::size_t>(seed)) % 251);
  return s;
}

const std::string kMessage = std::string("5011 181234113001015") + '\x14';

// The driver on a real pseudo-terminal, set up as the program sets it, with a
// fake clock and an event loop that runs when the test says.
class PacketDriverTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal on this machine";
    driver.SetPortName(pty.path());
    ApplyReceiverLineSettings(driver);
    driver.OnReceivePacket = [this](TCommPortDriver*, const std::uint8_t* p, std::uint32_t n) {
      packets.emplace_back(reinterpret_cast<const char*>(p), n);
    };
    ASSERT_TRUE(driver.Connect());
    ASSERT_TRUE(driver.Watched());
  }

  // Bytes from the receiver reach the port, and the loop sees it readable.
  void Arrive(const std::string& bytes) {
    const int expected = pty.Waiting() + static_cast<int>(bytes.size());
    ASSERT_TRUE(pty.Write(bytes));
    ASSERT_TRUE(pty.WaitUntilWaiting(expected));
    loop.SignalWatches();
  }
  // Many bytes at once, faster than any line: the port takes them as they
  // come, a pseudo-terminal's queue at a time.
  void Burst(const std::string& bytes) {
    constexpr std::size_t kChunk = 1024;
    for (std::size_t at = 0; at < bytes.size(); at += kChunk) Arrive(bytes.substr(at, kChunk));
  }
  // `ms` pass; timers run as they fall due.
  void Pass(std::int64_t ms) { loop.Advance(ms); }

  termios LineSettings() const {
    termios t{};
    EXPECT_EQ(::tcgetattr(pty.slave(), &t), 0);
    return t;
  }

  PtyPair pty;
  FakeClock clock;
  ManualEventLoop loop{clock};
  SystemSerialPorts ports;
  TCommPortDriver driver{ports, loop, clock};
  std::vector<std::string> packets;
};

TEST_F(PacketDriverTest, APacketGoesOnceMoreThanTheTimeOutHasPassedSinceItsBytesArrived) {
  // The tick counter passing 2^32 must not disturb the time-out; the last
  // arrival is the all-ones value itself.
  for (const std::uint32_t start : {1000u, 0xFFFFFFFFu - 50, 0xFFFFFFFFu}) {
    SCOPED_TRACE(start);
    packets.clear();
    clock.SetTick(start);
    Arrive(kMessage);
    Pass(80);
    EXPECT_TRUE(packets.empty()) << "exactly the time-out is not enough";
    Pass(1);
    EXPECT_EQ(packets, std::vector<std::string>{kMessage});
    Pass(200);
    EXPECT_EQ(packets.size(), 1u);
  }
  EXPECT_EQ(pty.Waiting(), 0);
}

TEST_F(PacketDriverTest, TimeOutCountsFromFirstBytesNotFromLast) {
  Arrive(kMessage.substr(0, 10));
  Pass(40);
  Arrive(kMessage.substr(10, 5));
  Pass(40);
  EXPECT_TRUE(packets.empty());
  Pass(1);
  ASSERT_EQ(packets, std::vector<std::string>{kMessage.substr(0, 15)});
  // The rest of the message becomes the next packet, timed afresh.
  Arrive(kMessage.substr(15));
  Pass(80);
  EXPECT_EQ(packets.size(), 1u);
  Pass(1);
  EXPECT_EQ(packets.back(), kMessage.substr(15));
}

TEST_F(PacketDriverTest, FullPacketsGoAtOnceAndTheRemainderAfterItsOwnTimeOut) {
  const std::string bytes = Pattern(300);
  Arrive(bytes.substr(0, 100));
  Pass(30);
  Arrive(bytes.substr(100));
  ASSERT_EQ(packets, std::vector<std::string>{bytes.substr(0, 256)});
  // The remainder came with the second write, 30 ms after the first.
  Pass(80);
  EXPECT_EQ(packets.size(), 1u);
  Pass(1);
  EXPECT_EQ(packets, (std::vector<std::string>{bytes.substr(0, 256), bytes.substr(256)}));

  packets.clear();
  const std::string two = Pattern(512, 3);
  Arrive(two);
  EXPECT_EQ(packets, (std::vector<std::string>{two.substr(0, 256), two.substr(256)}));
  Pass(500);
  EXPECT_EQ(packets.size(), 2u);
}

TEST_F(PacketDriverTest, ALineAfterALongBurstIsNotHeldBack) {
  // 20,000 bytes faster than any line, then a message: it goes with the
  // burst's remainder (20,000 is not a multiple of 256) once the time-out has
  // passed since they arrived, not a line time per packet later.
  Burst(Pattern(20000));
  EXPECT_EQ(packets.size(), 20000u / 256);
  Arrive(kMessage);
  Pass(81);
  ASSERT_EQ(packets.size(), 20000u / 256 + 1);
  EXPECT_EQ(packets.back(), Pattern(20000).substr(20000 / 256 * 256) + kMessage);
}

TEST_F(PacketDriverTest, QuickAckHandsAMessageOverAtItsClosingDc4) {
  driver.SetQuickAck(true);
  Arrive(kMessage);
  EXPECT_EQ(packets, std::vector<std::string>{kMessage});

  // Two messages in one write are two packets.
  packets.clear();
  Arrive(kMessage + kMessage);
  EXPECT_EQ(packets, (std::vector<std::string>{kMessage, kMessage}));

  // A message split over two writes goes when its end arrives.
  packets.clear();
  Arrive(kMessage.substr(0, 12));
  Pass(40);
  EXPECT_TRUE(packets.empty());
  Arrive(kMessage.substr(12));
  EXPECT_EQ(packets, std::vector<std::string>{kMessage});

  // Bytes without a DC4 still wait for the time-out.
  packets.clear();
  Arrive("5011 18");
  Pass(80);
  EXPECT_TRUE(packets.empty());
  Pass(1);
  EXPECT_EQ(packets, std::vector<std::string>{"5011 18"});
}

TEST_F(PacketDriverTest, DiscardModeDropsTimedOutPartialPacketOnly) {
  driver.SetPacketMode(pmDiscard);
  const std::string bytes = Pattern(300);
  Arrive(bytes);
  Pass(81);
  EXPECT_EQ(packets, std::vector<std::string>{bytes.substr(0, 256)});
  EXPECT_EQ(pty.Waiting(), 0) << "the partial packet is read and dropped";
  Arrive(kMessage);
  Pass(81);
  EXPECT_EQ(packets.size(), 1u);
}

TEST_F(PacketDriverTest, RawModeNeverReadsMoreThanTheBuffer) {
  driver.Disconnect();
  driver.SetPacketSize(0);
  driver.SetInBufSize(128);
  std::vector<std::string> reads;
  driver.OnReceiveData = [&](TCommPortDriver*, const std::uint8_t* p, std::uint32_t n) {
    reads.emplace_back(reinterpret_cast<const char*>(p), n);
  };
  ASSERT_TRUE(driver.Connect());
  const std::string bytes = Pattern(300);
  Arrive(bytes);
  for (int i = 0; i < 3; ++i) loop.SignalWatches();
  EXPECT_EQ(reads, (std::vector<std::string>{bytes.substr(0, 128), bytes.substr(128, 128), bytes.substr(256)}));
  EXPECT_TRUE(packets.empty());
}

TEST_F(PacketDriverTest, AHandlerThatRunsTheLoopKeepsItsPacketAndGetsNoSecondInItsMiddle) {
  // A handler that lets the event loop run (a message box) may see the line
  // readable again; the packet it reads must stay as it was.
  const std::string first = Pattern(256);
  const std::string second = Pattern(256, 5);
  driver.OnReceivePacket = [&](TCommPortDriver*, const std::uint8_t* p, std::uint32_t n) {
    if (packets.empty()) {
      Arrive(second);
      EXPECT_EQ(packets.size(), 0u);
    }
    packets.emplace_back(reinterpret_cast<const char*>(p), n);
  };
  Arrive(first);
  // The second goes after the first's handler has returned, whole.
  EXPECT_EQ(packets, (std::vector<std::string>{first, second}));
}

TEST_F(PacketDriverTest, HandlerClosingThePortEndsTheHandingOver) {
  driver.OnReceivePacket = [&](TCommPortDriver* sender, const std::uint8_t*, std::uint32_t n) {
    EXPECT_EQ(sender, &driver);
    packets.emplace_back(n, '\0');
    driver.Disconnect();
  };
  Arrive(Pattern(512));
  EXPECT_EQ(packets.size(), 1u);
  EXPECT_FALSE(driver.Connected());
  EXPECT_FALSE(driver.Watched());
  EXPECT_EQ(loop.TimerCount(), 0u);
}

TEST_F(PacketDriverTest, LostLineClosesThePortAndTellsTheOwner) {
  int lost = 0;
  driver.OnLineLost = [&](TCommPortDriver* sender) {
    EXPECT_EQ(sender, &driver);
    EXPECT_FALSE(driver.Connected());
    ++lost;
  };
  Arrive(kMessage.substr(0, 5));  // a partial packet is not delivered
  pty.CloseMaster();
  loop.SignalWatches();
  EXPECT_EQ(lost, 1);
  EXPECT_FALSE(driver.Connected());
  EXPECT_FALSE(driver.Watched());
  Pass(200);
  EXPECT_TRUE(packets.empty());
}

TEST_F(PacketDriverTest, ALineThatSaysReadableWithNothingToReadIsPolledInstead) {
  for (int i = 0; i < 100; ++i) loop.SignalWatches();
  EXPECT_FALSE(driver.Watched());
  // Polled every 20 ms from now on, with the same packet rules.
  ASSERT_TRUE(pty.Write(kMessage));
  ASSERT_TRUE(pty.WaitUntilWaiting(static_cast<int>(kMessage.size())));
  Pass(20);  // the poll that sees it
  Pass(80);
  EXPECT_TRUE(packets.empty());
  Pass(1);
  EXPECT_EQ(packets, std::vector<std::string>{kMessage});
}

TEST_F(PacketDriverTest, AckReachesTheReceiverAndClosedPortSendsNothing) {
  const std::uint8_t ack = 6;
  EXPECT_EQ(driver.SendData(&ack, 1), 1u);
  EXPECT_EQ(pty.Read(1), "\x06");

  // A pseudo-terminal has no modem lines to show, so a send that asks for
  // them stops before writing.
  driver.SetCheckLineStatus(true);
  EXPECT_EQ(driver.SendData(&ack, 1), 0u);
  driver.SetCheckLineStatus(false);

  driver.Disconnect();
  EXPECT_EQ(driver.SendData(&ack, 1), 0u);
  EXPECT_EQ(pty.Read(1, std::chrono::milliseconds(50)), "");
}

TEST_F(PacketDriverTest, ConnectWhileOpenChangesNothing) {
  PtyPair other;
  ASSERT_TRUE(other.ok());
  driver.SetPortName(other.path());
  EXPECT_EQ(driver.PortName(), pty.path());
  EXPECT_TRUE(driver.Connect());
  const std::uint8_t ack = 6;
  ASSERT_EQ(driver.SendData(&ack, 1), 1u);
  EXPECT_EQ(pty.Read(1), "\x06");
  EXPECT_EQ(other.Read(1, std::chrono::milliseconds(50)), "");
}

TEST_F(PacketDriverTest, PortHeldByAnotherOpenerIsRefused) {
  TCommPortDriver other(ports, loop, clock);
  other.SetPortName(pty.path());
  EXPECT_FALSE(other.Connect());
  EXPECT_FALSE(other.Connected());
  EXPECT_FALSE(other.Watched());
  // The holder is undisturbed.
  Arrive(kMessage);
  Pass(81);
  EXPECT_EQ(packets, std::vector<std::string>{kMessage});
}

TEST_F(PacketDriverTest, SizesAndNameAreKeptWhileOpen) {
  driver.SetInBufSize(4096);
  driver.SetOutBufSize(4096);
  EXPECT_EQ(driver.InBufSize(), 2048u);
  EXPECT_EQ(driver.OutBufSize(), 2048u);
  // A packet larger than the fixed buffer is cut at the buffer's size.
  driver.SetPacketSize(4000);
  EXPECT_EQ(driver.PacketSize(), 2048);
  // A watched line has no poll timer to restart.
  driver.SetPollingDelay(3);
  EXPECT_EQ(driver.PollingDelay(), 5u);
  EXPECT_EQ(loop.TimerCount(), 0u);
}

TEST_F(PacketDriverTest, LineIsRawAtOpenFollowsChangesAndIsRestoredAtClose) {
  driver.Disconnect();
  termios cooked = LineSettings();
  cooked.c_lflag |= ICANON | ECHO;
  ASSERT_EQ(::tcsetattr(pty.slave(), TCSANOW, &cooked), 0);

  ASSERT_TRUE(driver.Connect());
  termios t = LineSettings();
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | IXON | INPCK | ISTRIP), 0u);
  EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B9600));

  // Line settings apply at once while the port is open. (A pseudo-terminal
  // keeps 8 bits without parity whatever it is told; the mapping of those is
  // tested without a device.)
  driver.SetBaudRate(br19200);
  driver.SetStopBits(sb2BITS);
  driver.SetSwFlow(sfXONXOFF);
  t = LineSettings();
  EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B19200));
  EXPECT_EQ(t.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));

  driver.Disconnect();
  EXPECT_EQ(LineSettings().c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
}

// A clock whose tick moves on every time it is read, so that a busy wait
// ends without the test sleeping through it.
class SteppingClock final : public Clock {
public:
  TDateTime Now() const override { return 0; }
  std::int64_t MonotonicMs() const override { return tick_; }
  std::uint32_t TickCount() const override { return tick_ += 5; }

private:
  mutable std::atomic<std::uint32_t> tick_{0};
};

TEST(PacketDriverSendTest, StalledLineGivesUpAfterOutputTimeout) {
  PtyPair pty;
  if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal on this machine";
  SteppingClock clock;
  FakeClock loop_clock;
  ManualEventLoop loop(loop_clock);
  SystemSerialPorts ports;
  TCommPortDriver driver(ports, loop, clock);
  driver.SetPortName(pty.path());
  driver.SetOutputTimeout(80);
  ASSERT_TRUE(driver.Connect());
  // Nobody reads the receiver's end, so the line fills up and stays full.
  const std::string big = Pattern(1 << 20);
  const std::uint32_t sent = driver.SendData(reinterpret_cast<const std::uint8_t*>(big.data()),
                                             static_cast<std::uint32_t>(big.size()));
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, big.size());
}

TEST(PacketDriverOpenTest, FailedOpenLeavesThePortClosed) {
  test::TempDir dir;
  dir.Write("plain-file", "not a terminal");
  FakeClock clock;
  SystemSerialPorts ports;
  ManualEventLoop loop(clock);
  for (const std::string& name : {dir.File("missing"), dir.File("plain-file"), std::string("LPT1")}) {
    SCOPED_TRACE(name);
    TCommPortDriver driver(ports, loop, clock);
    driver.SetPortName(name);
    EXPECT_FALSE(driver.Connect());
    EXPECT_FALSE(driver.Connected());
    EXPECT_FALSE(driver.Watched());
    const std::uint8_t ack = 6;
    EXPECT_EQ(driver.SendData(&ack, 1), 0u);
  }
  // A rate that the line cannot take fails the open after the device opened.
  PtyPair pty;
  if (!pty.ok()) return;
  TCommPortDriver driver(ports, loop, clock);
  driver.SetPortName(pty.path());
  driver.SetBaudRate(br14400);
  EXPECT_FALSE(driver.Connect());
  EXPECT_FALSE(driver.Connected());
  EXPECT_FALSE(driver.Watched());
  driver.SetBaudRate(br9600);
  EXPECT_TRUE(driver.Connect()) << "the failed open let the device go";
}

}  // namespace
}  // namespace orvent

#include <gtest/gtest.h>
#include <termios.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <utility>
#include <string>
#include <vector>

#include "platform/fake_clock.h"
#include "platform/manual_event_loop.h"
#include "platform/serial_device.h"
#include "receiver/serial_packet_driver.h"
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

// A line as the driver handed it over.
struct Line {
  std::string bytes;
  bool start_seen = true;
  bool complete = true;
  bool operator==(const Line&) const = default;
};

void PrintTo(const Line& l, std::ostream* os) {
  *os << ::testing::PrintToString(l.bytes) << (l.start_seen ? "" : " (start not seen)")
      << (l.complete ? "" : " (incomplete)");
}

// The driver on a real pseudo-terminal, set up as the program sets it, with a
// fake clock and an event loop that runs when the test says.
class PacketDriverTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!pty.ok()) GTEST_SKIP() << "no pseudo-terminal on this machine";
    driver.SetPortName(pty.path());
    ApplyReceiverLineSettings(driver);
    driver.OnReceiveLines = [this](SerialPacketDriver*, std::span<const ReceivedLine> batch) {
      ++batches;
      for (const ReceivedLine& l : batch) {
        const std::string bytes(reinterpret_cast<const char*>(l.Bytes.data()), l.Bytes.size());
        lines.push_back({bytes, l.StartSeen, l.Complete});
        if (l.Complete) packets.push_back(bytes);
      }
      if (on_batch) on_batch();
    };
    ASSERT_TRUE(driver.Connect());
    ASSERT_TRUE(driver.Watched());
    // Quiet for longer than the time-out since the opening: the first byte
    // to come starts a line.
    Pass(100);
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
    constexpr std::size_t kChunk = 1000;
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
  SerialPacketDriver driver{ports, loop, clock};
  std::vector<Line> lines;          // every line handed over
  std::vector<std::string> packets;  // the complete ones
  int batches = 0;
  std::function<void()> on_batch;
};

// Message n, each a different account, so a line cut or joined wrongly shows.
std::string Message(int n) {
  char text[32];
  std::snprintf(text, sizeof text, "5011 18%04d113001015", n % 10000);
  return std::string(text) + '\x14';
}

std::string Messages(int from, int count) {
  std::string all;
  for (int i = from; i < from + count; ++i) all += Message(i);
  return all;
}

TEST_F(PacketDriverTest, ALineGoesOnceMoreThanTheTimeOutHasPassedSinceItsFirstByteArrived) {
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

  // A line in two parts goes at the time-out after its first byte.
  packets.clear();
  Arrive(kMessage.substr(0, 10));
  Pass(40);
  Arrive(kMessage.substr(10));
  Pass(40);
  EXPECT_TRUE(packets.empty());
  Pass(1);
  EXPECT_EQ(packets, std::vector<std::string>{kMessage});
}

TEST_F(PacketDriverTest, SeveralMessagesInOneReadAreEachALineOfTheirOwn) {
  for (const bool quick : {false, true}) {
    SCOPED_TRACE(quick ? "QuickAck" : "default");
    driver.SetQuickAck(quick);
    lines.clear();
    batches = 0;
    // Three messages in one write: below the packet size, they go together
    // at the time-out (or at once with QuickAck), each a line.
    Arrive(Messages(0, 3));
    if (!quick) {
      Pass(80);
      EXPECT_TRUE(lines.empty());
      Pass(1);
    }
    EXPECT_EQ(lines, (std::vector<Line>{{Message(0)}, {Message(1)}, {Message(2)}}));
    EXPECT_EQ(batches, 1);
    // Twenty: past the packet size, every complete line goes at once, and
    // the unfinished one waits for its DC4.
    lines.clear();
    Arrive(Messages(10, 20) + Message(30).substr(0, 9));
    EXPECT_EQ(lines.size(), 20u);
    EXPECT_EQ(lines.back(), Line{Message(29)});
    Arrive(Message(30).substr(9));
    Pass(81);
    EXPECT_EQ(lines.back(), Line{Message(30)});
  }
}

TEST_F(PacketDriverTest, ABurstIsCutAtEveryDc4WhateverTheReads) {
  // 500 messages faster than any line, in reads that cut lines anywhere.
  Burst(Messages(0, 500));
  Pass(81);
  ASSERT_EQ(packets.size(), 500u);
  for (int i = 0; i < 500; ++i) ASSERT_EQ(packets[static_cast<std::size_t>(i)], Message(i)) << i;
  EXPECT_EQ(lines.size(), 500u) << "no line was cut or given up";
}

// A read fills the buffer and ends in the middle of a line; the handler then
// stores the lines for longer than the time-out, while the line's rest
// arrives. The rest is read before anything is given up: the line is whole.
TEST_F(PacketDriverTest, ALineWhoseRestArrivesWhileTheHandlerStoresIsNotCut) {
  const std::string first = Messages(0, 97) + Message(97).substr(0, 11);  // 2048 bytes
  ASSERT_EQ(first.size(), 2048u);
  bool stored = false;
  on_batch = [&] {
    if (std::exchange(stored, true)) return;
    clock.Advance(451);  // a slow disk
    ASSERT_TRUE(pty.Write(Message(97).substr(11)));
    ASSERT_TRUE(pty.WaitUntilWaiting(10));
  };
  Arrive(first);
  Pass(81);
  ASSERT_EQ(packets.size(), 98u);
  EXPECT_EQ(packets.back(), Message(97));
  EXPECT_EQ(lines.size(), 98u) << "nothing was given up";
}

TEST_F(PacketDriverTest, ALineThatStopsIsGivenUpAfterItsLastByteAndItsRestIsNoLineStart) {
  Arrive("5011 18");
  Pass(60);
  Arrive("1234");
  Pass(40);
  loop.SignalWatches();  // a look at the line 100 ms after the first byte
  Pass(40);
  EXPECT_TRUE(lines.empty()) << "the time-out counts from the line's last byte";
  Pass(1);
  EXPECT_EQ(lines, (std::vector<Line>{{"5011 181234", true, false}}));
  // Whatever comes up to the next DC4 may be the rest of it.
  Arrive("113001015\x14" + kMessage);
  Pass(81);
  EXPECT_EQ(lines, (std::vector<Line>{{"5011 181234", true, false}, {"113001015\x14", false, true}, {kMessage}}));

  // A line that outgrows the receive buffer is given up at once.
  lines.clear();
  Burst(std::string(2100, 'x'));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), (Line{std::string(2048, 'x'), true, false}));
  Arrive("\x14" + kMessage);
  Pass(81);
  EXPECT_EQ(lines.back(), Line{kMessage});
  EXPECT_FALSE(lines[lines.size() - 2].start_seen);
}

TEST_F(PacketDriverTest, BytesThatComeRightAfterTheOpeningStartNoLine) {
  driver.Disconnect();
  ASSERT_TRUE(driver.Connect());
  // The rest of a line that was on its way when the port opened.
  Arrive(kMessage.substr(12) + kMessage);
  Pass(81);
  EXPECT_EQ(lines, (std::vector<Line>{{kMessage.substr(12), false, true}, {kMessage}}));

  // After a quiet moment, the first byte starts a line.
  lines.clear();
  driver.Disconnect();
  ASSERT_TRUE(driver.Connect());
  Pass(81);
  Arrive(kMessage);
  Pass(81);
  EXPECT_EQ(lines, std::vector<Line>{{kMessage}});
}

TEST_F(PacketDriverTest, QuickAckHandsAMessageOverAtItsClosingDc4) {
  driver.SetQuickAck(true);
  Arrive(kMessage);
  EXPECT_EQ(packets, std::vector<std::string>{kMessage});

  // A message split over two writes goes when its end arrives.
  packets.clear();
  Arrive(kMessage.substr(0, 12));
  Pass(40);
  EXPECT_TRUE(packets.empty());
  Arrive(kMessage.substr(12));
  EXPECT_EQ(packets, std::vector<std::string>{kMessage});

  // Bytes without a DC4 are given up after the time-out.
  lines.clear();
  Arrive("5011 18");
  Pass(80);
  EXPECT_TRUE(lines.empty());
  Pass(1);
  EXPECT_EQ(lines, (std::vector<Line>{{"5011 18", true, false}}));
}

TEST_F(PacketDriverTest, DiscardModeDropsALineThatStopsWithoutHandingItOver) {
  driver.SetPacketMode(PartialPacketMode::Discard);
  Arrive("5011 18");
  Pass(81);
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(pty.Waiting(), 0) << "the line is read and dropped";
  Arrive("1234113001015\x14" + kMessage);
  Pass(81);
  EXPECT_EQ(lines, (std::vector<Line>{{"1234113001015\x14", false, true}, {kMessage}}));
}

TEST_F(PacketDriverTest, AHandlerThatRunsTheLoopKeepsItsLinesAndGetsNoSecondBatchInItsMiddle) {
  // A handler that lets the event loop run (a message box) may see the line
  // readable again; the lines it reads must stay as they were.
  const std::string first = Messages(0, 13);  // past the packet size: at once
  const std::string second = Messages(13, 13);
  std::vector<std::string> seen;
  driver.OnReceiveLines = [&](SerialPacketDriver*, std::span<const ReceivedLine> batch) {
    if (seen.empty()) {
      Arrive(second);
      EXPECT_TRUE(seen.empty());
    }
    for (const ReceivedLine& l : batch) seen.emplace_back(reinterpret_cast<const char*>(l.Bytes.data()), l.Bytes.size());
  };
  Arrive(first);
  // The second batch goes after the first's handler has returned, whole.
  ASSERT_EQ(seen.size(), 26u);
  for (int i = 0; i < 26; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], Message(i));
}

TEST_F(PacketDriverTest, WithoutALinesHandlerEachCompleteLineIsAPacket) {
  driver.OnReceiveLines = nullptr;
  driver.OnReceivePacket = [&](SerialPacketDriver*, const std::uint8_t* p, std::uint32_t n) {
    packets.emplace_back(reinterpret_cast<const char*>(p), n);
  };
  Arrive(Messages(0, 2) + "tail");
  Pass(81);
  EXPECT_EQ(packets, (std::vector<std::string>{Message(0), Message(1)}));
}

TEST_F(PacketDriverTest, HandlerClosingThePortEndsTheHandingOver) {
  driver.OnReceiveLines = [&](SerialPacketDriver* sender, std::span<const ReceivedLine> batch) {
    EXPECT_EQ(sender, &driver);
    packets.emplace_back(batch.size(), '\0');
    driver.Disconnect();
  };
  Arrive(Messages(0, 13) + "5011");
  EXPECT_EQ(packets.size(), 1u);
  EXPECT_FALSE(driver.Connected());
  EXPECT_FALSE(driver.Watched());
  EXPECT_EQ(loop.TimerCount(), 0u);
}

TEST_F(PacketDriverTest, LostLineClosesThePortAndTellsTheOwner) {
  int lost = 0;
  driver.OnLineLost = [&](SerialPacketDriver* sender) {
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

TEST_F(PacketDriverTest, ALineThatBringsBytesAtEveryWakeUpStaysWatched) {
  // Each batch is followed by a read that finds nothing; that is no empty
  // wake-up, and a hundred lines later the line is still watched.
  driver.SetQuickAck(true);
  for (int i = 0; i < 100; ++i) Arrive(Message(i));
  EXPECT_EQ(packets.size(), 100u);
  EXPECT_TRUE(driver.Watched());
}

TEST_F(PacketDriverTest, AckReachesTheReceiverAndClosedPortSendsNothing) {
  const std::uint8_t ack = 6;
  EXPECT_EQ(driver.SendData(&ack, 1), 1u);
  EXPECT_EQ(pty.Read(1), "\x06");

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
  SerialPacketDriver other(ports, loop, clock);
  other.SetPortName(pty.path());
  EXPECT_FALSE(other.Connect());
  EXPECT_FALSE(other.Connected());
  EXPECT_FALSE(other.Watched());
  // The holder is undisturbed.
  Arrive(kMessage);
  Pass(81);
  EXPECT_EQ(packets, std::vector<std::string>{kMessage});
}

TEST_F(PacketDriverTest, SizesAreKeptWhileOpen) {
  // A packet larger than the fixed buffer is cut at the buffer's size.
  driver.SetPacketSize(4000);
  EXPECT_EQ(driver.PacketSize(), 2048);
  // A watched line has no poll timer to restart.
  driver.SetPollingDelay(3);
  EXPECT_EQ(driver.PollingDelay(), 5u);
  EXPECT_EQ(loop.TimerCount(), 0u);
}

TEST_F(PacketDriverTest, LineIsRawAtOpenAndIsRestoredAtClose) {
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
  SerialPacketDriver driver(ports, loop, clock);
  driver.SetPortName(pty.path());
  driver.SetOutputTimeout(80);
  ASSERT_TRUE(driver.Connect());
  // Nobody reads the receiver's end, so the line fills up and stays full.
  const std::string big = Pattern(1 << 20);
  std::error_code why;
  const std::uint32_t sent = driver.SendData(reinterpret_cast<const std::uint8_t*>(big.data()),
                                             static_cast<std::uint32_t>(big.size()), why);
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, big.size());
  EXPECT_EQ(why, std::errc::timed_out);
}

TEST(PacketDriverOpenTest, FailedOpenLeavesThePortClosed) {
  test::TempDir dir;
  dir.Write("plain-file", "not a terminal");
  FakeClock clock;
  SystemSerialPorts ports;
  ManualEventLoop loop(clock);
  for (const std::string& name : {dir.File("missing"), dir.File("plain-file"), std::string("LPT1")}) {
    SCOPED_TRACE(name);
    SerialPacketDriver driver(ports, loop, clock);
    driver.SetPortName(name);
    EXPECT_FALSE(driver.Connect());
    EXPECT_FALSE(driver.Connected());
    EXPECT_FALSE(driver.Watched());
    const std::uint8_t ack = 6;
    EXPECT_EQ(driver.SendData(&ack, 1), 0u);
  }
}

}  // namespace
}  // namespace orvent

// A damaged line is never taken for a message. Damaged first tries of
// numbered alarms, each followed by the clean resend a receiver sends when
// its try goes unanswered: the damaged try gets no ACK, and every alarm
// reaches the server once under its own number, with no record invented.
// Both programs, both ways of acknowledging; the test plays the receiver on
// a pseudo-terminal itself, so that every byte and every pause is its own.
// Then receiver-sim's noise in front of alarms, counted the same way.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/alarm_run.h"
#include "support/burst_run.h"
#include "support/pty_pair.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;

constexpr auto kLimit = 10s;
constexpr auto kEndLimit = 5s;
constexpr char kEnd = '\x14';  // DC4, which ends every receiver line
constexpr char kAck = '\x06';
// A heartbeat, answered at once and kept nowhere.
const std::string kHeartbeat = std::string("1011           @    ") + kEnd;
// How long the receiver waits for the ACK of a damaged try before it
// resends: past the ACK a line the driver took would get, in either mode.
constexpr auto kResendAfter = 800ms;
// After the alarm's ACK: long enough for the ACK of a noise line that came
// behind it, which the receiver would take for its next line's.
constexpr auto kQuiet = 250ms;

std::string Ended(std::string text) { return text + kEnd; }
std::string Inserted(std::string text, std::size_t at, char byte) { return text.insert(at, 1, byte); }
std::string Dropped(std::string text, std::size_t at) { return text.erase(at, 1); }
std::string Replaced(std::string text, std::size_t at, char byte) {
  text[at] = byte;
  return text;
}

// Bytes the receiver writes after a pause.
struct Piece {
  std::chrono::milliseconds Pause;
  std::string Bytes;
};
using Pieces = std::vector<Piece>;

// The first try of an alarm, made from its clean line (without its DC4).
struct FirstTry {
  const char* Name;
  Pieces (*Make)(const std::string& alarm);
  // The try holds the alarm's line whole and clean besides its noise: its
  // one ACK is the alarm's, and no resend follows.
  bool Answered;
};

const FirstTry kTries[] = {
    {"a clean alarm", [](const std::string& a) { return Pieces{{0ms, Ended(a)}}; }, true},
    {"\"5\" in front", [](const std::string& a) { return Pieces{{0ms, Ended("5" + a)}}; }, false},
    {"\"55\" in front", [](const std::string& a) { return Pieces{{0ms, Ended("55" + a)}}; }, false},
    {"\"5x\" in front", [](const std::string& a) { return Pieces{{0ms, Ended("5x" + a)}}; }, false},
    {"\"5011 18\" in front", [](const std::string& a) { return Pieces{{0ms, Ended("5011 18" + a)}}; }, false},
    {"a byte dropped", [](const std::string& a) { return Pieces{{0ms, Ended(Dropped(a, 10))}}; }, false},
    {"a byte inserted", [](const std::string& a) { return Pieces{{0ms, Ended(Inserted(a, 10, '7'))}}; }, false},
    {"DC4 at 1", [](const std::string& a) { return Pieces{{0ms, Ended(Inserted(a, 1, kEnd))}}; }, false},
    {"DC4 at 9", [](const std::string& a) { return Pieces{{0ms, Ended(Inserted(a, 9, kEnd))}}; }, false},
    {"DC4 at 19", [](const std::string& a) { return Pieces{{0ms, Ended(Inserted(a, 19, kEnd))}}; }, false},
    {"lead hit to 4", [](const std::string& a) { return Pieces{{0ms, Ended(Replaced(a, 0, '4'))}}; }, false},
    {"lead hit to x", [](const std::string& a) { return Pieces{{0ms, Ended(Replaced(a, 0, 'x'))}}; }, false},
    {"lead dropped", [](const std::string& a) { return Pieces{{0ms, Ended(Dropped(a, 0))}}; }, false},
    {"a zone byte above 127", [](const std::string& a) { return Pieces{{0ms, Ended(Replaced(a, 19, '\xE9'))}}; },
     false},
    {"a noise line, then the alarm",
     [](const std::string& a) { return Pieces{{0ms, Ended("A") + Ended(a)}}; }, true},
    // The noise line's ACK would reach a receiver that waits for its alarm's.
    {"a noise line 150 ms after a try with NUL in it",
     [](const std::string& a) { return Pieces{{0ms, Ended(Replaced(a, 12, '\0'))}, {150ms, Ended("A")}}; }, false},
    {"a noise line 40 ms after the alarm",
     [](const std::string& a) { return Pieces{{0ms, Ended(a)}, {40ms, Ended("A")}}; }, true},
};

// The ACKs that arrive within `window` (all of it), or until `enough` came.
std::size_t AcksWithin(test::PtyPair& line, std::chrono::milliseconds window, std::size_t enough = SIZE_MAX) {
  const std::string got = line.Read(enough, window);
  return static_cast<std::size_t>(std::count(got.begin(), got.end(), kAck));
}

struct Run {
  const char* Name;
  const char* Program;
  bool QuickAck;
};

void PrintTo(const Run& r, std::ostream* os) { *os << r.Name; }

class EndToEndDamagedTries : public test::AlarmRunTest, public ::testing::WithParamInterface<Run> {};

TEST_P(EndToEndDamagedTries, GoUnansweredAndTheResendsDeliverEveryAlarmOnce) {
  test::PtyPair line;
  if (!line.ok()) GTEST_SKIP() << "no pseudo-terminal on this machine";
  test::MsgServerSim server(ServerArgs());
  test::DriverIni ini(line.path(), server.Port());
  ini.MainKeys = {GetParam().QuickAck ? "QuickAck=1" : "QuickAck=0"};
  test::DriverProcess driver(work.path(), ini, {}, GetParam().Program);
  // The driver reads the line once a heartbeat is answered; what came before
  // its opening is dropped or goes unanswered.
  const bool ready = test::WaitUntil(
      [&] { return line.Write(kHeartbeat) && AcksWithin(line, 300ms, 1) == 1; }, kLimit);
  ASSERT_TRUE(ready) << driver.Output();
  AcksWithin(line, 500ms);  // the ACKs of heartbeats that crossed the one answered

  for (const FirstTry& first : kTries) {
    SCOPED_TRACE(first.Name);
    const std::size_t number = ledger.Sent() + 1;
    const std::string alarm = ledger.Next();
    std::size_t acks = 0;
    for (const Piece& piece : first.Make(alarm)) {
      if (piece.Pause > 0ms) acks += AcksWithin(line, piece.Pause);
      ASSERT_TRUE(line.Write(piece.Bytes));
    }
    // A try that holds the alarm whole may take as long as a busy machine
    // needs: a resend of it would be a second record of the alarm.
    acks += AcksWithin(line, first.Answered ? kLimit : kResendAfter, 1);
    EXPECT_EQ(acks, first.Answered ? 1u : 0u) << "ACKs of the first try";
    if (acks == 0) {
      ASSERT_TRUE(line.Write(Ended(alarm)));
      acks += AcksWithin(line, kLimit, 1);
    }
    acks += AcksWithin(line, kQuiet);
    EXPECT_EQ(acks, 1u) << "one ACK for the alarm, whatever came with it";
    // A receiver takes the first ACK after its try for its alarm's.
    if (acks > 0) ledger.Acknowledged(number);
  }

  EXPECT_TRUE(WaitAllDelivered(20s)) << Tally().Text() << "\n" << driver.Output();
  // Whatever a damaged line might have become left the spool with the rest.
  EXPECT_TRUE(test::WaitUntil([&] { return test::SpoolFiles(work.path()).empty(); }, kLimit));
  const test::AlarmTally t = Tally();
  std::printf("%s: %s\n", GetParam().Name, t.Text().c_str());
  EXPECT_EQ(t.Acked, std::size(kTries));
  EXPECT_EQ(t.Delivered, std::size(kTries)) << t.Text();
  EXPECT_EQ(t.Repeated, 0u) << "each alarm once";
  EXPECT_EQ(t.Lost, 0u) << t.Text();
  EXPECT_TRUE(t.Faults.empty()) << "records no alarm became:\n" << t.FaultText();
  EXPECT_EQ(driver.Terminate(kEndLimit), 0) << driver.Output();
}

INSTANTIATE_TEST_SUITE_P(Runs, EndToEndDamagedTries,
                         ::testing::Values(Run{"WindowDefault", ORVENT_DRIVER, false},
                                           Run{"WindowQuickAck", ORVENT_DRIVER, true},
                                           Run{"ServiceDefault", ORVENT_SERVICE, false},
                                           Run{"ServiceQuickAck", ORVENT_SERVICE, true}),
                         [](const ::testing::TestParamInfo<Run>& p) { return std::string(p.param.Name); });

// receiver-sim's noise: N random bytes written together with each alarm's
// first try, the resends clean. No acknowledged alarm may be missing at the
// server, and no record there may be one that no alarm became.
class EndToEndNoise : public test::AlarmRunTest, public ::testing::WithParamInterface<int> {};

TEST_P(EndToEndNoise, LosesNoAcknowledgedAlarmAndInventsNoRecord) {
  constexpr std::size_t kAlarms = 100;
  const int noise = GetParam();
  test::MsgServerSim server(ServerArgs());
  const std::string file = side.File("alarms.txt");
  test::WriteBurstFile(ledger, file, kAlarms);
  // QuickAck answers a kept line within milliseconds, so the receiver may
  // resend soon and the run stays short.
  test::ReceiverSim receiver({"--file", file, "--noise", std::to_string(noise), "--seed", std::to_string(noise),
                              "--timeout", "150", "--retries", "5"});
  test::DriverIni ini(receiver.Device(), server.Port());
  ini.MainKeys = {"QuickAck=1"};
  test::DriverProcess service(work.path(), ini, {}, ORVENT_SERVICE);
  ASSERT_TRUE(ledger.TakeReports(receiver, 90s, [&] { return ledger.Finished(); }))
      << ledger.Outcomes() << " of " << kAlarms << " lines have an outcome\n" << service.Output();
  EXPECT_TRUE(WaitAllDelivered(20s)) << Tally().Text();
  EXPECT_TRUE(test::WaitUntil([&] { return test::SpoolFiles(work.path()).empty(); }, kLimit));
  const test::AlarmTally t = Tally();
  std::printf("noise %d: %s, invented %zu\n", noise, t.Text().c_str(), t.Faults.size());
  EXPECT_EQ(t.Acked, kAlarms) << "the clean resends are acknowledged";
  EXPECT_EQ(t.Lost, 0u) << t.Text();
  EXPECT_TRUE(t.Faults.empty()) << t.FaultText();
  EXPECT_EQ(service.Terminate(kEndLimit), 0);
}

INSTANTIATE_TEST_SUITE_P(Bytes, EndToEndNoise, ::testing::Values(3, 20, 100),
                         [](const ::testing::TestParamInfo<int>& p) { return "Noise" + std::to_string(p.param); });

}  // namespace
}  // namespace orvent

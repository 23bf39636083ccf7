// The built orvent-driver as a process in a folder of its own, between
// receiver-sim on a pseudo-terminal and msgserver-sim on loopback: the road
// of an alarm from the receiver's line to the server, through the spool when
// the server is away, and what an orderly end leaves on disk.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "delivery/server_link.h"
#include "platform/clock.h"
#include "receiver/message_decoder.h"
#include "support/driver_process.h"
#include "support/event_records.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

constexpr auto kLimit = 10s;

// A receiver line and the fields its record must carry, written out from the
// documented rules with the default settings: number = account (7-10) +
// (partition (15-16) read as decimal + 4) * 10000; partition byte = the same
// two characters read as hexadecimal; kind = the digit at 12, or 0 for "A0"
// at 11; zone (17-19) lower-cased.
struct EventLine {
  std::string Line;
  std::string Fields;
};

// Account, event code, partition and zone differ from line to line: a
// restore, a test message ("A0"), a partition that reads differently as
// hexadecimal and a zone with letters.
const std::vector<EventLine> kEvents = {
    {"5011 181234113001005", "number=51234 zone=005 partition=1 kind=1 mark=33"},
    {"5011 1898763130120AB", "number=169876 zone=0ab partition=18 kind=1 mark=33"},
    {"5011 181111A00203007", "number=71111 zone=007 partition=3 kind=0 mark=33"},
    {"5011 184321140108F12", "number=124321 zone=f12 partition=8 kind=4 mark=33"},
};
// A heartbeat: acknowledged, but not an event, so nothing goes to the server.
const std::string kOtherLine = "1011           @    ";

std::vector<std::string> EventLines() {
  std::vector<std::string> lines;
  for (const EventLine& e : kEvents) lines.push_back(e.Line);
  return lines;
}

const std::vector<std::string> kEventLines = EventLines();

std::multiset<std::string> ExpectedFields() {
  std::multiset<std::string> all;
  for (const EventLine& e : kEvents) all.insert(e.Fields);
  return all;
}

test::EventFields Record(const test::RecordBytes& bytes) {
  const auto r = test::ReadEventRecord(bytes);
  EXPECT_TRUE(r.has_value()) << bytes.size() << " record bytes";
  return r.value_or(test::EventFields{});
}

// The fields of every spool file's record; each file is 24 bytes that start
// with the event command.
std::multiset<std::string> SpooledFields(const std::map<std::string, std::string>& files) {
  std::multiset<std::string> all;
  for (const auto& [name, bytes] : files) {
    const auto record = test::SpoolRecord(bytes);
    EXPECT_TRUE(record.has_value()) << name << ": " << bytes.size() << " bytes";
    if (record) all.insert(test::FieldsText(Record(*record)));
  }
  return all;
}

class EndToEnd : public ::testing::Test {
protected:
  std::string EventsFile() const { return side.File("events.jsonl"); }

  // The driver's folder: kelmora.ini, spool files, kelmora.log.
  test::TempDir work;
  // The simulators' files, apart from the driver's.
  test::TempDir side;
};

TEST_F(EndToEnd, LiveEventsReachTheServerWithTheFieldsOfTheirLines) {
  // Stamped on one clock, as the benchmarks read them.
  test::MsgServerSim server({"--events", EventsFile(), "--stamp"});
  test::ReceiverSim receiver({"--stdin", "--stamp"});
  test::DriverProcess driver(work.path(), {receiver.Device(), server.Port()});
  ASSERT_TRUE(driver.WaitFor(kStatusConnected, kLimit)) << driver.Output();
  // The version frame ends the handshake: from here on, events go straight out.
  ASSERT_TRUE(test::WaitFrame(server, "cmd_version", kLimit));

  SystemClock wall;
  const TDateTime before = wall.Now();
  const std::vector<std::string> sent = {kEventLines[0], kOtherLine, kEventLines[1], kEventLines[2]};
  for (const std::string& line : sent) ASSERT_TRUE(receiver.Send(line));
  std::vector<std::string> reports;
  ASSERT_TRUE(receiver.WaitAcked(sent.size(), kLimit, &reports));
  std::vector<std::string> frames;
  for (int i = 0; i < 3; ++i) {
    const auto frame = test::WaitFrame(server, "cmd_event", kLimit);
    ASSERT_TRUE(frame.has_value()) << "event " << i;
    frames.push_back(*frame);
  }
  const TDateTime after = wall.Now();

  // Each event reached the server after its line left the receiver, and soon:
  // the two clocks compare.
  const std::size_t event_report[] = {0, 2, 3};
  for (std::size_t i = 0; i < 3; ++i) {
    const std::string& report = reports.at(event_report[i]);
    const auto sent_at = report.find(" sent_us ");
    const auto received_at = frames[i].find(" mono_us=");
    ASSERT_NE(sent_at, std::string::npos) << report;
    ASSERT_NE(received_at, std::string::npos) << frames[i];
    const long long gap_us = std::stoll(frames[i].substr(received_at + 9)) - std::stoll(report.substr(sent_at + 9));
    EXPECT_GT(gap_us, 0) << report << "\n" << frames[i];
    EXPECT_LT(gap_us, 5000000) << report << "\n" << frames[i];
  }

  const auto records = test::ServerRecords(EventsFile());
  ASSERT_EQ(records.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(kEventLines[i]);
    const test::EventFields got = Record(records[i]);
    EXPECT_EQ(test::FieldsText(got), kEvents[i].Fields);
    // The local wall-clock time at which the driver decoded the line.
    EXPECT_GE(MsFromDateTime(got.RecvTime), MsFromDateTime(before));
    EXPECT_LE(MsFromDateTime(got.RecvTime), MsFromDateTime(after));
  }
  EXPECT_FALSE(work.Exists("kelmora.log")) << "Log is off";
  EXPECT_EQ(driver.Terminate(2s), 0);
}

TEST_F(EndToEnd, RecordsSpooledWhileTheServerIsAwayAreDeliveredAndDeleted) {
  // A port that nothing listens on, until the server comes back on it.
  std::uint16_t port = 0;
  {
    test::MsgServerSim gone({});
    port = gone.Port();
    gone.Process().Signal(SIGTERM);
    ASSERT_TRUE(gone.Process().WaitExit(kLimit).has_value());
  }
  test::ReceiverSim receiver(kEventLines);
  test::DriverProcess driver(work.path(), {receiver.Device(), port});
  ASSERT_TRUE(receiver.WaitAcked(kEventLines.size(), kLimit));

  std::map<std::string, std::string> spooled;
  ASSERT_TRUE(test::WaitUntil([&] { return (spooled = test::SpoolFiles(work.path())).size() >= kEventLines.size(); }, 5s))
      << spooled.size() << " spool files\n" << driver.Output();
  EXPECT_EQ(spooled.size(), kEventLines.size());
  EXPECT_EQ(SpooledFields(spooled), ExpectedFields());

  test::MsgServerSim back({"--events", EventsFile()}, port);
  // The next attempt comes at most 5 s after the last; then one file a tick.
  EXPECT_TRUE(test::WaitUntil([&] { return test::SpoolFiles(work.path()).empty(); }, 20s))
      << test::SpoolFiles(work.path()).size() << " spool files left\n" << driver.Output();

  // Every spooled record reached the server byte for byte (repeats allowed).
  std::set<std::string> delivered;
  for (const auto& record : test::ServerRecords(EventsFile())) delivered.emplace(record.begin(), record.end());
  for (const auto& [name, bytes] : spooled) {
    EXPECT_EQ(delivered.count(bytes.substr(4)), 1u) << name << " was not delivered";
  }
  EXPECT_EQ(delivered.size(), kEventLines.size());
  EXPECT_EQ(driver.Terminate(2s), 0);
}

// SIGTERM and SIGINT both close the driver in order.
class EndToEndSignal : public EndToEnd, public ::testing::WithParamInterface<int> {};

TEST_P(EndToEndSignal, EventsWaitingAtTheSignalAreLeftOnDisk) {
  // The server takes the first event and sits on its answer, so the link
  // thread waits for it while the next events queue behind.
  test::MsgServerSim server({"--ack-delay", "30000", "--events", EventsFile()});
  test::ReceiverSim receiver({"--stdin"});
  test::DriverProcess driver(work.path(), {receiver.Device(), server.Port()});
  ASSERT_TRUE(test::WaitFrame(server, "cmd_version", kLimit)) << driver.Output();
  for (const std::string& line : kEventLines) ASSERT_TRUE(receiver.Send(line));
  ASSERT_TRUE(receiver.WaitAcked(kEventLines.size(), kLimit));
  ASSERT_TRUE(test::WaitFrame(server, "cmd_event", kLimit));

  const auto start = Steady::now();
  EXPECT_EQ(driver.Terminate(3s, GetParam()), 0) << driver.Output();
  EXPECT_LE(Steady::now() - start, 2s);

  // None was acknowledged by the server, so every one is on disk, the one
  // whose answer never came included.
  const auto spooled = test::SpoolFiles(work.path());
  EXPECT_EQ(SpooledFields(spooled), ExpectedFields());
}

INSTANTIATE_TEST_SUITE_P(Signals, EndToEndSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& sent) {
                           return std::string(sent.param == SIGTERM ? "Sigterm" : "Sigint");
                         });

TEST_F(EndToEnd, SigtermEndsTheDriverWhileItsStartUpWarningIsUp) {
  // A port that will not open holds start-up in a modal warning that no one
  // at a headless station can close; a signal must still end the program.
  test::MsgServerSim server({});
  test::DriverProcess driver(work.path(), {work.File("no-such-port"), server.Port()});
  // Said before the warning goes up; a port that is not there is not called busy.
  ASSERT_TRUE(driver.WaitFor(": нет такого устройства.", kLimit)) << driver.Output();
  EXPECT_EQ(driver.Output().find("Порт уже занят"), std::string::npos) << driver.Output();

  const auto start = Steady::now();
  EXPECT_EQ(driver.Terminate(3s), 0) << driver.Output();
  EXPECT_LE(Steady::now() - start, 2s);
}

// A second window program on the folder refuses before it touches the port
// or the spool, says why where it can be read, and ends with a failure.
TEST_F(EndToEnd, ASecondDriverOnTheFolderRefusesAndTheFirstGoesOn) {
  test::MsgServerSim server({"--events", EventsFile()});
  test::ReceiverSim receiver({"--stdin"});
  test::DriverProcess first(work.path(), {receiver.Device(), server.Port()});
  ASSERT_TRUE(test::WaitFrame(server, "cmd_version", kLimit)) << first.Output();
  test::DriverProcess second(work.path(), {receiver.Device(), server.Port()});
  EXPECT_TRUE(second.WaitFor("уже работает драйвер (процесс " + std::to_string(first.Process().Pid()) + ")", kLimit))
      << second.Output();
  EXPECT_EQ(second.Process().WaitExit(kLimit), 6) << second.Output();
  ASSERT_TRUE(receiver.Send(kEventLines[0]));
  EXPECT_TRUE(receiver.WaitAcked(1, kLimit)) << "the first goes on\n" << first.Output();
  EXPECT_EQ(first.Terminate(3s), 0) << first.Output();
}

TEST_F(EndToEnd, RawLogHoldsEveryPacketByteForByte) {
  test::MsgServerSim server({});
  // A line that is no event is logged all the same.
  const std::vector<std::string> lines = {kEventLines[0], kOtherLine, kEventLines[3]};
  test::ReceiverSim receiver(lines);
  test::DriverProcess driver(work.path(),
                             {receiver.Device(), server.Port(), true});
  ASSERT_TRUE(receiver.WaitAcked(lines.size(), kLimit)) << driver.Output();

  std::string expected;
  for (const std::string& line : lines) expected += line + static_cast<char>(kDC4);
  // Each packet is logged before its ACK goes out.
  EXPECT_EQ(work.Read("kelmora.log"), expected);
  EXPECT_EQ(driver.Terminate(2s), 0);
}

TEST_F(EndToEnd, ARawLogThatCannotBeWrittenHoldsNoAlarmBack) {
  test::MsgServerSim server({"--events", EventsFile()});
  // kelmora.log is a folder: no entry can be appended to it.
  std::filesystem::create_directory(work.File("kelmora.log"));
  test::ReceiverSim receiver(kEventLines);
  test::DriverProcess driver(work.path(), {receiver.Device(), server.Port(), true});
  ASSERT_TRUE(receiver.WaitAcked(kEventLines.size(), kLimit)) << driver.Output();
  EXPECT_TRUE(test::WaitUntil([&] { return test::ServerRecords(EventsFile()).size() >= kEvents.size(); }, kLimit))
      << driver.Output();
  std::multiset<std::string> delivered;
  for (const auto& record : test::ServerRecords(EventsFile())) delivered.insert(test::FieldsText(Record(record)));
  EXPECT_EQ(delivered, ExpectedFields());
  EXPECT_EQ(driver.Terminate(2s), 0);
}

}  // namespace
}  // namespace orvent

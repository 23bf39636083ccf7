// An ACK promises that very line is kept. Bursts written as fast as the line
// takes them while the disk is busy, noise in front of alarms, a spool folder
// that cannot be written, and a SIGKILL in the middle of a burst: every ACK
// stands for a record that reaches the server, and no record is invented.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/alarm_run.h"
#include "support/burst_run.h"
#include "support/busy_disk.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;

constexpr auto kLimit = 10s;
constexpr auto kEndLimit = 5s;


using test::BurstReader;
using test::BurstReport;
using test::WaitDrainingServer;

// Runs of 2,000 numbered alarms written back to back by receiver-sim --burst.
class EndToEndBurst : public test::AlarmRunTest {
protected:
  // The ledger's next `count` alarms, a line each, for receiver-sim --file.
  std::string BurstFile(std::size_t count) {
    const std::string path = side.File("burst.txt");
    test::WriteBurstFile(ledger, path, count);
    return path;
  }

  // Waits until the server holds as many distinct alarms as were
  // acknowledged, then checks that it does and that none was invented.
  void ExpectEveryAckAtTheServer(test::MsgServerSim& server, const BurstReport& report, const std::string& what) {
    const test::AlarmTally t = test::WaitDeliveredTally(ledger, server, EventsFile(), work.path(), report.acked, 60s);
    std::printf("%s: lines %ld, ACKs %ld, distinct records at the server %zu, invented %zu, %.0f alarms/s\n",
                what.c_str(), report.lines, report.acked, t.Delivered, t.Faults.size(), report.per_s);
    EXPECT_GT(report.acked, 0);
    EXPECT_GE(t.Delivered, static_cast<std::size_t>(report.acked)) << t.Text();
    EXPECT_TRUE(t.Faults.empty()) << t.FaultText();
  }
};

struct BurstCase {
  const char* name;
  const char* program;
  bool quick_ack;
};

void PrintTo(const BurstCase& c, std::ostream* os) { *os << c.name; }

class EndToEndBursts : public EndToEndBurst, public ::testing::WithParamInterface<BurstCase> {};

// 2,000 event lines back to back while another program keeps the disk busy:
// every line acknowledged stands for a record of its own at the server.
TEST_P(EndToEndBursts, EveryAckIsARecordAtTheServerAndNoRecordIsInvented) {
  constexpr long kLines = 2000;
  test::MsgServerSim server(ServerArgs());
  test::ReceiverSim receiver({"--burst", "--file", BurstFile(kLines), "--quiet", "5000"});
  test::DriverIni ini(receiver.Device(), server.Port());
  if (GetParam().quick_ack) ini.MainKeys = {"QuickAck=1"};
  test::BusyDisk busy(work.File("busy.bin"));
  test::DriverProcess driver(work.path(), ini, {}, GetParam().program);
  BurstReader reader(receiver);
  const std::optional<BurstReport> report = reader.Wait(server);
  ASSERT_TRUE(report) << driver.Output();
  ExpectEveryAckAtTheServer(server, *report, GetParam().name);
  EXPECT_EQ(report->acked, kLines) << "a whole line went unacknowledged";
  EXPECT_EQ(driver.Terminate(kEndLimit), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, EndToEndBursts,
    ::testing::Values(BurstCase{"WindowQuickAck", ORVENT_DRIVER, true}, BurstCase{"WindowDefault", ORVENT_DRIVER, false},
                      BurstCase{"ServiceQuickAck", ORVENT_SERVICE, true},
                      BurstCase{"ServiceDefault", ORVENT_SERVICE, false}),
    [](const ::testing::TestParamInfo<BurstCase>& p) { return std::string(p.param.name); });

// Killed in the middle of a burst, then started again: whatever the receiver
// saw acknowledged reaches the server.
TEST_F(EndToEndBurst, ASigkillDuringABurstLosesNoAcknowledgedLine) {
  test::MsgServerSim server(ServerArgs());
  test::ReceiverSim receiver({"--burst", "--file", BurstFile(2000), "--quiet", "8000"});
  test::TerminalModeRelease terminal(receiver.Device());
  test::DriverIni ini(receiver.Device(), server.Port());
  ini.MainKeys = {"QuickAck=1"};
  BurstReader reader(receiver);
  {
    test::BusyDisk busy(work.File("busy.bin"));
    test::DriverProcess first(work.path(), ini, {}, ORVENT_SERVICE);
    WaitDrainingServer(server, 1500ms, [] { return false; });
    first.Process().Signal(SIGKILL);
    first.Process().WaitExit(kLimit);
  }
  terminal.Release();
  test::DriverProcess second(work.path(), ini, {}, ORVENT_SERVICE);
  const std::optional<BurstReport> report = reader.Wait(server);
  ASSERT_TRUE(report) << second.Output();
  ExpectEveryAckAtTheServer(server, *report, "SIGKILL during a burst");
  EXPECT_EQ(second.Terminate(kEndLimit), 0);
}

// Noise written together with an alarm (1 to 300 random bytes in front of its
// first try): the damaged line goes unanswered and the alarm's resend is
// acknowledged; no acknowledged alarm is lost.
TEST_F(EndToEndBurst, NoiseInFrontOfAlarmsCostsAResendNeverAnAlarm) {
  test::MsgServerSim server(ServerArgs());
  std::size_t sent = 0;
  for (const int noise : {1, 2, 3, 7, 20, 64, 150, 300}) {
    test::ReceiverSim receiver({"--stdin", "--noise", std::to_string(noise), "--seed", std::to_string(noise),
                                "--timeout", "500", "--retries", "4"});
    ledger.ReceiverReplaced();
    test::DriverProcess driver(work.path(), test::DriverIni(receiver.Device(), server.Port(), true), {},
                               ORVENT_SERVICE);
    ASSERT_TRUE(SendAlarms(receiver, 3));
    sent += 3;
    ASSERT_TRUE(ledger.TakeReports(receiver, 30s, [&] { return ledger.Outcomes() == sent; })) << driver.Output();
    ASSERT_TRUE(WaitDrainingServer(server, kLimit, [&] { return Tally().AckedNotAtServer == 0; }))
        << Tally().Text();
    EXPECT_EQ(driver.Terminate(kEndLimit), 0);
  }
  EXPECT_EQ(Tally().Acked, sent) << "an alarm was given up by the receiver";
  ExpectNoneLost("noise before alarms");
  EXPECT_NE(work.Read("kelmora.log").find("# no ACK: "), std::string::npos) << "the damaged lines are noted";
}

// A spool folder that cannot be written. Without the server no event line is
// acknowledged; with it, each is acknowledged once the server confirms it.
class EndToEndNoDisk : public EndToEndBurst, public ::testing::WithParamInterface<const char*> {};

TEST_P(EndToEndNoDisk, NoAckWithoutDiskOrServerAndEveryAckDeliveredOnceTheyAreBack) {
  const std::string folder = work.File("spool");  // missing: nothing can be written there
  const std::uint16_t port = test::FreePort();
  test::ReceiverSim receiver({"--stdin", "--timeout", "400", "--retries", "1"});
  test::TerminalModeRelease terminal(receiver.Device());
  test::DriverIni ini(receiver.Device(), port);
  ini.MainKeys = {"PathForSoob=" + folder + "/"};
  {
    test::DriverProcess driver(work.path(), ini, {}, GetParam());
    ASSERT_TRUE(SendAlarms(receiver, 3));
    ASSERT_TRUE(ledger.TakeReports(receiver, kLimit, [&] { return ledger.Outcomes() == 3; }));
    EXPECT_EQ(ledger.Acked(), 0u) << "an alarm was acknowledged that neither disk nor server kept";
    EXPECT_TRUE(driver.WaitFor("события остаются в приёмнике", kLimit)) << driver.Output();
    EXPECT_EQ(driver.Terminate(kEndLimit), 0);
  }
  terminal.Release();
  // The server comes, the folder still cannot be written: each line is
  // acknowledged after the server's confirmation of its record.
  {
    test::MsgServerSim server(ServerArgs(), port);
    test::DriverProcess driver(work.path(), ini, {}, GetParam());
    ASSERT_TRUE(test::WaitFrame(server, "cmd_version", kLimit)) << driver.Output();
    test::WaitFrame(server, "cmd_first_number", 2s);
    ASSERT_TRUE(SendAlarms(receiver, 5));
    ASSERT_TRUE(ledger.TakeReports(receiver, kLimit, [&] { return ledger.Outcomes() == 8; }));
    EXPECT_EQ(ledger.Acked(), 5u);
    EXPECT_TRUE(WaitDrainingServer(server, kLimit, [&] { return Tally().AckedNotAtServer == 0; })) << Tally().Text();
    EXPECT_EQ(driver.Terminate(kEndLimit), 0);
  }
  terminal.Release();
  // The folder is back, the server away: lines are acknowledged from disk
  // and delivered once the server is back.
  std::filesystem::create_directory(folder);
  {
    test::DriverProcess driver(work.path(), ini, {}, GetParam());
    ASSERT_TRUE(SendAlarms(receiver, 3));
    ASSERT_TRUE(ledger.TakeReports(receiver, kLimit, [&] { return ledger.Outcomes() == 11; }));
    EXPECT_EQ(ledger.Acked(), 8u);
    test::MsgServerSim server(ServerArgs(), port);
    EXPECT_TRUE(WaitDrainingServer(server, 15s, [&] { return Tally().AckedNotAtServer == 0; })) << Tally().Text();
    EXPECT_EQ(driver.Terminate(kEndLimit), 0);
  }
  ExpectNoneLost(std::string(GetParam() == std::string(ORVENT_DRIVER) ? "window program" : "service") +
                 ", spool folder missing");
}

INSTANTIATE_TEST_SUITE_P(Programs, EndToEndNoDisk, ::testing::Values(ORVENT_DRIVER, ORVENT_SERVICE),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                           return std::string(p.param == std::string(ORVENT_DRIVER) ? "Window" : "Service");
                         });

}  // namespace
}  // namespace orvent

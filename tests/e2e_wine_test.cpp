// The Windows build's orvent-service.exe under Wine, in a folder of its own,
// between receiver-sim on a pseudo-terminal that Wine shows as a COM port and
// msgserver-sim on loopback: every alarm it acknowledges reaches the server,
// live or through the spool, and Ctrl+C (SIGINT, which Wine hands to a
// console program as its console's Ctrl+C) ends it in order. And
// orvent-inspect.exe beside the Linux build's inspector.

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "support/alarm_run.h"
#include "support/percentile.h"
#include "support/sample_records.h"
#include "support/temp_dir.h"
#include "support/wine_port.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;

// A program start under Wine takes a few seconds even with its server up.
constexpr auto kStartLimit = 60s;
constexpr auto kLimit = 20s;

const test::WineSetup kWine{ORVENT_WINE_RUN, ORVENT_WINE, ORVENT_WINE_PREFIX};
const std::string kService = std::string(ORVENT_WINDOWS_BUILD_DIR) + "/bin/orvent-service.exe";

using test::Percentile;

class WindowsServiceUnderWine : public test::AlarmRunTest {
protected:
  // orvent-service.exe in the work folder, its status lines merged into the
  // one stream as on Linux.
  void StartService(const test::DriverIni& ini) {
    service.emplace(work.path(), ini, test::DriverScreen{}, kWine.RunScript,
                    std::vector<std::string>{kWine.Wine, kWine.Prefix, kService});
  }


  std::optional<test::DriverProcess> service;
};

TEST_F(WindowsServiceUnderWine, DeliversLiveAndThroughTheSpoolAndEndsInOrder) {
  constexpr std::size_t kLive = 30;
  constexpr std::size_t kWhileAway = 5;
  const std::uint16_t port = test::FreePort();
  std::optional<test::MsgServerSim> server(std::in_place, ServerArgs(), port);
  test::ReceiverSim receiver({"--stdin"});
  test::WineComPort com(kWine, 60, receiver.Device());
  ASSERT_TRUE(com.ok());

  StartService(test::DriverIni(com.Name(), port));
  ASSERT_TRUE(test::WaitFrame(*server, "cmd_version", kStartLimit)) << service->Output();
  ASSERT_TRUE(SendTimed(receiver, kLive)) << Tally().Text() << "\n" << service->Output();
  ASSERT_TRUE(WaitAllDelivered(kLimit)) << Tally().Text() << "\n" << service->Output();
  const double live_p50 = Percentile(ack_ms, 0.50);
  const double live_p99 = Percentile(ack_ms, 0.99);
  const double live_max = Percentile(ack_ms, 1.0);

  // The server goes away: the alarms wait in the spool, and Ctrl+C leaves
  // them there with the service's last status line counting them.
  server->Process().Signal(SIGTERM);
  ASSERT_TRUE(server->Process().WaitExit(kLimit).has_value());
  server.reset();
  ASSERT_TRUE(SendAlarms(receiver, kWhileAway));
  ASSERT_TRUE(TakeAcks(receiver, kLive + kWhileAway)) << Tally().Text() << "\n" << service->Output();
  EXPECT_EQ(Tally().Spooled, kWhileAway);
  EXPECT_EQ(service->Terminate(kLimit, SIGINT), 0) << service->Output();
  EXPECT_TRUE(service->WaitFor("Драйвер остановлен. Событий в очереди: " + std::to_string(kWhileAway) + ".", kLimit))
      << service->Output();
  service.reset();
  EXPECT_EQ(Tally().Spooled, kWhileAway);

  // Started again with the server back: the spool drains.
  server.emplace(ServerArgs(), port);
  StartService(test::DriverIni(com.Name(), port));
  EXPECT_TRUE(WaitAllDelivered(kStartLimit)) << Tally().Text() << "\n" << service->Output();
  EXPECT_EQ(service->Terminate(kLimit, SIGINT), 0) << service->Output();
  EXPECT_TRUE(service->WaitFor("Драйвер остановлен. Событий в очереди: 0.", kLimit)) << service->Output();

  std::printf("orvent-service.exe under Wine: ACK of %zu live alarms p50 %.1f ms, p99 %.1f ms, max %.1f ms\n", kLive,
              live_p50, live_p99, live_max);
  ExpectNoneLost("orvent-service.exe under Wine, live and through the spool");
}

// With QuickAck=1 the ACK goes out as soon as the line is whole and on disk;
// on Windows the port is read every 20 ms (PollingDelay), so that is the
// time an ACK may wait for its line to be seen.
TEST_F(WindowsServiceUnderWine, QuickAckAnswersWithinThePollOfTheLine) {
  constexpr std::size_t kAlarms = 30;
  test::MsgServerSim server(ServerArgs());
  test::ReceiverSim receiver({"--stdin"});
  test::WineComPort com(kWine, 61, receiver.Device());
  ASSERT_TRUE(com.ok());
  test::DriverIni ini(com.Name(), server.Port());
  ini.MainKeys = {"QuickAck=1"};
  StartService(ini);
  ASSERT_TRUE(test::WaitFrame(server, "cmd_version", kStartLimit)) << service->Output();
  ASSERT_TRUE(SendTimed(receiver, kAlarms)) << Tally().Text() << "\n" << service->Output();
  EXPECT_TRUE(WaitAllDelivered(kLimit)) << Tally().Text() << "\n" << service->Output();
  EXPECT_EQ(service->Terminate(kLimit, SIGINT), 0) << service->Output();
  std::printf("orvent-service.exe under Wine, QuickAck=1: ACK of %zu alarms p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
              kAlarms, Percentile(ack_ms, 0.50), Percentile(ack_ms, 0.99), Percentile(ack_ms, 1.0));
  // Well inside the default settings' 100 ms; a wide margin for a busy machine.
  EXPECT_LT(Percentile(ack_ms, 0.50), 60.0);
  ExpectNoneLost("orvent-service.exe under Wine, QuickAck=1");
}

// One program per working folder on Windows too: the folder's lock is a file
// held open without sharing; a second service there refuses, names the
// first and ends with status 6, and the first runs on. Without a port the
// station says from the start that no alarm can flow.
TEST_F(WindowsServiceUnderWine, ASecondServiceOnTheFolderRefuses) {
  test::MsgServerSim server(ServerArgs());
  StartService(test::DriverIni(test::kNoComPort, server.Port()));
  ASSERT_TRUE(service->WaitFor("Тревоги не проходят: порт приёмника не задан (ComPort в kelmora.ini).", kStartLimit))
      << service->Output();
  ASSERT_TRUE(service->WaitFor("Сервер принял станцию, события передаются.", kStartLimit)) << service->Output();
  test::DriverProcess second(work.path(), test::DriverIni(test::kNoComPort, server.Port()), test::DriverScreen{},
                             kWine.RunScript, std::vector<std::string>{kWine.Wine, kWine.Prefix, kService});
  EXPECT_TRUE(second.WaitFor("уже работает драйвер (процесс ", kStartLimit)) << second.Output();
  EXPECT_EQ(second.Process().WaitExit(kLimit), 6) << second.Output();
  EXPECT_EQ(second.Output().find("Событий в очереди"), std::string::npos) << second.Output();
  EXPECT_EQ(service->Terminate(kLimit, SIGINT), 0) << service->Output();
  EXPECT_TRUE(service->WaitFor("Драйвер остановлен. Событий в очереди: 0.", kLimit)) << service->Output();
}

// Everything a program wrote until it ended, and how it ended; carriage
// returns dropped (a Windows program ends its lines with CR LF).
struct Ended {
  std::optional<int> status;
  std::string out;
};

Ended RunToEnd(const std::string& path, const std::vector<std::string>& args) {
  test::ChildOptions options;
  options.MergeStderr = true;
  test::ChildProcess process(path, args, options);
  Ended run;
  while (const auto line = process.ReadLine(kLimit)) run.out += *line + "\n";
  std::erase(run.out, '\r');
  run.status = process.WaitExit(kLimit);
  return run;
}

// orvent-inspect.exe reads the same settings and spool files and says the
// same as the Linux build, word for word.
TEST(InspectorUnderWine, DecodesAndListsTheSpoolAsOnLinux) {
  test::TempDir dir;
  dir.Write("kelmora.ini", "[main]\r\nVariantRazdel=2\r\nHex=1\r\n[Razdels]\r\n1234_1=777\r\n");
  for (int i = 1; i <= 3; ++i) {
    dir.Write(std::to_string(i) + ".dd8", test::SpoolFileText(Serialize(test::SampleSoob(1000 + i))));
  }
  dir.Write("odd.dd8", "not a record");
  const std::vector<std::vector<std::string>> commands = {
      {"decode", "--ini", dir.File("kelmora.ini"), "--time", "2011-09-06 14:30:00.250", "5011 1812341130010A1"},
      {"decode", "--ini", dir.File("kelmora.ini"), "1011 181234113001015"},
      {"spool", dir.Prefix()},
      {"spool", dir.File("missing") + "/"},
      {"--version"},
  };
  for (const auto& args : commands) {
    SCOPED_TRACE(args.front() + " " + args.back());
    const Ended linux_run = RunToEnd(ORVENT_INSPECT, args);
    std::vector<std::string> wine_args = {kWine.Wine, kWine.Prefix,
                                          std::string(ORVENT_WINDOWS_BUILD_DIR) + "/bin/orvent-inspect.exe"};
    wine_args.insert(wine_args.end(), args.begin(), args.end());
    const Ended windows_run = RunToEnd(kWine.RunScript, wine_args);
    ASSERT_TRUE(linux_run.status.has_value());
    ASSERT_FALSE(linux_run.out.empty());
    EXPECT_EQ(windows_run.status, linux_run.status) << windows_run.out;
    EXPECT_EQ(windows_run.out, linux_run.out);
  }
}

}  // namespace
}  // namespace orvent

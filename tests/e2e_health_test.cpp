// Never silent: whatever stops alarms from flowing is said at once, in the
// station's verdict and its own line, by both programs as processes (the
// window program on Qt's offscreen platform writes the same lines to
// standard error); and the alarms themselves are kept and delivered.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/alarm_run.h"
#include "support/driver_process.h"
#include "support/event_records.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

constexpr auto kLimit = 10s;

struct Program {
  const char* name;
  const char* path;
};

void PrintTo(const Program& p, std::ostream* os) { *os << p.name; }

class NeverSilent : public test::AlarmRunTest, public ::testing::WithParamInterface<Program> {
protected:
  void StartDriver(const test::DriverIni& ini) { driver.emplace(work.path(), ini, test::DriverScreen{}, GetParam().path); }
  bool Said(const std::string& text, std::chrono::milliseconds limit = kLimit) { return driver->WaitFor(text, limit); }
  // How many lines read so far hold `text`.
  std::size_t Count(const std::string& text) const {
    std::size_t count = 0;
    const std::string all = driver->Output();
    for (std::size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
    return count;
  }

  std::optional<test::DriverProcess> driver;
};

// A server that dies is seen at the first read or write that meets its end,
// and while the link rests: its line within a second, the verdict amber at
// once and red once the first retry has failed; its return is green again,
// and what waited meanwhile goes.
TEST_P(NeverSilent, AServerKilledIsToldWithinASecondThenRed) {
  const std::uint16_t port = test::FreePort();
  std::optional<test::MsgServerSim> server;
  server.emplace(ServerArgs(), port);
  test::ReceiverSim receiver({"--stdin"});
  StartDriver({receiver.Device(), port});
  ASSERT_TRUE(Said("Сервер принял станцию, события передаются.")) << driver->Output();
  EXPECT_NE(driver->Output().find("Работает: порт " + receiver.Device() + " открыт"), std::string::npos)
      << driver->Output();

  server->Process().Signal(SIGKILL);
  const auto killed = Steady::now();
  ASSERT_TRUE(Said("Связь с сервером потеряна - переподсоединение.", 2s)) << driver->Output();
  const auto told = std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - killed);
  std::printf("%s: a killed server told lost after %lld ms\n", GetParam().name, static_cast<long long>(told.count()));
  EXPECT_LT(told, 1s);
  const std::string away = "сервер 127.0.0.1:" + std::to_string(port) + " не принимает события";
  if (Count("Внимание: " + away + " (связь потеряна), переподсоединение.") == 0) {
    EXPECT_TRUE(Said("Внимание: " + away + " (связь потеряна), переподсоединение.", 1s)) << driver->Output();
  }
  server.reset();
  // Alarms go on being acknowledged: they wait on disk.
  ASSERT_TRUE(SendAlarms(receiver, 3));
  ASSERT_TRUE(TakeAcks(receiver, 3)) << driver->Output();
  EXPECT_TRUE(Said("Тревоги не проходят: " + away + " с ", 15s)) << driver->Output();

  server.emplace(ServerArgs(), port);
  EXPECT_TRUE(Said("Работает: порт " + receiver.Device() + " открыт, сервер принимает события.", 15s))
      << driver->Output();
  EXPECT_TRUE(WaitAllDelivered(kLimit)) << Tally().Text();
  ExpectNoneLost(std::string(GetParam().name) + ", server killed");
  // Attempts while it was away are one failure, not a line every 5 s.
  EXPECT_LE(Count("Соединение не удалось"), 1u) << driver->Output();
  EXPECT_EQ(Count("Ошибки по сети"), 0u) << driver->Output();
}

// A server that takes records and never acknowledges them: said once, amber.
TEST_P(NeverSilent, AServerThatDoesNotAcknowledgeIsToldOnceAndAmber) {
  test::MsgServerSim server(ServerArgs({"--no-ack"}));
  test::ReceiverSim receiver({"--stdin"});
  StartDriver({receiver.Device(), server.Port()});
  ASSERT_TRUE(Said("Сервер принял станцию, события передаются.")) << driver->Output();
  ASSERT_TRUE(SendAlarms(receiver, 1));
  ASSERT_TRUE(TakeAcks(receiver, 1)) << driver->Output();
  EXPECT_TRUE(Said("Сервер не подтверждает события -", kLimit)) << driver->Output();
  // The verdict turns with the news, in one line before or after it.
  if (Count("Внимание: сервер не подтверждает события.") == 0) {
    EXPECT_TRUE(Said("Внимание: сервер не подтверждает события.", 2s)) << driver->Output();
  }
  // It is sent again every 3 s; the line is not.
  driver->WaitFor("\x01", 7s);
  EXPECT_EQ(Count("Сервер не подтверждает события -"), 1u) << driver->Output();
  EXPECT_EQ(driver->Terminate(kLimit), 0) << driver->Output();
  EXPECT_EQ(test::SpoolFiles(work.path()).size(), 1u) << "the record stays until the server acknowledges it";
}

// No port is a loud state from the start.
TEST_P(NeverSilent, NoPortIsRedFromTheStart) {
  test::MsgServerSim server({});
  StartDriver({test::kNoComPort, server.Port()});
  EXPECT_TRUE(Said("Тревоги не проходят: порт приёмника не задан (ComPort в kelmora.ini).")) << driver->Output();
  EXPECT_TRUE(Said("Сервер принял станцию, события передаются.")) << driver->Output();
  EXPECT_EQ(driver->Terminate(kLimit), 0) << driver->Output();
}

// The raw log is optional: one that cannot be written holds no alarm back.
// (A folder under its name refuses every writer, root too.)
TEST_P(NeverSilent, ARawLogThatCannotBeWrittenHoldsNoAlarmBack) {
  std::filesystem::create_directory(work.File("kelmora.log"));
  test::MsgServerSim server(ServerArgs());
  test::ReceiverSim receiver({"--stdin"});
  test::DriverIni ini(receiver.Device(), server.Port(), /*log=*/true);
  StartDriver(ini);
  ASSERT_TRUE(Said("Сервер принял станцию, события передаются.")) << driver->Output();
  ASSERT_TRUE(SendTimed(receiver, 5)) << driver->Output();
  EXPECT_TRUE(WaitAllDelivered(kLimit)) << Tally().Text();
  EXPECT_TRUE(Said("Журнал kelmora.log не записывается (это папка) - тревоги принимаются и подтверждаются без него."))
      << driver->Output();
  if (Count("Внимание: журнал kelmora.log не записывается (это папка).") == 0) {
    EXPECT_TRUE(Said("Внимание: журнал kelmora.log не записывается (это папка).")) << driver->Output();
  }
  EXPECT_EQ(Count("Журнал kelmora.log не записывается"), 1u) << "once per change, not per line";
  EXPECT_EQ(driver->Terminate(kLimit), 0) << driver->Output();
  ExpectNoneLost(std::string(GetParam().name) + ", raw log refused");
  EXPECT_EQ(work.Read("error.txt"), "\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9" "15\r\n");
}

// An ACK that cannot be written counts for nothing: the line is left to the
// receiver's resend, and the failure is said. Output suspended on the
// terminal makes every write of the driver wait in vain.
TEST_P(NeverSilent, AnAckThatCannotBeWrittenIsLeftToTheResend) {
  test::MsgServerSim server(ServerArgs());
  test::ReceiverSim receiver({"--stdin", "--timeout", "1000", "--retries", "10"});
  // The test's own way onto the line, opened before the driver makes it exclusive.
  const int line = ::open(receiver.Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(line, 0);
  StartDriver({receiver.Device(), server.Port()});
  ASSERT_TRUE(Said("Сервер принял станцию, события передаются.")) << driver->Output();
  ASSERT_TRUE(SendTimed(receiver, 1)) << driver->Output();

  ASSERT_EQ(::tcflow(line, TCOOFF), 0);
  ASSERT_TRUE(SendAlarms(receiver, 1));
  EXPECT_TRUE(Said("подтверждение не записано (порт не принимает данные) - приёмник пришлёт строку снова.", 5s))
      << driver->Output();
  EXPECT_TRUE(Said("Тревоги не проходят: строки приёмника остаются без подтверждения с ", 10s)) << driver->Output();
  ASSERT_EQ(::tcflow(line, TCOON), 0);
  ASSERT_TRUE(TakeAcks(receiver, 2, 15s)) << driver->Output();
  EXPECT_TRUE(Said("подтверждения снова записываются.", 5s)) << driver->Output();
  EXPECT_TRUE(WaitAllDelivered(kLimit)) << Tally().Text();
  EXPECT_EQ(driver->Terminate(kLimit), 0) << driver->Output();
  ::close(line);
  ExpectNoneLost(std::string(GetParam().name) + ", ACK not written");
  EXPECT_NE(work.Read("error.txt").find("16\r\n"), std::string::npos);
}

// A settings file changed while alarms flow never changes what they become:
// rewritten in place over and over (a half-written file among the versions
// a reader could meet), then swapped for a pipe. Every alarm keeps the object
// number its settings give, the link keeps its server, and each change that
// applies, or fails, is said.
TEST_P(NeverSilent, SettingsChangedWhileAlarmsFlowChangeNoAlarm) {
  const std::uint16_t port = test::FreePort();
  std::optional<test::MsgServerSim> server;
  server.emplace(ServerArgs(), port);
  test::ReceiverSim receiver({"--stdin"});
  test::DriverIni ini(receiver.Device(), port);
  ini.MainKeys = {"QuickAck=1", "VariantRazdel=2"};
  ini.MoreSections = "[Razdels]\n1234_1=777\n";
  const std::string text = test::IniText(ini);
  StartDriver(ini);
  const std::string path = work.File("kelmora.ini");
  ASSERT_TRUE(Said("Сервер принял станцию, события передаются.")) << driver->Output();

  // Rewritten in place, in pieces, as an editor or a script may do it.
  std::atomic<bool> rewriting{true};
  std::size_t rewrites = 0;
  std::thread writer([&] {
    while (rewriting) {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      for (std::size_t at = 0; at < text.size(); at += 16) {
        out << text.substr(at, 16) << std::flush;
        std::this_thread::sleep_for(200us);
      }
      ++rewrites;
    }
  });
  const std::string alarm = "5011 181234113001015";
  constexpr int kAlarms = 200;
  for (int i = 0; i < kAlarms / 2; ++i) ASSERT_TRUE(receiver.Send(alarm));
  const bool acked = receiver.WaitAcked(kAlarms / 2, 30s);
  rewriting = false;
  writer.join();
  ASSERT_TRUE(acked) << driver->Output();
  std::printf("%s: %zu rewrites during %d alarms\n", GetParam().name, rewrites, kAlarms / 2);

  // A pipe where the file was: nothing waits for it, the last settings hold.
  std::filesystem::remove(path);
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_TRUE(Said(" не читаются (это не обычный файл) - действуют прежние", 8s)) << driver->Output();
  EXPECT_TRUE(Said("Внимание: kelmora.ini не читается (это не обычный файл), действуют прежние настройки", 2s))
      << driver->Output();
  for (int i = 0; i < kAlarms / 2; ++i) ASSERT_TRUE(receiver.Send(alarm));
  ASSERT_TRUE(receiver.WaitAcked(kAlarms / 2, 30s)) << driver->Output();
  // The server goes and comes back: the link goes back to it, not to a default.
  server.reset();
  server.emplace(ServerArgs(), port);
  ASSERT_TRUE(Said("Сервер принял станцию, события передаются.", 15s)) << driver->Output();
  EXPECT_TRUE(test::WaitUntil([&] { return test::ServerRecords(EventsFile()).size() >= kAlarms; }, kLimit));
  std::map<std::int32_t, std::size_t> numbers;
  for (const auto& record : test::ServerRecords(EventsFile())) ++numbers[test::ReadEventRecord(record)->Number];
  // 777 + FirstNumber 4 × 10000; a default read would give 41234 or 51234.
  EXPECT_EQ(numbers.size(), 1u);
  EXPECT_GE(numbers[40777], static_cast<std::size_t>(kAlarms));
  EXPECT_EQ(driver->Terminate(kLimit), 0) << driver->Output();
}

INSTANTIATE_TEST_SUITE_P(Programs, NeverSilent,
                         ::testing::Values(Program{"Service", ORVENT_SERVICE}, Program{"Window", ORVENT_DRIVER}),
                         [](const ::testing::TestParamInfo<Program>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace orvent

// The built orvent-service as systemd runs it, with a datagram socket of the
// test's own in the manager's place: it says when it is up, shows its
// health and backlog as the unit's status, feeds the watchdog, gives its
// lines their journal priorities, and says when it ends.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "support/alarm_run.h"
#include "support/driver_process.h"
#include "support/event_records.h"
#include "support/notify_socket.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;

constexpr auto kLimit = 10s;

// A record decoded 2011-09-06 14:30:00.250, by the documented layout.
constexpr char kRecordHex[] = "22 C8 00 00 03 30 31 35 00 01 01 C7 66 5B 55 13 EB E3 40 21";

TEST(ServiceUnderItsManager, TellsReadyTheBacklogWatchdogPingsAndItsEnd) {
  test::TempDir work;
  test::TempDir side;
  test::NotifySocket manager(side.File("notify"));
  const auto record = test::FromHex(kRecordHex);
  ASSERT_TRUE(record.has_value());
  std::string spool_file(std::begin(test::kSpoolCommand), std::end(test::kSpoolCommand));
  spool_file.append(record->begin(), record->end());
  work.Write("1CDC4F3A.dd8", spool_file);

  // The server comes later: the record waits.
  const std::uint16_t port = test::FreePort();
  test::DriverProcess service(work.path(), test::DriverIni(test::kNoComPort, port), {}, ORVENT_SERVICE, {},
                              {"NOTIFY_SOCKET=" + manager.Name(), "WATCHDOG_USEC=400000"});
  const std::string waiting =
      "В очереди: 1, самое раннее 06.09.2011 14:30:00; последнее принятое -; последнее подтверждённое -.";
  // No port: the station says that no alarm can flow, first in the status.
  const std::string no_port = "STATUS=Тревоги не проходят: порт приёмника не задан (ComPort в kelmora.ini)";
  const auto with_waiting = [&](const std::string& m) {
    return m.rfind(no_port, 0) == 0 && m.ends_with(". " + waiting);
  };
  ASSERT_TRUE(manager.WaitFor("READY=1", kLimit)) << manager.ReceivedText() << service.Output();
  // The spool's first scan may end before or after the service is up; its
  // record is the status at once either way.
  const auto& so_far = manager.Received();
  if (std::none_of(so_far.begin(), so_far.end(), with_waiting)) {
    EXPECT_TRUE(manager.WaitFor(no_port, 2s) && with_waiting(manager.Received().back())) << manager.ReceivedText();
  }
  EXPECT_TRUE(service.WaitFor(waiting, 2s)) << service.Output();
  for (int ping = 0; ping < 3; ++ping) {
    ASSERT_TRUE(manager.WaitFor("WATCHDOG=1", kLimit)) << "ping " << ping << "\n" << manager.ReceivedText();
  }

  // Delivered: the emptied backlog is the status at once.
  test::MsgServerSim server({}, port);
  const std::string delivered = "В очереди: 0; последнее принятое -; последнее подтверждённое 06.09.2011 14:30:00.";
  ASSERT_TRUE(manager.WaitFor(no_port, kLimit)) << manager.ReceivedText() << service.Output();
  while (!manager.Received().back().ends_with(delivered)) {
    ASSERT_TRUE(manager.WaitFor(no_port, kLimit)) << manager.ReceivedText() << service.Output();
  }
  EXPECT_TRUE(service.WaitFor(delivered, kLimit)) << service.Output();
  EXPECT_TRUE(test::SpoolFiles(work.path()).empty());

  // The end is announced, and no ping follows it.
  EXPECT_EQ(service.Terminate(kLimit), 0) << service.Output();
  ASSERT_TRUE(manager.WaitFor("STOPPING=1", kLimit)) << manager.ReceivedText();
  while (const auto late = manager.Receive(200ms)) EXPECT_NE(*late, "WATCHDOG=1") << "a ping after STOPPING=1";
}

// Under systemd each line carries its priority, so that `journalctl -p
// warning` finds the problems; the verdict changes are lines of their own.
TEST(ServiceUnderItsManager, LinesCarryTheirJournalPriorities) {
  test::TempDir work;
  test::TempDir side;
  test::NotifySocket manager(side.File("notify"));
  test::MsgServerSim server({});
  test::DriverProcess service(work.path(), test::DriverIni(test::kNoComPort, server.Port()), {}, ORVENT_SERVICE,
                              {}, {"NOTIFY_SOCKET=" + manager.Name()}, /*output_is_journal=*/true);
  ASSERT_TRUE(service.WaitFor("<3>", kLimit)) << service.Output();
  EXPECT_TRUE(service.WaitFor("Сервер принял станцию, события передаются.", kLimit)) << service.Output();
  const std::string output = service.Output();
  const auto line_with = [&](const std::string& text) {
    const std::size_t at = output.find(text);
    if (at == std::string::npos) return std::string();
    const std::size_t start = output.rfind('\n', at);
    return output.substr(start == std::string::npos ? 0 : start + 1, at - (start == std::string::npos ? 0 : start + 1));
  };
  EXPECT_EQ(line_with("Тревоги не проходят: порт приёмника не задан").substr(0, 3), "<3>") << output;
  EXPECT_EQ(line_with("Сервер принял станцию").substr(0, 3), "<6>") << output;
  EXPECT_EQ(line_with("Настройки: ").substr(0, 3), "<6>") << output;
  EXPECT_EQ(service.Terminate(kLimit), 0) << service.Output();
}

// A second program on the same folder refuses before it touches the port or
// the spool, names the first, and ends with a failure; the first goes on.
TEST(ServiceUnderItsManager, ASecondServiceOnTheFolderRefuses) {
  test::TempDir work;
  test::MsgServerSim server({});
  test::DriverProcess first(work.path(), test::DriverIni(test::kNoComPort, server.Port()), {}, ORVENT_SERVICE);
  ASSERT_TRUE(first.WaitFor("Сервер принял станцию", kLimit)) << first.Output();
  test::DriverProcess second(work.path(), test::DriverIni(test::kNoComPort, server.Port()), {}, ORVENT_SERVICE);
  EXPECT_TRUE(second.WaitFor("уже работает драйвер (процесс " + std::to_string(first.Process().Pid()) + ")", kLimit))
      << second.Output();
  EXPECT_EQ(second.Process().WaitExit(kLimit), 6) << second.Output();
  EXPECT_EQ(second.Output().find("Событий в очереди"), std::string::npos) << "it counted nothing of the first's";
  EXPECT_EQ(first.Terminate(kLimit), 0) << first.Output();
  EXPECT_TRUE(first.WaitFor("Драйвер остановлен. Событий в очереди: 0.", kLimit)) << first.Output();
}

}  // namespace
}  // namespace orvent

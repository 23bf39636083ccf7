// The built orvent-service as systemd runs it, with a datagram socket of the
// test's own in the manager's place: it says when it is up, shows its
// backlog as the unit's status, feeds the watchdog, and says when it ends.

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
  ASSERT_TRUE(manager.WaitFor("READY=1", kLimit)) << manager.ReceivedText() << service.Output();
  // The spool's first scan may end before or after the service is up; its
  // record is the status at once either way.
  const auto& so_far = manager.Received();
  if (std::find(so_far.begin(), so_far.end(), "STATUS=" + waiting) == so_far.end()) {
    EXPECT_TRUE(manager.WaitFor("STATUS=" + waiting, 2s)) << manager.ReceivedText();
  }
  EXPECT_TRUE(service.WaitFor(waiting, 2s)) << service.Output();
  for (int ping = 0; ping < 3; ++ping) {
    ASSERT_TRUE(manager.WaitFor("WATCHDOG=1", kLimit)) << "ping " << ping << "\n" << manager.ReceivedText();
  }

  // Delivered: the emptied backlog is the status at once.
  test::MsgServerSim server({}, port);
  const std::string delivered = "В очереди: 0; последнее принятое -; последнее подтверждённое 06.09.2011 14:30:00.";
  const auto status = manager.WaitFor("STATUS=В очереди: 0", kLimit);
  ASSERT_TRUE(status.has_value()) << manager.ReceivedText() << service.Output();
  EXPECT_EQ(*status, "STATUS=" + delivered);
  EXPECT_TRUE(service.WaitFor(delivered, kLimit)) << service.Output();
  EXPECT_TRUE(test::SpoolFiles(work.path()).empty());

  // The end is announced, and no ping follows it.
  EXPECT_EQ(service.Terminate(kLimit), 0) << service.Output();
  ASSERT_TRUE(manager.WaitFor("STOPPING=1", kLimit)) << manager.ReceivedText();
  while (const auto late = manager.Receive(200ms)) EXPECT_NE(*late, "WATCHDOG=1") << "a ping after STOPPING=1";
}

}  // namespace
}  // namespace orvent

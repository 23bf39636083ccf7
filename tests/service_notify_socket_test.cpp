// The notifications themselves, on a datagram socket of the test's own in
// the manager's place: at a path and under an abstract name.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/service_notify.h"
#include "support/notify_socket.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;

class NotifySocketKind : public ::testing::TestWithParam<bool> {};

TEST_P(NotifySocketKind, EachNotificationArrivesAsOneDatagram) {
  test::TempDir dir;
  const std::string name =
      GetParam() ? "@orvent-test-notify-" + std::to_string(::getpid()) : dir.File("notify");
  test::NotifySocket manager(name);
  ServiceNotifier notifier(ServiceNotifySettings{name, std::chrono::seconds(90)});
  ASSERT_TRUE(notifier.Listening());
  EXPECT_EQ(notifier.WatchdogInterval(), std::chrono::microseconds(90'000'000));

  notifier.Ready();
  // A line break in the text must not start a key of its own.
  notifier.Status("В очереди: 1\nREADY=1");
  notifier.WatchdogPing();
  notifier.Stopping();
  std::vector<std::string> got;
  while (const auto message = manager.Receive(2s)) {
    got.push_back(*message);
    if (got.size() == 4) break;
  }
  EXPECT_EQ(got, (std::vector<std::string>{"READY=1", "STATUS=В очереди: 1 READY=1", "WATCHDOG=1", "STOPPING=1"}));
}

INSTANTIATE_TEST_SUITE_P(Names, NotifySocketKind, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& c) { return c.param ? "Abstract" : "Path"; });

TEST(ServiceNotifier, WithoutAManagerNothingIsSentAndNothingFails) {
  test::TempDir dir;
  // No socket named; a name too long for an address; a socket that is not there.
  ServiceNotifier none(ServiceNotifySettings{"", std::chrono::seconds(90)});
  ServiceNotifier too_long(ServiceNotifySettings{"/" + std::string(200, 'n'), std::chrono::seconds(90)});
  ServiceNotifier gone(ServiceNotifySettings{dir.File("nobody"), std::chrono::seconds(90)});
  for (ServiceNotifier* notifier : {&none, &too_long}) {
    EXPECT_FALSE(notifier->Listening());
    EXPECT_FALSE(notifier->WatchdogInterval().has_value()) << "a watchdog nobody hears would be fed for nothing";
    EXPECT_FALSE(notifier->Notify("READY=1"));
  }
  // The manager's socket went away: the notification is lost, and only the
  // result says so.
  EXPECT_TRUE(gone.Listening());
  EXPECT_TRUE(gone.Notify("READY=1"));
  gone.Ready();
  gone.WatchdogPing();
}

}  // namespace
}  // namespace orvent

// What the service manager's environment tells the program: where its
// notifications go and whether it keeps a watchdog. A value the program
// cannot read means nothing is sent, or no watchdog is fed.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <string>

#include "platform/service_notify.h"

namespace orvent {
namespace {

using std::chrono::microseconds;

constexpr std::int64_t kOwnPid = 4242;

struct NotifyEnvironmentCase {
  const char* Name;
  const char* Socket;
  const char* WatchdogUsec;
  const char* WatchdogPid;
  ServiceNotifySettings Expected;
};

std::ostream& operator<<(std::ostream& out, const NotifyEnvironmentCase& c) { return out << c.Name; }

class NotifyEnvironment : public ::testing::TestWithParam<NotifyEnvironmentCase> {};

TEST_P(NotifyEnvironment, IsReadAsTheManagerMeantIt) {
  const NotifyEnvironmentCase& c = GetParam();
  const ServiceNotifySettings got = ParseServiceNotifySettings(c.Socket, c.WatchdogUsec, c.WatchdogPid, kOwnPid);
  EXPECT_EQ(got.Socket, c.Expected.Socket);
  EXPECT_EQ(got.Watchdog.has_value(), c.Expected.Watchdog.has_value());
  if (got.Watchdog && c.Expected.Watchdog) {
    EXPECT_EQ(got.Watchdog->count(), c.Expected.Watchdog->count());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NotifyEnvironment,
    ::testing::Values(
        // The control case: what systemd gives a notify service with a watchdog.
        NotifyEnvironmentCase{"PathAndWatchdog", "/run/systemd/notify", "90000000", "4242",
                              {"/run/systemd/notify", microseconds(90'000'000)}},
        NotifyEnvironmentCase{"NothingSet", nullptr, nullptr, nullptr, {}},
        NotifyEnvironmentCase{"AbstractName", "@/org/example/notify", nullptr, nullptr, {"@/org/example/notify", {}}},
        NotifyEnvironmentCase{"WatchdogWithoutPid", "/n", "500000", nullptr, {"/n", microseconds(500'000)}},
        NotifyEnvironmentCase{"EmptySocket", "", "500000", nullptr, {"", microseconds(500'000)}},
        NotifyEnvironmentCase{"BareAt", "@", nullptr, nullptr, {}},
        NotifyEnvironmentCase{"RelativePath", "notify", nullptr, nullptr, {}},
        NotifyEnvironmentCase{"VirtualMachineSocket", "vsock:2:1234", nullptr, nullptr, {}},
        NotifyEnvironmentCase{"WatchdogForAnotherProcess", "/n", "500000", "4243", {"/n", {}}},
        NotifyEnvironmentCase{"WatchdogPidNoNumber", "/n", "500000", "self", {"/n", {}}},
        NotifyEnvironmentCase{"WatchdogZero", "/n", "0", nullptr, {"/n", {}}},
        NotifyEnvironmentCase{"WatchdogNegative", "/n", "-500000", nullptr, {"/n", {}}},
        NotifyEnvironmentCase{"WatchdogWithUnit", "/n", "30s", nullptr, {"/n", {}}},
        NotifyEnvironmentCase{"WatchdogWithBlank", "/n", " 500000", nullptr, {"/n", {}}},
        NotifyEnvironmentCase{"WatchdogEmpty", "/n", "", nullptr, {"/n", {}}},
        NotifyEnvironmentCase{"WatchdogPast64Bits", "/n", "18446744073709551615", nullptr, {"/n", {}}}),
    [](const ::testing::TestParamInfo<NotifyEnvironmentCase>& c) { return std::string(c.param.Name); });

// Priorities go in front of a line only when standard error is still the
// very stream the journal connected: redirected elsewhere, "<4>" would be
// noise in a file.
TEST(JournalStream, OnlyTheNamedStreamGetsPriorities) {
  const struct {
    const char* value;
    bool matches;
  } cases[] = {
      {"2049:123456", true},  {"2049:123457", false}, {"2050:123456", false}, {nullptr, false},
      {"", false},            {"2049", false},        {"2049:", false},       {":123456", false},
      {"2049:123456x", false}, {"x2049:123456", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value == nullptr ? "(unset)" : c.value);
    EXPECT_EQ(JournalStreamMatches(c.value, 2049, 123456), c.matches);
  }
  EXPECT_EQ(JournalLine(3, "Порт COM1 потерян."), "<3>Порт COM1 потерян.");
  EXPECT_EQ(JournalLine(6, ""), "<6>");
}

}  // namespace
}  // namespace orvent

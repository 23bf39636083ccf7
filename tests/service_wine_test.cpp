// orvent-service.exe as a real Windows service under Wine's service manager:
// registered with --install, started and stopped with Wine's sc, between
// receiver-sim on a pseudo-terminal that Wine shows as a COM port and
// msgserver-sim on loopback. It works in the folder it was registered with,
// writes its status lines to status.txt there, delivers every alarm it
// acknowledges, and ends in order on the manager's stop with the alarms the
// server never took left in the spool. --uninstall removes it again.

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "support/alarm_run.h"
#include "support/wine_port.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A start under Wine takes a few seconds even with its server up.
constexpr auto kStartLimit = 60s;
constexpr auto kLimit = 20s;

const test::WineSetup kWine{ORVENT_WINE_RUN, ORVENT_WINE, ORVENT_WINE_PREFIX};
const std::string kService = std::string(ORVENT_WINDOWS_BUILD_DIR) + "/bin/orvent-service.exe";
const std::string kProbe = std::string(ORVENT_WINDOWS_BUILD_DIR) + "/tests/service_probe.exe";
constexpr char kName[] = "orvent-service";

struct Ended {
  std::optional<int> status;
  std::string out;  // standard output and error, carriage returns dropped
};

// A Windows program (or one of Wine's, such as "sc") run to its end.
Ended RunWine(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> wine_args = {kWine.Wine, kWine.Prefix, program};
  wine_args.insert(wine_args.end(), args.begin(), args.end());
  test::ChildOptions options;
  options.MergeStderr = true;
  test::ChildProcess process(kWine.RunScript, wine_args, options);
  Ended run;
  while (const auto line = process.ReadLine(kLimit)) run.out += *line + "\n";
  std::erase(run.out, '\r');
  run.status = process.WaitExit(kLimit);
  return run;
}

// The STATE line of `sc query`: "4  RUNNING"; empty when there is no such
// service.
std::string QueryState() {
  const Ended query = RunWine("sc", {"query", kName});
  const auto at = query.out.find("STATE");
  if (query.status != 0 || at == std::string::npos) return {};
  const auto colon = query.out.find(':', at);
  return query.out.substr(colon + 2, query.out.find('\n', colon) - colon - 2);
}

bool WaitState(const std::string& state, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    if (QueryState() == state) return true;
  }
  return false;
}

// The Windows name of a folder of this machine, through Wine's drive Z:,
// with the trailing backslash that a naive quoting of the service's command
// line would turn into an escaped quote.
std::string WindowsFolder(const std::string& path) {
  std::string name = "Z:" + path + "/";
  std::replace(name.begin(), name.end(), '/', '\\');
  return name;
}

std::string Elapsed(Clock::time_point since) {
  return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count()) + " ms";
}

class WindowsServiceUnderWinesManager : public test::AlarmRunTest {
protected:
  // A service left registered would start with the prefix's next boot.
  ~WindowsServiceUnderWinesManager() override { RunWine(kService, {"--uninstall"}); }

  bool WaitStatusLine(const std::string& text, std::chrono::milliseconds limit) {
    return test::WaitUntil([&] { return StatusText().find(text) != std::string::npos; }, limit);
  }

  std::string StatusText() const {
    return std::filesystem::exists(work.File("status.txt")) ? work.Read("status.txt") : std::string();
  }
};

TEST_F(WindowsServiceUnderWinesManager, RunsDeliversAndStopsInOrderUnderSc) {
  constexpr std::size_t kLive = 10;
  constexpr std::size_t kWhileAway = 5;
  const std::uint16_t port = test::FreePort();
  std::optional<test::MsgServerSim> server(std::in_place, ServerArgs(), port);
  test::ReceiverSim receiver({"--stdin"});
  test::WineComPort com(kWine, 64, receiver.Device());
  ASSERT_TRUE(com.ok());
  work.Write("kelmora.ini", test::IniText(test::DriverIni(com.Name(), port)));
  RunWine(kService, {"--uninstall"});  // left by a run that was killed

  const std::string folder = WindowsFolder(work.path());
  const Ended installed = RunWine(kService, {"--install", "--workdir", folder});
  ASSERT_EQ(installed.status, 0) << installed.out;
  EXPECT_NE(installed.out.find("Служба orvent-service установлена"), std::string::npos) << installed.out;
  const Ended again = RunWine(kService, {"--install"});
  EXPECT_EQ(again.status, 4) << again.out;
  EXPECT_EQ(again.out, "Служба orvent-service уже установлена.\n");
  EXPECT_EQ(QueryState(), "1  STOPPED");
  // Automatic start, a process of its own, and the folder as a full path.
  const Ended config = RunWine(kProbe, {"config", kName});
  EXPECT_EQ(config.status, 0) << config.out;
  EXPECT_NE(config.out.find("ok start=2 type=16 path=\""), std::string::npos) << config.out;
  const std::string full = folder.substr(0, folder.size() - 1);  // as the system writes it, no closing separator
  EXPECT_NE(config.out.find("orvent-service.exe\" \"--workdir\" \"" + full + "\"\n"), std::string::npos)
      << config.out;
  EXPECT_EQ(StatusText(), "");

  const auto start = Clock::now();
  const Ended started = RunWine("sc", {"start", kName});
  ASSERT_EQ(started.status, 0) << started.out;
  ASSERT_TRUE(WaitState("4  RUNNING", kStartLimit)) << QueryState();
  const std::string start_time = Elapsed(start);
  ASSERT_TRUE(test::WaitFrame(*server, "cmd_version", kStartLimit)) << StatusText();
  EXPECT_NE(StatusText().find("Настройки: " + folder + "kelmora.ini. Порт: " + com.Name() + "."), std::string::npos)
      << StatusText();
  const Ended interrogated = RunWine(kProbe, {"interrogate", kName});
  EXPECT_EQ(interrogated.out, "ok state=4\n");

  ASSERT_TRUE(SendAlarms(receiver, kLive));
  ASSERT_TRUE(TakeAcks(receiver, kLive)) << Tally().Text() << "\n" << StatusText();
  ASSERT_TRUE(WaitAllDelivered(kLimit)) << Tally().Text() << "\n" << StatusText();

  // The server goes away: the next alarms wait in the spool, and the
  // manager's stop leaves them there.
  server->Process().Signal(SIGTERM);
  ASSERT_TRUE(server->Process().WaitExit(kLimit).has_value());
  server.reset();
  ASSERT_TRUE(SendAlarms(receiver, kWhileAway));
  ASSERT_TRUE(TakeAcks(receiver, kLive + kWhileAway)) << Tally().Text() << "\n" << StatusText();
  EXPECT_EQ(Tally().Spooled, kWhileAway);

  const auto stop = Clock::now();
  const Ended stopped = RunWine("sc", {"stop", kName});
  EXPECT_EQ(stopped.status, 0) << stopped.out;
  EXPECT_TRUE(WaitState("1  STOPPED", kLimit)) << QueryState();
  const std::string stop_time = Elapsed(stop);
  EXPECT_TRUE(WaitStatusLine("Драйвер остановлен. Событий в очереди: " + std::to_string(kWhileAway) + ".", kLimit))
      << StatusText();
  EXPECT_EQ(Tally().Spooled, kWhileAway);

  const Ended removed = RunWine(kService, {"--uninstall"});
  EXPECT_EQ(removed.status, 0) << removed.out;
  EXPECT_EQ(removed.out, "Служба orvent-service остановлена и удалена.\n");
  EXPECT_EQ(QueryState(), "");
  const Ended gone = RunWine(kService, {"--uninstall"});
  EXPECT_EQ(gone.status, 5) << gone.out;
  EXPECT_EQ(gone.out, "Служба orvent-service не установлена.\n");

  std::printf("orvent-service.exe under Wine's service manager: sc start to RUNNING %s, sc stop to STOPPED %s\n",
              start_time.c_str(), stop_time.c_str());
  ExpectNoneLost("orvent-service.exe as a service under Wine");
}

// Registered without a folder, the service makes %ProgramData%\\orvent and
// works there.
TEST_F(WindowsServiceUnderWinesManager, WithoutAFolderItWorksInProgramData) {
  const std::filesystem::path folder = std::filesystem::path(kWine.Prefix) / "drive_c/ProgramData/orvent";
  std::filesystem::remove_all(folder);
  RunWine(kService, {"--uninstall"});
  const Ended installed = RunWine(kService, {"--install"});
  ASSERT_EQ(installed.status, 0) << installed.out;
  EXPECT_NE(installed.out.find("Рабочая папка: C:\\ProgramData\\orvent\n"), std::string::npos) << installed.out;
  ASSERT_EQ(RunWine("sc", {"start", kName}).status, 0);
  ASSERT_TRUE(WaitState("4  RUNNING", kStartLimit)) << QueryState();
  const auto status = [&] {
    std::ifstream in(folder / "status.txt", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string startup = "Настройки: файл C:\\ProgramData\\orvent\\kelmora.ini не найден";
  EXPECT_TRUE(test::WaitUntil([&] { return status().find(startup) != std::string::npos; }, kLimit)) << status();
  EXPECT_EQ(RunWine("sc", {"stop", kName}).status, 0);
  EXPECT_TRUE(WaitState("1  STOPPED", kLimit)) << QueryState();
  EXPECT_EQ(RunWine(kService, {"--uninstall"}).status, 0);
  std::filesystem::remove_all(folder);
}

// A folder it cannot work in ends the service at once, with an error of
// its own that the manager keeps.
TEST_F(WindowsServiceUnderWinesManager, AFolderItCannotWorkInStopsItWithItsOwnError) {
  RunWine(kService, {"--uninstall"});
  const std::string missing = WindowsFolder(work.File("missing"));
  const Ended installed = RunWine(kService, {"--install", "--workdir", missing});
  ASSERT_EQ(installed.status, 0) << installed.out;
  // Told as it was given; its closing separator does not swallow the quote.
  const Ended config = RunWine(kProbe, {"config", kName});
  EXPECT_NE(config.out.find("orvent-service.exe\" \"--workdir\" \"" + missing + "\\\"\n"), std::string::npos)
      << config.out;
  RunWine("sc", {"start", kName});
  // STOPPED before the start too, but without an error.
  Ended query;
  EXPECT_TRUE(test::WaitUntil(
      [&] {
        query = RunWine("sc", {"query", kName});
        return query.out.find("WIN32_EXIT_CODE    : 1066") != std::string::npos;
      },
      kStartLimit))
      << query.out;
  EXPECT_NE(query.out.find("STATE              : 1  STOPPED"), std::string::npos) << query.out;
  EXPECT_NE(query.out.find("SERVICE_EXIT_CODE  : 1 "), std::string::npos) << query.out;
}

}  // namespace
}  // namespace orvent

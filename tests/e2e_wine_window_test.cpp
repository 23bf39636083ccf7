// The Windows build's window program, orvent-driver.exe, under Wine on a
// virtual X display of the test's own, between receiver-sim on a
// pseudo-terminal that Wine shows as a COM port and msgserver-sim on
// loopback. The window is worked from outside as an operator would, by the
// Windows build's tests/win_poke.exe: its pages, its status list, the close
// code, the notification-area icon's commands and the session's end. Each
// page is saved as a picture (wine-artefacts/ in the build folder).

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/alarm_run.h"
#include "support/percentile.h"
#include "support/wine_port.h"
#include "support/xvfb_display.h"
#include "winapp/control_ids.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;

// A program start under Wine takes a few seconds even with its server up.
constexpr auto kStartLimit = 60s;
constexpr auto kLimit = 20s;

const test::WineSetup kWine{ORVENT_WINE_RUN, ORVENT_WINE, ORVENT_WINE_PREFIX};
const std::string kDriver = std::string(ORVENT_WINDOWS_BUILD_DIR) + "/bin/orvent-driver.exe";
const std::string kPoke = std::string(ORVENT_WINDOWS_BUILD_DIR) + "/tests/win_poke.exe";

// The driver runs on a Wine desktop of the test's own, which Wine opens as
// a window on the test's display (the prefix's default desktop was made by
// the fixture with no display, and takes no windows); its windows are found
// there, apart from those of a test running at the same time.
std::string TestDesktop() {
  return std::string("orvent-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

// A Linux path as Wine's drive Z: shows it.
std::string WindowsPath(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return "Z:" + path;
}

// What a run of win_poke.exe said, a line each, and how it ended.
struct Poked {
  std::optional<int> status;
  std::vector<std::string> lines;
  std::string Text() const {
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    return all;
  }
};

class WindowUnderWine : public test::AlarmRunTest {
protected:
  void StartDriver(const test::DriverIni& ini) {
    driver.emplace(work.path(), ini, test::DriverScreen{}, kWine.RunScript,
                   std::vector<std::string>{kWine.Wine, kWine.Prefix, kPoke, "--desktop", desktop, "run",
                                            WindowsPath(kDriver)},
                   std::vector<std::string>{"DISPLAY=" + display.Display()});
  }

  // win_poke.exe with `steps`, on the test's display.
  Poked Poke(const std::vector<std::string>& steps) {
    test::ChildOptions options;
    options.Env = {"DISPLAY=" + display.Display()};
    std::vector<std::string> args = {kWine.Wine, kWine.Prefix, kPoke, "--desktop", desktop};
    args.insert(args.end(), steps.begin(), steps.end());
    test::ChildProcess process(kWine.RunScript, args, options);
    Poked run;
    while (auto line = process.ReadLine(kStartLimit)) {
      std::erase(*line, '\r');
      run.lines.push_back(*line);
    }
    run.status = process.WaitExit(kLimit);
    return run;
  }

  // The driver's window is shown.
  void WaitWindow() {
    const Poked waited = Poke({"wait"});
    if (waited.status == 0) return;
    driver->WaitFor("\x01", std::chrono::seconds(2));  // what it said so far
    FAIL() << "no window: " << waited.Text() << "\n" << driver->Output();
  }

  // The one line a step printed (a control's text, the close code).
  std::string PokeLine(const std::vector<std::string>& steps) {
    const Poked run = Poke(steps);
    EXPECT_EQ(run.status, 0) << run.Text();
    return run.lines.empty() ? std::string() : run.lines.back();
  }

  // The window as the screen shows it, saved as a PNG under wine-artefacts/.
  void SaveWindowPicture(const std::string& name) {
    std::istringstream rect(PokeLine({"rect"}));
    int x = 0, y = 0, width = 0, height = 0;
    ASSERT_TRUE(rect >> x >> y >> width >> height);
    const std::string import = test::FindOnPath("import");
    ASSERT_FALSE(import.empty()) << "ImageMagick's import is missing (Debian package imagemagick)";
    std::filesystem::create_directories(ORVENT_ARTEFACTS);
    const std::string file = std::string(ORVENT_ARTEFACTS) + "/" + name + ".png";
    std::filesystem::remove(file);
    // The desktop around the window is black: the window's place with a
    // margin, then the black trimmed, takes the window whatever Wine's
    // desktop window adds above it.
    constexpr int kMargin = 40;
    test::ChildProcess shot(import, {"-display", display.Display(), "-window", "root", "-crop",
                                     std::to_string(width + 2 * kMargin) + "x" + std::to_string(height + 2 * kMargin) +
                                         "+" + std::to_string(std::max(x - kMargin, 0)) + "+" +
                                         std::to_string(std::max(y - kMargin, 0)),
                                     "+repage", "-trim", "+repage", file});
    EXPECT_EQ(shot.WaitExit(kLimit), 0);
    EXPECT_GT(std::filesystem::exists(file) ? std::filesystem::file_size(file) : 0u, 1000u) << file;
  }


  // Closes the window with the close code it shows; the driver ends with 0
  // and its last line counts the alarms left waiting.
  void CloseWithTheCode(std::size_t waiting) {
    const std::string code = PokeLine({"text", std::to_string(IDC_CLOSE_CODE)});
    ASSERT_EQ(code.size(), 5u) << code;
    const Poked closed = Poke({"close", "code", code, "gone"});
    EXPECT_EQ(closed.status, 0) << closed.Text();
    EXPECT_EQ(driver->Process().WaitExit(kLimit), 0) << driver->Output();
    EXPECT_TRUE(driver->WaitFor("Драйвер остановлен. Событий в очереди: " + std::to_string(waiting) + ".", kLimit))
        << driver->Output();
  }

  test::XvfbDisplay display{"1024x768x24"};
  const std::string desktop = TestDesktop();
  std::optional<test::DriverProcess> driver;
};

TEST_F(WindowUnderWine, AcknowledgesAndDeliversWithTheWindowShownAndClosesOnlyWithTheCode) {
  constexpr std::size_t kAlarms = 30;
  test::MsgServerSim server(ServerArgs());
  test::ReceiverSim receiver({"--stdin"});
  test::WineComPort com(kWine, 62, receiver.Device());
  ASSERT_TRUE(com.ok());
  StartDriver(test::DriverIni(com.Name(), server.Port()));
  ASSERT_NO_FATAL_FAILURE(WaitWindow());
  ASSERT_TRUE(test::WaitFrame(server, "cmd_version", kStartLimit)) << driver->Output();
  ASSERT_TRUE(SendTimed(receiver, kAlarms)) << Tally().Text() << "\n" << driver->Output();
  ASSERT_TRUE(WaitAllDelivered(kLimit)) << Tally().Text() << "\n" << driver->Output();

  // The state page shows the backlog emptied and the status lines as the
  // driver said them.
  EXPECT_TRUE(test::WaitUntil([&] { return PokeLine({"text", std::to_string(IDC_LAST_CONFIRMED)}) != "-"; }, kLimit));
  EXPECT_EQ(PokeLine({"text", std::to_string(IDC_WAITING)}), "0");
  // The verdict's band, on every page.
  EXPECT_EQ(PokeLine({"text", std::to_string(IDC_HEALTH)}),
            "Работает: порт " + com.Name() + " открыт, сервер принимает события");
  const Poked list = Poke({"list"});
  ASSERT_EQ(list.status, 0);
  ASSERT_FALSE(list.lines.empty());
  EXPECT_NE(list.lines.front().find("Настройки: "), std::string::npos) << list.Text();
  EXPECT_NE(list.Text().find("Порт " + com.Name() + " открыт"), std::string::npos) << list.Text();
  ASSERT_NO_FATAL_FAILURE(SaveWindowPicture("page-default"));

  // The setup page, with the running port's command.
  EXPECT_EQ(Poke({"click", std::to_string(IDC_PAGE_SETUP)}).status, 0);
  EXPECT_EQ(PokeLine({"text", std::to_string(IDC_START_STOP)}), "Остановить");
  EXPECT_EQ(PokeLine({"text", std::to_string(IDC_PORT_LIST)}), com.Name());
  ASSERT_NO_FATAL_FAILURE(SaveWindowPicture("page-setup"));
  EXPECT_EQ(Poke({"click", std::to_string(IDC_PAGE_STATE)}).status, 0);

  // Minimised, the window goes behind its notification-area icon, whose
  // menu brings it back.
  EXPECT_EQ(PokeLine({"minimise", "visible", "0"}), "0");
  EXPECT_EQ(PokeLine({"click", std::to_string(IDM_RESTORE), "visible", "1"}), "1");

  // A wrong close code is refused with a warning and the driver runs on,
  // also while the warning is up: an alarm sent then is acknowledged and
  // delivered before anyone closes it. The alarm goes once the warning is
  // there: the question is out of sight before its window is gone, and
  // under Wine on a display without a window manager taking a window down
  // holds the window's thread for 2 s (Wine waits for a manager to confirm
  // it), longer than the receiver waits for an ACK.
  const Poked refused = Poke({"close", "code", "00000", "warned"});
  EXPECT_EQ(refused.status, 0) << refused.Text();
  ASSERT_TRUE(SendAlarms(receiver, 1));
  ASSERT_TRUE(TakeAcks(receiver, kAlarms + 1)) << driver->Output();
  EXPECT_TRUE(WaitAllDelivered(kLimit)) << Tally().Text();
  const Poked warned = Poke({"dismiss"});
  EXPECT_EQ(warned.status, 0) << warned.Text();

  // The close menu command asks for the code as the window's close button
  // does. The question leaves the driver running: an alarm sent while it is
  // up is acknowledged and delivered before anyone answers it.
  const std::string code = PokeLine({"text", std::to_string(IDC_CLOSE_CODE)});
  const Poked asked = Poke({"click", std::to_string(IDM_CLOSE), "asked"});
  EXPECT_EQ(asked.status, 0) << asked.Text();
  ASSERT_TRUE(SendAlarms(receiver, 1));
  ASSERT_TRUE(TakeAcks(receiver, kAlarms + 2)) << driver->Output();
  EXPECT_TRUE(WaitAllDelivered(kLimit)) << Tally().Text();
  const Poked closed = Poke({"code", code, "gone"});
  EXPECT_EQ(closed.status, 0) << closed.Text();
  EXPECT_EQ(driver->Process().WaitExit(kLimit), 0) << driver->Output();
  EXPECT_TRUE(driver->WaitFor("Драйвер остановлен. Событий в очереди: 0.", kLimit)) << driver->Output();

  std::printf("orvent-driver.exe under Wine: ACK of %zu alarms p50 %.1f ms, p99 %.1f ms, max %.1f ms\n", kAlarms,
              test::Percentile(ack_ms, 0.50), test::Percentile(ack_ms, 0.99), test::Percentile(ack_ms, 1.0));
  ExpectNoneLost("orvent-driver.exe under Wine, with its window");
  // Each alarm went once: a repeat here means an ACK held back past the
  // receiver's patience (it sends the line again), or a frame sent again
  // though the server had confirmed it.
  EXPECT_EQ(Tally().Repeated, 0u) << Tally().Text();
}

// The session ends (logoff, shutdown) while the server is away: the driver
// ends in order without asking, the alarms waiting stay in the spool, and
// the next run delivers them.
TEST_F(WindowUnderWine, TheSessionsEndLeavesWaitingAlarmsOnDiskForTheNextRun) {
  constexpr std::size_t kWhileAway = 5;
  const std::uint16_t port = test::FreePort();
  std::optional<test::MsgServerSim> server(std::in_place, ServerArgs(), port);
  test::ReceiverSim receiver({"--stdin"});
  test::WineComPort com(kWine, 63, receiver.Device());
  ASSERT_TRUE(com.ok());
  StartDriver(test::DriverIni(com.Name(), port));
  ASSERT_NO_FATAL_FAILURE(WaitWindow());
  ASSERT_TRUE(test::WaitFrame(*server, "cmd_version", kStartLimit)) << driver->Output();

  server->Process().Signal(SIGTERM);
  ASSERT_TRUE(server->Process().WaitExit(kLimit).has_value());
  server.reset();
  ASSERT_TRUE(SendAlarms(receiver, kWhileAway));
  ASSERT_TRUE(TakeAcks(receiver, kWhileAway)) << Tally().Text() << "\n" << driver->Output();
  EXPECT_EQ(Tally().Spooled, kWhileAway);
  EXPECT_TRUE(test::WaitUntil(
      [&] { return PokeLine({"text", std::to_string(IDC_WAITING)}) == std::to_string(kWhileAway); }, kLimit));

  const Poked ended = Poke({"endsession"});
  EXPECT_EQ(ended.status, 0) << ended.Text();
  EXPECT_EQ(driver->Process().WaitExit(kLimit), 0) << driver->Output();
  EXPECT_TRUE(driver->WaitFor("Драйвер остановлен. Событий в очереди: " + std::to_string(kWhileAway) + ".", kLimit))
      << driver->Output();
  driver.reset();
  EXPECT_EQ(Tally().Spooled, kWhileAway);

  // Started again with the server back: the spool drains.
  server.emplace(ServerArgs(), port);
  StartDriver(test::DriverIni(com.Name(), port));
  ASSERT_NO_FATAL_FAILURE(WaitWindow());
  EXPECT_TRUE(WaitAllDelivered(kStartLimit)) << Tally().Text() << "\n" << driver->Output();
  ASSERT_NO_FATAL_FAILURE(CloseWithTheCode(0));
  ExpectNoneLost("orvent-driver.exe under Wine, over the session's end");
}

}  // namespace
}  // namespace orvent

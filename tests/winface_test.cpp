// The Windows window's own logic: what it draws again for a new view, the
// link pictures, the status list's length and the tray menu; and the event
// loop's wait taking a window thread's messages.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/poll_event_loop.h"
#include "platform/win32/loop_messages.h"
#include "winapp/face_model.h"

namespace orvent::winface {
namespace {

struct ChangeCase {
  const char* name;
  void (*change)(StationView&);
  ViewChanges expected;
};

TEST(ViewChangesTest, OnlyWhatDiffersIsDrawnAgain) {
  StationView base;
  base.PortName = "COM3";
  base.PortChoices = {"COM1", "COM3"};
  base.PortCommand = "Остановить";
  base.Link = LinkMode::Up;
  base.StartedAt = 46000.5;
  const ChangeCase cases[] = {
      {"nothing changed", [](StationView&) {}, {}},
      {"receiver pulse", [](StationView& v) { v.ReceiverPulse = 3; }, {.ReceiverPicture = true}},
      {"receiver picture", [](StationView& v) { v.ReceiverPicture = HealthLevel::Working; }, {.ReceiverPicture = true}},
      {"server pulse", [](StationView& v) { v.ServerPulse = 7; }, {.ServerPicture = true}},
      // The picture follows the level the station gives, not the link's mode.
      {"link accepted", [](StationView& v) { v.Link = LinkMode::Accepted; }, {}},
      {"server picture", [](StationView& v) { v.ServerPicture = HealthLevel::Attention; }, {.ServerPicture = true}},
      {"verdict", [](StationView& v) { v.Verdict = {HealthLevel::Stopped, "порт COM3 потерян"}; }, {.Health = true}},
      {"last warning", [](StationView& v) { v.LastWarning = "10:00:00 Порт COM3 потерян."; }, {.LastWarning = true}},
      {"unacknowledged", [](StationView& v) { v.LinesUnacknowledged = 2; }, {.Fields = true}},
      {"waiting", [](StationView& v) { v.Waiting = 4; }, {.Fields = true}},
      {"last confirmed", [](StationView& v) { v.LastConfirmed = 46000.75; }, {.Fields = true}},
      {"close code", [](StationView& v) { v.CloseCode = "12345"; }, {.Fields = true}},
      {"command", [](StationView& v) { v.PortCommand = "Запустить"; }, {.PortCommand = true}},
      {"choice open", [](StationView& v) { v.PortChoiceOpen = false; }, {.PortChoiceOpen = true}},
      {"port name", [](StationView& v) { v.PortName = "COM1"; }, {.PortName = true}},
      // New items lose the selection: it is set again.
      {"choices", [](StationView& v) { v.PortChoices.push_back("COM9"); }, {.PortChoices = true, .PortName = true}},
  };
  for (const ChangeCase& c : cases) {
    SCOPED_TRACE(c.name);
    StationView next = base;
    c.change(next);
    const ViewChanges got = ChangesBetween(base, next);
    EXPECT_EQ(got.ReceiverPicture, c.expected.ReceiverPicture);
    EXPECT_EQ(got.ServerPicture, c.expected.ServerPicture);
    EXPECT_EQ(got.Health, c.expected.Health);
    EXPECT_EQ(got.LastWarning, c.expected.LastWarning);
    EXPECT_EQ(got.Fields, c.expected.Fields);
    EXPECT_EQ(got.PortCommand, c.expected.PortCommand);
    EXPECT_EQ(got.PortChoiceOpen, c.expected.PortChoiceOpen);
    EXPECT_EQ(got.PortChoices, c.expected.PortChoices);
    EXPECT_EQ(got.PortName, c.expected.PortName);
  }
  const ViewChanges first = ChangesBetween(std::nullopt, base);
  EXPECT_TRUE(first.ReceiverPicture && first.ServerPicture && first.Health && first.LastWarning && first.Fields &&
              first.PortCommand && first.PortChoiceOpen && first.PortChoices && first.PortName);
}

TEST(FieldTextsTest, TimesNotThereShowADash) {
  StationView view;
  view.StartedAt = 46000.5;  // 2025-12-09 12:00:00
  view.Waiting = 12;
  view.LastAcknowledged = 46000.75;
  const FieldTexts texts = FieldTextsOf(view);
  EXPECT_EQ(texts.StartedAt, "09.12.2025 12:00:00");
  EXPECT_EQ(texts.Waiting, "12");
  EXPECT_EQ(texts.OldestWaiting, "-");
  EXPECT_EQ(texts.LastAcknowledged, "09.12.2025 18:00:00");
  EXPECT_EQ(texts.LastConfirmed, "-");
  EXPECT_EQ(texts.Unacknowledged, "Без подтверждения: 0");
  view.LinesUnacknowledged = 3;
  view.LastUnacknowledged = "12:00:01 строка не той длины";
  EXPECT_EQ(FieldTextsOf(view).Unacknowledged, "Без подтверждения: 3 (последняя: 12:00:01 строка не той длины)");
}

// The bar's columns: pulse .. pulse+4, those past 16 taken from the left;
// column 16 is outside the picture and leaves no mark.
TEST(LinkPictureTest, TheBarWrapsAroundThePicture) {
  struct Case {
    int pulse;
    std::vector<int> columns;
  };
  const Case cases[] = {{0, {0, 1, 2, 3, 4}}, {11, {11, 12, 13, 14, 15}}, {12, {12, 13, 14, 15}},
                        {14, {14, 15, 1, 2}}, {16, {1, 2, 3, 4}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pulse);
    const LinkPicture picture = LinkPictureOf(HealthLevel::Working, c.pulse);
    ASSERT_GE(picture.Coloured.size(), 4u);
    // The outline first: the four sides, two cells wide.
    EXPECT_EQ(picture.Coloured[0], (Cells{0, 0, 16, 2}));
    EXPECT_EQ(picture.Coloured[3], (Cells{14, 0, 2, 12}));
    std::vector<int> bar;
    for (std::size_t i = 4; i < picture.Coloured.size(); ++i) {
      EXPECT_EQ(picture.Coloured[i].Row, 2);
      EXPECT_EQ(picture.Coloured[i].Rows, 7);
      bar.push_back(picture.Coloured[i].Column);
    }
    EXPECT_EQ(bar, c.columns);
  }
  EXPECT_EQ(LinkPictureOf(HealthLevel::Attention, 0).Level, HealthLevel::Attention);
  EXPECT_EQ(ColourOf(HealthLevel::Attention), (Rgb{230, 140, 0}));
}

TEST(StatusLinesTest, KeepsTheNewestThousand) {
  StatusLines lines;
  for (std::size_t i = 1; i <= kStatusLines; ++i) EXPECT_FALSE(lines.Add(std::to_string(i)));
  EXPECT_TRUE(lines.Add("1001"));
  EXPECT_TRUE(lines.Add("1002"));
  ASSERT_EQ(lines.Lines().size(), kStatusLines);
  EXPECT_EQ(lines.Lines().front(), "3");
  EXPECT_EQ(lines.Lines().back(), "1002");
  EXPECT_EQ(StatusLineText(46000.5, "Порт COM3 открыт."), "09.12.2025 12:00:00 Порт COM3 открыт.");
}

TEST(TrayMenuTest, RestoreFirstAndNothingOnceClosing) {
  const auto open = TrayMenu(false);
  ASSERT_EQ(open.size(), 2u);
  EXPECT_EQ(open[0].Command, TrayCommand::Restore);
  EXPECT_EQ(open[0].Text, "Восстановить");
  EXPECT_TRUE(open[0].Default);
  EXPECT_EQ(open[1].Command, TrayCommand::Close);
  EXPECT_EQ(open[1].Text, "Закрыть");
  EXPECT_TRUE(open[0].Enabled && open[1].Enabled);
  for (const TrayMenuItem& item : TrayMenu(true)) EXPECT_FALSE(item.Enabled);
}

// The messages a test window was handed.
thread_local std::vector<std::string>* window_log = nullptr;

LRESULT CALLBACK TestWindowProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_APP && window_log != nullptr) window_log->push_back("dispatched");
  return ::DefWindowProcW(window, message, wparam, lparam);
}

// A thread with a window: its loop hands the window its messages between
// posted calls and timers, and WM_QUIT ends Run without an error, for good.
TEST(WindowMessagesTest, TheLoopDispatchesWindowMessagesAndEndsOnQuit) {
  std::vector<std::string> log;
  std::error_code result = std::make_error_code(std::errc::timed_out);
  std::error_code again = std::make_error_code(std::errc::timed_out);
  std::thread runner([&] {
    window_log = &log;
    TakeWindowMessagesInLoopWait();
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = TestWindowProcedure;
    window_class.lpszClassName = L"OrventLoopTestWindow";
    ::RegisterClassW(&window_class);
    const HWND window = ::CreateWindowExW(0, window_class.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                          nullptr, nullptr);
    if (window == nullptr) return;
    PollEventLoop loop;
    // A guard against a hang: the loop quits after 10 s whatever happens.
    loop.StartTimer(std::chrono::seconds(10), [&] {
      log.push_back("guard");
      loop.Quit();
    });
    loop.Post([&log, window] {
      log.push_back("posted");
      ::PostMessageW(window, WM_APP, 0, 0);
    });
    loop.StartTimer(std::chrono::milliseconds(20), [&log] {
      if (log.back() != "dispatched") return;
      log.push_back("quit");
      ::PostQuitMessage(0);
    });
    result = loop.Run();
    again = loop.Run();
    ::DestroyWindow(window);
    window_log = nullptr;
  });
  runner.join();
  EXPECT_FALSE(result) << result.message();
  EXPECT_FALSE(again) << again.message();
  EXPECT_EQ(log, (std::vector<std::string>{"posted", "dispatched", "quit"}));
}

}  // namespace
}  // namespace orvent::winface

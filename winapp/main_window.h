#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/poll_event_loop.h"
#include "station/station.h"
#include "winapp/close_code_dialog.h"
#include "winapp/face_model.h"
#include "winapp/notice_box.h"

namespace orvent {

// The Windows window: the station's face drawn with the system's controls.
// It builds the window, draws the station's view and passes the operator's
// clicks on as the station's commands; it decides nothing about the driver.
// Its messages come through the event loop's wait, on the loop's thread.
class DriverWindow final : public StationFace {
public:
  DriverWindow(HINSTANCE instance, PollEventLoop& loop);
  ~DriverWindow() override;
  DriverWindow(const DriverWindow&) = delete;
  DriverWindow& operator=(const DriverWindow&) = delete;

  // Starts the station and shows the window; false when the station refused
  // to run (another program works in its folder), after a box says so.
  bool Start(int show);
  // The orderly end with no question (the session ends, Ctrl+C): modal
  // windows close, the station ends, the window goes and the loop quits.
  void EndWithoutAsking();
  bool Ended() const { return station_ != nullptr && station_->Ended(); }

  // StationFace.
  void ShowView(const StationView& view) override;
  void ShowStatus(TDateTime at, Priority priority, const std::string& text) override;
  void ShowWarning(TDateTime at, const std::string& text) override;
  void ShowFailure(const std::string& text) override;
  std::optional<std::string> AskCloseCode() override;
  bool AskCloseCodeLater(const CloseCodeAnswer& answer) override;

private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);

  void BuildControls();
  HWND AddControl(const wchar_t* window_class, const std::string& text, DWORD style, int x, int y, int width,
                  int height, int id, HFONT font);
  void ShowPage(bool setup);
  void OnCommand(int id, int code);
  void DrawPicture(const DRAWITEMSTRUCT& item);
  void DrawHealth(const DRAWITEMSTRUCT& item, const Health& health);
  // The notification-area icon's tip: the title and the verdict.
  void UpdateTrayTip(const std::string& verdict);
  void PaintHeader();
  void AddTrayIcon();
  void RemoveTrayIcon();
  void ShowTrayMenu();
  void Restore();
  void CloseRequested();
  // Ends the loop once the window is gone.
  void Finish();
  std::string PortListText() const;
  template <typename F>
  void Guarded(F&& command);

  HINSTANCE instance_;
  PollEventLoop& loop_;
  SystemClock clock_;
  std::unique_ptr<Station> station_;
  HWND window_ = nullptr;
  HFONT font_ = nullptr;
  HFONT bold_ = nullptr;
  HFONT header_font_ = nullptr;
  HICON icon_ = nullptr;
  HICON small_icon_ = nullptr;
  UINT taskbar_created_ = 0;
  bool tray_shown_ = false;
  bool closing_ = false;  // an orderly end has begun: no more dialogs
  bool finished_ = false;
  bool setup_page_ = false;
  std::optional<StationView> drawn_;
  winface::StatusLines status_;
  NoticeBox notice_;
  CloseCodeQuestion question_;  // while it is up, the window takes no command
};

}  // namespace orvent

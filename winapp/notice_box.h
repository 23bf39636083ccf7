#pragma once

#include <windows.h>

#include <string>

namespace orvent {

// The one box that shows a warning or a failure. It has no modal loop of
// its own: the driver's loop (whose wait takes the window's messages) goes
// on reading the port and delivering while it is up. A newer text replaces
// the one shown (each is in the status list as well).
class NoticeBox {
public:
  NoticeBox() = default;
  ~NoticeBox() { Close(); }
  NoticeBox(const NoticeBox&) = delete;
  NoticeBox& operator=(const NoticeBox&) = delete;

  void Show(HINSTANCE instance, HWND owner, const std::string& text, bool failure);
  void Close();

private:
  static INT_PTR CALLBACK Procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
  HWND dialog_ = nullptr;
};

}  // namespace orvent

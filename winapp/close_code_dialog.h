#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

namespace orvent {

// The close-code question: a dialog with a field that shows stars. It has no
// message loop of its own: its messages come through the station's loop, so
// the port is read and alarms are acknowledged while the operator types.
// The window under it takes no clicks meanwhile, as under a modal dialog.
class CloseCodeQuestion {
public:
  // What was typed, or nullopt when the question was cancelled.
  using Answer = std::function<void(std::optional<std::string>)>;

  CloseCodeQuestion() = default;
  ~CloseCodeQuestion() { Dismiss(); }
  CloseCodeQuestion(const CloseCodeQuestion&) = delete;
  CloseCodeQuestion& operator=(const CloseCodeQuestion&) = delete;

  // Shows the question over `owner`; `answer` is called once, when OK or
  // Cancel is clicked. False when the dialog cannot be made.
  bool Show(HINSTANCE instance, HWND owner, Answer answer);
  bool Open() const { return dialog_ != nullptr; }
  // Takes the question away unanswered (an orderly end asks nobody).
  void Dismiss();

private:
  static INT_PTR CALLBACK Procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
  void Answered(std::optional<std::string> code);

  HWND dialog_ = nullptr;
  HWND owner_ = nullptr;
  Answer answer_;
};

// Closes the dialogs this thread has up (message boxes of the system's):
// an orderly end waits for nobody.
void CloseThreadDialogs();

}  // namespace orvent

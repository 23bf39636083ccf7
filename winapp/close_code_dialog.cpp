#include "winapp/close_code_dialog.h"

#include <utility>

#include "platform/win32/win32_text.h"
#include "station/station_view.h"
#include "winapp/control_ids.h"

namespace orvent {
namespace {

constexpr int kCodeDigits = 5;

BOOL CALLBACK CloseOne(HWND window, LPARAM) {
  wchar_t name[16] = {};
  ::GetClassNameW(window, name, static_cast<int>(std::size(name)));
  // "#32770": the system's dialog class, of message boxes.
  if (std::wstring_view(name) == L"#32770" && ::IsWindowVisible(window)) {
    ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  }
  return TRUE;
}

}  // namespace

INT_PTR CALLBACK CloseCodeQuestion::Procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG: {
      ::SetWindowLongPtrW(dialog, DWLP_USER, lparam);
      ::SetWindowTextW(dialog, Widen(kAccessTitle).c_str());
      ::SetDlgItemTextW(dialog, IDC_CODE_PROMPT, Widen(kAccessPrompt).c_str());
      ::SetDlgItemTextW(dialog, IDOK, Widen(kButtonOk).c_str());
      ::SetDlgItemTextW(dialog, IDCANCEL, Widen(kButtonCancel).c_str());
      ::SendDlgItemMessageW(dialog, IDC_CODE_EDIT, EM_SETLIMITTEXT, kCodeDigits, 0);
      ::SendDlgItemMessageW(dialog, IDC_CODE_EDIT, EM_SETPASSWORDCHAR, L'*', 0);
      ::SetFocus(::GetDlgItem(dialog, IDC_CODE_EDIT));
      return FALSE;  // the focus is set
    }
    case WM_COMMAND: {
      auto* question = reinterpret_cast<CloseCodeQuestion*>(::GetWindowLongPtrW(dialog, DWLP_USER));
      if (question == nullptr) break;
      if (LOWORD(wparam) == IDOK) {
        wchar_t text[16] = {};
        ::GetDlgItemTextW(dialog, IDC_CODE_EDIT, text, static_cast<int>(std::size(text)));
        question->Answered(Narrow(text));
        return TRUE;
      }
      if (LOWORD(wparam) == IDCANCEL) {
        question->Answered(std::nullopt);
        return TRUE;
      }
      break;
    }
    default:
      break;
  }
  return FALSE;
}

bool CloseCodeQuestion::Show(HINSTANCE instance, HWND owner, Answer answer) {
  if (dialog_ != nullptr) return false;
  dialog_ = ::CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_CLOSE_CODE), owner, &CloseCodeQuestion::Procedure,
                                 reinterpret_cast<LPARAM>(this));
  if (dialog_ == nullptr) return false;
  owner_ = owner;
  answer_ = std::move(answer);
  ::EnableWindow(owner_, FALSE);
  ::ShowWindow(dialog_, SW_SHOW);
  ::SetForegroundWindow(dialog_);
  return true;
}

void CloseCodeQuestion::Dismiss() {
  if (dialog_ == nullptr) return;
  answer_ = nullptr;
  // The owner first, so that the system gives it the activation back.
  ::EnableWindow(owner_, TRUE);
  ::DestroyWindow(std::exchange(dialog_, nullptr));
}

void CloseCodeQuestion::Answered(std::optional<std::string> code) {
  // Gone before the answer is handed on: the answer may ask again.
  Answer answer = std::exchange(answer_, nullptr);
  Dismiss();
  if (answer) answer(std::move(code));
}

void CloseThreadDialogs() { ::EnumThreadWindows(::GetCurrentThreadId(), CloseOne, 0); }

}  // namespace orvent

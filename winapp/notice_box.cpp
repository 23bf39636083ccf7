#include "winapp/notice_box.h"

#include <utility>

#include "platform/win32/win32_text.h"
#include "station/station_view.h"
#include "winapp/control_ids.h"

namespace orvent {

INT_PTR CALLBACK NoticeBox::Procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      ::SetWindowLongPtrW(dialog, DWLP_USER, lparam);
      ::SetWindowTextW(dialog, Widen(kWindowTitle).c_str());
      ::SetDlgItemTextW(dialog, IDOK, Widen(kButtonOk).c_str());
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
        auto* box = reinterpret_cast<NoticeBox*>(::GetWindowLongPtrW(dialog, DWLP_USER));
        if (box != nullptr) box->Close();
        return TRUE;
      }
      break;
    default:
      break;
  }
  return FALSE;
}

void NoticeBox::Show(HINSTANCE instance, HWND owner, const std::string& text, bool failure) {
  if (dialog_ == nullptr) {
    dialog_ = ::CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_NOTICE), owner, &NoticeBox::Procedure,
                                   reinterpret_cast<LPARAM>(this));
    if (dialog_ == nullptr) return;
  }
  // The system's IDI_HAND and IDI_EXCLAMATION.
  const HICON icon = ::LoadIconW(nullptr, failure ? MAKEINTRESOURCEW(32513) : MAKEINTRESOURCEW(32515));
  ::SendDlgItemMessageW(dialog_, IDC_NOTICE_ICON, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
  ::SetDlgItemTextW(dialog_, IDC_NOTICE_TEXT, Widen(text).c_str());
  ::ShowWindow(dialog_, SW_SHOW);
  ::SetForegroundWindow(dialog_);
  ::MessageBeep(failure ? MB_ICONERROR : MB_ICONWARNING);
}

void NoticeBox::Close() {
  if (dialog_ == nullptr) return;
  ::DestroyWindow(std::exchange(dialog_, nullptr));
}

}  // namespace orvent

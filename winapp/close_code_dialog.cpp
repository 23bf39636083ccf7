#include "winapp/close_code_dialog.h"

#include "platform/win32/win32_text.h"
#include "station/station_view.h"
#include "winapp/control_ids.h"

namespace orvent {
namespace {

constexpr int kCodeDigits = 5;

struct Question {
  std::string typed;
};

INT_PTR CALLBACK QuestionProcedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
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
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK) {
        auto* question = reinterpret_cast<Question*>(::GetWindowLongPtrW(dialog, DWLP_USER));
        wchar_t text[16] = {};
        ::GetDlgItemTextW(dialog, IDC_CODE_EDIT, text, static_cast<int>(std::size(text)));
        question->typed = Narrow(text);
        ::EndDialog(dialog, IDOK);
        return TRUE;
      }
      if (LOWORD(wparam) == IDCANCEL) {
        ::EndDialog(dialog, IDCANCEL);
        return TRUE;
      }
      break;
    default:
      break;
  }
  return FALSE;
}

BOOL CALLBACK CloseOne(HWND window, LPARAM) {
  wchar_t name[16] = {};
  ::GetClassNameW(window, name, static_cast<int>(std::size(name)));
  // "#32770": the system's dialog class, of the question and of message boxes.
  if (std::wstring_view(name) == L"#32770" && ::IsWindowVisible(window)) {
    ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  }
  return TRUE;
}

}  // namespace

std::optional<std::string> AskCloseCodeDialog(HINSTANCE instance, HWND owner) {
  Question question;
  const INT_PTR answer = ::DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_CLOSE_CODE), owner, QuestionProcedure,
                                           reinterpret_cast<LPARAM>(&question));
  if (answer != IDOK) return std::nullopt;
  return question.typed;
}

void CloseThreadDialogs() { ::EnumThreadWindows(::GetCurrentThreadId(), CloseOne, 0); }

}  // namespace orvent

// Works orvent-driver.exe's window from another process, as an operator
// would, for the Linux side's window tests under Wine: one step after the
// other from the command line, each printing what it saw on standard output
// (UTF-8) and failing the run (exit 1) when it cannot be done in its time.
//   wait                    the window is there
//   click ID                a click on the button with that id
//   text ID                 the control's text
//   list                    the status list's lines, one a line
//   visible 0|1             waits until the window is hidden (0) or shown
//                           (1), then prints whether it is
//   rect                    the window's place on the screen: "x y width height"
//   minimise                the window's minimise command
//   close                   the window's close button
//   asked                   the close-code question is up (left unanswered)
//   warned                  the driver's message box is up (left open)
//   code TEXT               the close-code question is answered with TEXT
//   dismiss                 the driver's message box is closed (OK)
//   gone                    the driver's window is gone
//   endsession              the session's end, as the system tells it
// Given first, `--desktop NAME` works on (and makes) that desktop of Wine's:
// one of the test's own, whose desktop window Wine opens on the test's
// display (the prefix's default desktop may have been made without one).
// `--desktop NAME run PROGRAM` starts PROGRAM there with this program's
// standard handles and ends with its exit status.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/win32_text.h"
#include "station/station_view.h"
#include "winapp/control_ids.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kLimit = 20s;

void Say(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Tries `step` every 50 ms until it holds or the limit passes.
template <typename F>
bool Within(F&& step) {
  const auto deadline = std::chrono::steady_clock::now() + kLimit;
  for (;;) {
    if (step()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
}

HWND MainWindow() { return ::FindWindowW(ORVENT_WINDOW_CLASS, nullptr); }

std::string TextOf(HWND window) {
  wchar_t text[1024] = {};
  DWORD_PTR copied = 0;
  ::SendMessageTimeoutW(window, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                        &copied);
  return orvent::Narrow(text);
}

struct DialogSearch {
  DWORD process = 0;
  std::wstring title;  // empty: any
  HWND found = nullptr;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<DialogSearch*>(param);
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  wchar_t name[16] = {};
  ::GetClassNameW(window, name, static_cast<int>(std::size(name)));
  if (process != search->process || std::wstring_view(name) != L"#32770" || !::IsWindowVisible(window)) return TRUE;
  wchar_t title[256] = {};
  ::GetWindowTextW(window, title, static_cast<int>(std::size(title)));
  if (!search->title.empty() && search->title != title) return TRUE;
  search->found = window;
  return FALSE;
}

// A dialog of the driver's process, by its title (empty: any).
HWND DriverDialog(const std::wstring& title) {
  const HWND main = MainWindow();
  if (main == nullptr) return nullptr;
  DialogSearch search;
  ::GetWindowThreadProcessId(main, &search.process);
  search.title = title;
  ::EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

bool Step(const std::vector<std::string>& args, std::size_t& i) {
  const std::string& command = args[i];
  const auto next = [&]() -> std::string { return i + 1 < args.size() ? args[++i] : std::string(); };
  if (command == "wait") {
    return Within([] { return MainWindow() != nullptr && ::IsWindowVisible(MainWindow()); });
  }
  if (command == "gone") {
    return Within([] { return MainWindow() == nullptr || !::IsWindowVisible(MainWindow()); });
  }
  const HWND main = MainWindow();
  if (main == nullptr) {
    Say("no window");
    return false;
  }
  if (command == "click") {
    const int id = std::stoi(next());
    return ::PostMessageW(main, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                          reinterpret_cast<LPARAM>(::GetDlgItem(main, id))) != FALSE;
  }
  if (command == "text") {
    Say(TextOf(::GetDlgItem(main, std::stoi(next()))));
    return true;
  }
  if (command == "list") {
    const HWND list = ::GetDlgItem(main, IDC_STATUS_LIST);
    const LRESULT count = ::SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT k = 0; k < count; ++k) {
      wchar_t line[2048] = {};
      if (::SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(k), 0) >= static_cast<LRESULT>(std::size(line))) {
        continue;
      }
      ::SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(k), reinterpret_cast<LPARAM>(line));
      Say(orvent::Narrow(line));
    }
    return true;
  }
  if (command == "visible") {
    // Waits for the window to become so: the steps before only posted.
    const bool wanted = next() == "1";
    Within([&] { return (::IsWindowVisible(main) != FALSE) == wanted; });
    Say(::IsWindowVisible(main) ? "1" : "0");
    return true;
  }
  if (command == "rect") {
    RECT r{};
    ::GetWindowRect(main, &r);
    Say(std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right - r.left) + " " +
        std::to_string(r.bottom - r.top));
    return true;
  }
  if (command == "minimise") return ::PostMessageW(main, WM_SYSCOMMAND, SC_MINIMIZE, 0) != FALSE;
  if (command == "close") return ::PostMessageW(main, WM_CLOSE, 0, 0) != FALSE;
  if (command == "asked" || command == "warned") {
    const std::wstring title = orvent::Widen(command == "asked" ? orvent::kAccessTitle : orvent::kWindowTitle);
    return Within([&] { return DriverDialog(title) != nullptr; });
  }
  if (command == "code" || command == "dismiss") {
    const std::wstring title = command == "code" ? orvent::Widen(orvent::kAccessTitle) : std::wstring();
    const std::string typed = command == "code" ? next() : std::string();
    HWND dialog = nullptr;
    if (!Within([&] { return (dialog = DriverDialog(title)) != nullptr; })) {
      Say("no dialog");
      return false;
    }
    if (command == "code") {
      ::SendDlgItemMessageW(dialog, IDC_CODE_EDIT, WM_SETTEXT, 0,
                            reinterpret_cast<LPARAM>(orvent::Widen(typed).c_str()));
    }
    Say(command + " " + TextOf(dialog));
    ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    // The next question may look just like this one: it is looked for only
    // once this one has gone.
    return Within([&] { return !::IsWindow(dialog) || !::IsWindowVisible(dialog); });
  }
  if (command == "endsession") {
    DWORD_PTR answer = 0;
    ::SendMessageTimeoutW(main, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 20000, &answer);
    Say("query " + std::to_string(answer));
    DWORD_PTR ignored = 0;
    return ::SendMessageTimeoutW(main, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, 20000, &ignored) != 0;
  }
  Say("unknown step " + command);
  return false;
}

}  // namespace

// PROGRAM on `desktop`; its exit status, or 1 when it cannot start.
int RunOnDesktop(const std::wstring& desktop, const std::wstring& program) {
  STARTUPINFOW start{};
  start.cb = sizeof(start);
  std::wstring desktop_name = desktop;
  start.lpDesktop = desktop_name.data();
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  start.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
  start.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  std::wstring command = L"\"" + program + L"\"";
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &process)) {
    Say("cannot start " + orvent::Narrow(program));
    return 1;
  }
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 1;
  ::GetExitCodeProcess(process.hProcess, &status);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  return static_cast<int>(status);
}

int wmain(int argc, wchar_t** argv) {
  int first = 1;
  if (argc >= 3 && std::wstring_view(argv[1]) == L"--desktop") {
    const HDESK desktop = ::CreateDesktopW(argv[2], nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    if (desktop == nullptr || !::SetThreadDesktop(desktop)) {
      Say("no desktop");
      return 1;
    }
    first = 3;
    if (argc >= 5 && std::wstring_view(argv[3]) == L"run") return RunOnDesktop(argv[2], argv[4]);
  }
  std::vector<std::string> args;
  for (int i = first; i < argc; ++i) args.push_back(orvent::Narrow(argv[i]));
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!Step(args, i)) {
      Say("failed: " + args[i]);
      return 1;
    }
  }
  return 0;
}

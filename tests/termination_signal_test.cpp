#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

// The console's control events reach orvent-service's loop through the
// termination signal. Wine delivers only Ctrl+C of them (and a SIGINT sent
// to the Wine process as one), so that is the event the child sends.
namespace orvent {
namespace {

std::filesystem::path ThisProgramsFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  return std::filesystem::path(path).parent_path();
}

TEST(TerminationSignal, ACtrlCOfTheConsoleIsTakenOnceThroughTheLoop) {
  const std::filesystem::path child = ThisProgramsFolder() / L"console_control_child.exe";
  ASSERT_TRUE(std::filesystem::exists(child)) << child.string();
  std::wstring command = L"\"" + child.wstring() + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  // A console of its own, hidden: the event must not reach this program.
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(::CreateProcessW(child.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE, nullptr,
                               nullptr, &startup, &process))
      << ::GetLastError();
  ::CloseHandle(process.hThread);
  const DWORD waited = ::WaitForSingleObject(process.hProcess, 30000);
  if (waited != WAIT_OBJECT_0) ::TerminateProcess(process.hProcess, 1);
  DWORD code = 0;
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hProcess);
  ASSERT_EQ(waited, WAIT_OBJECT_0) << "the child did not end";
  // The event's number plus one, as Take() gives it.
  EXPECT_EQ(code, static_cast<DWORD>(CTRL_C_EVENT + 1));
}

}  // namespace
}  // namespace orvent

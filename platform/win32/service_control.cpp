#include <windows.h>
// After windows.h, which it needs.
#include <knownfolders.h>
#include <shlobj.h>

#include <mutex>
#include <string>

#include "platform/paths.h"
#include "platform/service_control.h"
#include "platform/win32/win32_error.h"
#include "platform/win32/win32_text.h"

namespace orvent {
namespace {

// How long the manager is to wait for the next step of a start or a stop
// before it counts the service as hung; Station::Start opens a port and
// lists the spool, the orderly end takes milliseconds.
constexpr DWORD kWaitHintMs = 30000;

// The service's main function and its control handler are plain functions
// that the system calls on threads of its own; they reach the one service
// of this process through this.
class Service final : public ServiceSession {
public:
  explicit Service(const std::function<int(ServiceSession&)>& body)
      : body_(body), stop_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Service() override {
    if (stop_ != nullptr) ::CloseHandle(stop_);
  }
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  bool Usable() const { return stop_ != nullptr; }
  int Result() const { return result_; }

  NativeWaitHandle StopRequest() const override { return reinterpret_cast<NativeWaitHandle>(stop_); }
  void Running() override { Report(SERVICE_RUNNING); }
  void Stopping() override { Report(SERVICE_STOP_PENDING); }

  void Main(const wchar_t* name) {
    handle_ = ::RegisterServiceCtrlHandlerExW(name, &Service::OnControl, this);
    if (handle_ == nullptr) {
      result_ = 1;
      return;
    }
    Report(SERVICE_START_PENDING);
    result_ = body_(*this);
    // A failure is the service's own: the manager logs its number and, as
    // registered, starts the service again.
    Report(SERVICE_STOPPED, result_ == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR, static_cast<DWORD>(result_));
  }

private:
  static DWORD WINAPI OnControl(DWORD control, DWORD, void*, void* context) {
    auto* service = static_cast<Service*>(context);
    switch (control) {
      case SERVICE_CONTROL_STOP:
      case SERVICE_CONTROL_SHUTDOWN:
        // Only a signal: the body ends the station in order on its own thread.
        ::SetEvent(service->stop_);
        service->Report(SERVICE_STOP_PENDING);
        return NO_ERROR;
      case SERVICE_CONTROL_INTERROGATE:
        // The manager keeps the last state reported; answering is enough.
        return NO_ERROR;
      default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
  }

  // Each pending state counts its steps, so the manager sees progress.
  void Report(DWORD state, DWORD exit_code = NO_ERROR, DWORD specific = 0) {
    std::lock_guard<std::mutex> hold(lock_);
    // A stop that came in while the end was already reported changes nothing.
    if (status_.dwCurrentState == SERVICE_STOPPED && state != SERVICE_STOPPED) return;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    status_.dwCheckPoint = pending && status_.dwCurrentState == state ? status_.dwCheckPoint + 1 : (pending ? 1 : 0);
    status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status_.dwCurrentState = state;
    status_.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status_.dwWin32ExitCode = exit_code;
    status_.dwServiceSpecificExitCode = specific;
    status_.dwWaitHint = pending ? kWaitHintMs : 0;
    ::SetServiceStatus(handle_, &status_);
  }

  const std::function<int(ServiceSession&)>& body_;
  HANDLE stop_;
  SERVICE_STATUS_HANDLE handle_ = nullptr;
  int result_ = 0;
  // The handler's thread and the body's both report.
  std::mutex lock_;
  SERVICE_STATUS status_{};
};

Service* the_service = nullptr;
std::wstring the_name;

void WINAPI ServiceMain(DWORD, LPWSTR*) { the_service->Main(the_name.c_str()); }

// The system's refusals that callers tell apart, as the same conditions on
// every platform; anything else keeps the system's own code and text.
std::error_code ManagerError(DWORD code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
      return std::make_error_code(std::errc::permission_denied);
    case ERROR_SERVICE_EXISTS:
    case ERROR_DUPLICATE_SERVICE_NAME:
      return std::make_error_code(std::errc::file_exists);
    case ERROR_SERVICE_DOES_NOT_EXIST:
    case ERROR_SERVICE_MARKED_FOR_DELETE:
      return std::make_error_code(std::errc::no_such_file_or_directory);
    default:
      return Win32Error(code);
  }
}

class ServiceHandle {
public:
  explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
  ~ServiceHandle() {
    if (handle_ != nullptr) ::CloseServiceHandle(handle_);
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  SC_HANDLE get() const { return handle_; }

private:
  SC_HANDLE handle_;
};

// One argument as the C runtime's command-line parser reads it back:
// quoted, a quote escaped, and backslashes doubled where a quote follows
// them ("C:\dir\" would otherwise end in a quote, not a backslash).
std::wstring QuoteArgument(const std::wstring& arg) {
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');
  out.push_back(L'"');
  return out;
}

std::wstring OwnPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace

std::optional<int> RunAsService(const std::string& name, const std::function<int(ServiceSession&)>& body) {
  Service service(body);
  if (!service.Usable()) return std::nullopt;
  the_name = Widen(name);
  the_service = &service;
  SERVICE_TABLE_ENTRYW table[] = {{the_name.data(), &ServiceMain}, {nullptr, nullptr}};
  // Fails at once with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the
  // manager did not start this process; the program then runs as started.
  const bool served = ::StartServiceCtrlDispatcherW(table) != FALSE;
  the_service = nullptr;
  if (!served) return std::nullopt;
  return service.Result();
}

std::error_code InstallService(const ServiceDefinition& service, std::string& warning) {
  warning.clear();
  const std::wstring own = OwnPath();
  if (own.empty()) return LastWin32Error();
  std::wstring command = QuoteArgument(own);
  for (const std::string& arg : service.Arguments) command += L" " + QuoteArgument(Widen(arg));

  const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (manager.get() == nullptr) return ManagerError(::GetLastError());
  const std::wstring name = Widen(service.Name);
  const std::wstring display = Widen(service.DisplayName);
  // LocalSystem: the port, the spool folder and the network without a
  // password to keep.
  const ServiceHandle created(::CreateServiceW(manager.get(), name.c_str(), display.c_str(), SERVICE_CHANGE_CONFIG,
                                               SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                               command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (created.get() == nullptr) return ManagerError(::GetLastError());

  std::wstring description = Widen(service.Description);
  SERVICE_DESCRIPTIONW described{description.data()};
  if (!::ChangeServiceConfig2W(created.get(), SERVICE_CONFIG_DESCRIPTION, &described)) {
    warning = "description: " + LastWin32Error().message();
  }
  const DWORD delay_ms = static_cast<DWORD>(std::chrono::milliseconds(service.RestartDelay).count());
  // Every failure restarts it; the manager repeats the last action.
  SC_ACTION restart[3] = {{SC_ACTION_RESTART, delay_ms}, {SC_ACTION_RESTART, delay_ms}, {SC_ACTION_RESTART, delay_ms}};
  SERVICE_FAILURE_ACTIONSW recovery{};
  recovery.dwResetPeriod = static_cast<DWORD>(service.ResetPeriod.count());
  recovery.cActions = 3;
  recovery.lpsaActions = restart;
  if (!::ChangeServiceConfig2W(created.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &recovery)) {
    if (!warning.empty()) warning += "; ";
    warning += "recovery: " + LastWin32Error().message();
  }
  // A stop with an error (the event loop failed) counts as a failure too.
  // Not every system knows this setting; the restart after a crash stays.
  SERVICE_FAILURE_ACTIONS_FLAG on_error{TRUE};
  ::ChangeServiceConfig2W(created.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_error);
  return {};
}

std::error_code UninstallService(const std::string& name, std::chrono::milliseconds stop_limit) {
  const ServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (manager.get() == nullptr) return ManagerError(::GetLastError());
  const ServiceHandle service(
      ::OpenServiceW(manager.get(), Widen(name).c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (service.get() == nullptr) return ManagerError(::GetLastError());

  bool stopped = true;
  SERVICE_STATUS status{};
  if (::QueryServiceStatus(service.get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
    if (status.dwCurrentState != SERVICE_STOP_PENDING) ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(stop_limit.count());
    stopped = false;
    while (::QueryServiceStatus(service.get(), &status)) {
      if (status.dwCurrentState == SERVICE_STOPPED) {
        stopped = true;
        break;
      }
      if (::GetTickCount64() >= deadline) break;
      ::Sleep(100);
    }
  }
  // A service that still runs is removed once it stops.
  if (!::DeleteService(service.get())) return ManagerError(::GetLastError());
  return stopped ? std::error_code{} : std::make_error_code(std::errc::timed_out);
}

std::string ServiceDataFolder(const std::string& name) {
  // Asked of the system rather than of %ProgramData%: the environment a
  // service gets need not have it right (Wine's points to the public
  // profile).
  wchar_t* known = nullptr;
  std::string base = "C:\\ProgramData";
  if (::SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known) == S_OK) base = Narrow(known);
  ::CoTaskMemFree(known);
  return JoinPath(base, name);
}

}  // namespace orvent

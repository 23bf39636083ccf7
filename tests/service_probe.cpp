// A Windows program that asks the service manager what Wine's sc cannot:
// how a service is registered, and whether it answers an interrogation. Run
// under Wine by service_wine_test.cpp. One answer line on the standard
// output, exit status 0; or "error CODE", exit status 1.
//
//   config NAME        ok start=N type=N path=COMMAND LINE
//   interrogate NAME   ok state=N   (ControlService's SERVICE_CONTROL_INTERROGATE)

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

int Fail() {
  std::printf("error %lu\n", ::GetLastError());
  return 1;
}

std::wstring Wide(const char* text) {
  const int size = ::MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 1), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), size);
  wide.resize(wide.size() - 1);
  return wide;
}

std::string Narrow(const wchar_t* text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), size, nullptr, nullptr);
  narrow.resize(narrow.size() - 1);
  return narrow;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: service_probe config|interrogate NAME\n");
    return 2;
  }
  const std::string command = argv[1];
  SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return Fail();
  SC_HANDLE service = ::OpenServiceW(manager, Wide(argv[2]).c_str(), SERVICE_QUERY_CONFIG | SERVICE_INTERROGATE);
  if (service == nullptr) return Fail();
  int status = 0;
  if (command == "config") {
    DWORD needed = 0;
    ::QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<unsigned char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (needed == 0 || !::QueryServiceConfigW(service, config, needed, &needed)) return Fail();
    std::printf("ok start=%lu type=%lu path=%s\n", config->dwStartType, config->dwServiceType,
                Narrow(config->lpBinaryPathName).c_str());
  } else if (command == "interrogate") {
    SERVICE_STATUS answer{};
    if (!::ControlService(service, SERVICE_CONTROL_INTERROGATE, &answer)) return Fail();
    std::printf("ok state=%lu\n", answer.dwCurrentState);
  } else {
    status = 2;
  }
  ::CloseServiceHandle(service);
  ::CloseServiceHandle(manager);
  return status;
}

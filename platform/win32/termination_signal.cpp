#include <windows.h>

#include <atomic>

#include "platform/display.h"
#include "platform/termination_signal.h"

namespace orvent {
namespace {

// The console control handler is a plain function on a thread of the
// system's; it reaches the one TerminationSignal through these.
HANDLE requested_event = nullptr;
HANDLE finished_event = nullptr;
std::atomic<int> pending{0};

// The system ends the process once the handler of a close, logoff or
// shutdown returns, and gives it about five seconds; the orderly end takes
// milliseconds.
constexpr DWORD kGraceMs = 4500;

BOOL WINAPI OnControl(DWORD control) {
  // A service hears every user's logoff; only a program on the desktop
  // being left ends with it.
  if (control == CTRL_LOGOFF_EVENT && !DisplayAvailable()) return FALSE;
  pending.store(static_cast<int>(control) + 1);
  ::SetEvent(requested_event);
  if (control == CTRL_CLOSE_EVENT || control == CTRL_LOGOFF_EVENT || control == CTRL_SHUTDOWN_EVENT) {
    ::WaitForSingleObject(finished_event, kGraceMs);
  }
  return TRUE;
}

}  // namespace

struct TerminationSignal::Native {
  bool installed = false;
};

TerminationSignal::TerminationSignal() : native_(std::make_unique<Native>()) {
  requested_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  finished_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (requested_event == nullptr || finished_event == nullptr) return;
  native_->installed = ::SetConsoleCtrlHandler(OnControl, TRUE) != FALSE;
}

TerminationSignal::~TerminationSignal() {
  // Lets a waiting close, logoff or shutdown handler return: the program
  // has ended in order.
  if (finished_event != nullptr) ::SetEvent(finished_event);
}

std::optional<NativeWaitHandle> TerminationSignal::WaitHandle() const {
  if (!native_->installed) return std::nullopt;
  return reinterpret_cast<NativeWaitHandle>(requested_event);
}

int TerminationSignal::Take() {
  if (!native_->installed) return 0;
  ::ResetEvent(requested_event);
  return pending.exchange(0);
}

}  // namespace orvent

#include <windows.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/loop_wait.h"
#include "platform/win32/loop_messages.h"
#include "platform/win32/win32_error.h"

namespace orvent {
namespace {

HANDLE HandleOf(NativeWaitHandle handle) { return reinterpret_cast<HANDLE>(handle); }

bool Usable(NativeWaitHandle handle) { return handle > 0; }

}  // namespace

struct LoopWakeup::Native {
  HANDLE event = nullptr;
};

LoopWakeup::LoopWakeup() : native_(std::make_unique<Native>()) {
  // Manual reset: it stays raised until the loop has taken the calls.
  native_->event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (native_->event == nullptr) throw std::system_error(LastWin32Error(), "event loop wake-up");
}

LoopWakeup::~LoopWakeup() { ::CloseHandle(native_->event); }

NativeWaitHandle LoopWakeup::Handle() const { return reinterpret_cast<NativeWaitHandle>(native_->event); }

void LoopWakeup::Raise() { ::SetEvent(native_->event); }

void LoopWakeup::Clear() { ::ResetEvent(native_->event); }

struct HandleWait::Native {
  // The distinct usable handles (the system's wait takes no handle twice,
  // and a handle may be watched more than once), and for each number under
  // which a handle was added its place among them, or none: a handle that
  // could not be made is left out and never ready.
  std::vector<HANDLE> handles;
  std::vector<bool> signalled;
  std::vector<std::optional<std::size_t>> place_of;
};

HandleWait::HandleWait() : native_(std::make_unique<Native>()) {}
HandleWait::~HandleWait() = default;

void HandleWait::Clear() {
  native_->handles.clear();
  native_->signalled.clear();
  native_->place_of.clear();
}

void HandleWait::Add(NativeWaitHandle handle) {
  Native& n = *native_;
  if (!Usable(handle)) {
    n.place_of.emplace_back();
    return;
  }
  const auto found = std::find(n.handles.begin(), n.handles.end(), HandleOf(handle));
  n.place_of.emplace_back(static_cast<std::size_t>(found - n.handles.begin()));
  if (found == n.handles.end()) {
    n.handles.push_back(HandleOf(handle));
    n.signalled.push_back(false);
  }
}

namespace {

thread_local bool window_messages_taken = false;

// Whether a window's keyboard messages go through dialog navigation first,
// so that Tab and the arrows move between its controls and Enter and Esc
// answer it: a dialog without a loop of its own (the system's dialog class),
// or a window that lays its controls out as a dialog does.
bool NavigatesAsADialog(HWND root) {
  // 32770: the atom of the system's dialog class.
  constexpr ULONG_PTR kDialogClass = 32770;
  return (::GetWindowLongPtrW(root, GWL_EXSTYLE) & WS_EX_CONTROLPARENT) != 0 ||
         ::GetClassLongPtrW(root, GCW_ATOM) == kDialogClass;
}

// Hands every window message waiting for this thread to its window. False
// once WM_QUIT was taken.
bool DispatchWindowMessages() {
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) return false;
    const HWND root = msg.hwnd != nullptr ? ::GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
    if (root != nullptr && NavigatesAsADialog(root) && ::IsDialogMessageW(root, &msg)) {
      continue;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  return true;
}

}  // namespace

void TakeWindowMessagesInLoopWait() { window_messages_taken = true; }

std::error_code HandleWait::Wait(int timeout_ms) {
  Native& n = *native_;
  std::fill(n.signalled.begin(), n.signalled.end(), false);
  // A thread that has windows waits for its messages too, so that a window
  // program's windows live on the same loop as the port and the timers; the
  // queue takes one place of the wait. A thread without windows
  // (orvent-service) keeps all places for handles and never makes a queue.
  const bool windows = window_messages_taken;
  const std::size_t places = windows ? MAXIMUM_WAIT_OBJECTS - 1 : MAXIMUM_WAIT_OBJECTS;
  if (n.handles.size() > places) return std::make_error_code(std::errc::too_many_files_open);
  const DWORD timeout = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
  const DWORD count = static_cast<DWORD>(n.handles.size());
  if (!windows && count == 0) {
    ::Sleep(timeout);
    return {};
  }
  // MWMO_INPUTAVAILABLE: messages that a peek left in the queue end the
  // wait too, not only those that came after it.
  const DWORD result = windows ? ::MsgWaitForMultipleObjectsEx(count, n.handles.data(), timeout, QS_ALLINPUT,
                                                               MWMO_INPUTAVAILABLE)
                               : ::WaitForMultipleObjects(count, n.handles.data(), FALSE, timeout);
  if (result == WAIT_TIMEOUT) return {};
  if (result == WAIT_FAILED) return LastWin32Error();
  if (windows && result == WAIT_OBJECT_0 + count) {
    // The windows' handlers may watch and stop handles: the pass that
    // follows only calls watches not stopped, from the handles asked below.
    if (!DispatchWindowMessages()) return std::make_error_code(std::errc::operation_canceled);
    for (DWORD i = 0; i < count; ++i) {
      if (::WaitForSingleObject(n.handles[i], 0) == WAIT_OBJECT_0) n.signalled[i] = true;
    }
    return {};
  }
  // The wait names only the first ready handle; the others are asked
  // without waiting. An auto-reset event asked so is reset, which is right:
  // its watches are called in this pass.
  DWORD first = 0;
  if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) {
    first = result - WAIT_OBJECT_0;
  } else if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count) {
    first = result - WAIT_ABANDONED_0;
  }
  n.signalled[first] = true;
  for (DWORD i = first + 1; i < count; ++i) {
    if (::WaitForSingleObject(n.handles[i], 0) == WAIT_OBJECT_0) n.signalled[i] = true;
  }
  return {};
}

bool HandleWait::Ready(std::size_t index) const {
  const std::optional<std::size_t> place = native_->place_of[index];
  return place && native_->signalled[*place];
}

}  // namespace orvent

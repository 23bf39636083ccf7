#include <windows.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/loop_wait.h"
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

std::error_code HandleWait::Wait(int timeout_ms) {
  Native& n = *native_;
  std::fill(n.signalled.begin(), n.signalled.end(), false);
  if (n.handles.size() > MAXIMUM_WAIT_OBJECTS) return std::make_error_code(std::errc::too_many_files_open);
  const DWORD timeout = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
  if (n.handles.empty()) {
    ::Sleep(timeout);
    return {};
  }
  const DWORD count = static_cast<DWORD>(n.handles.size());
  const DWORD result = ::WaitForMultipleObjects(count, n.handles.data(), FALSE, timeout);
  if (result == WAIT_TIMEOUT) return {};
  if (result == WAIT_FAILED) return LastWin32Error();
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

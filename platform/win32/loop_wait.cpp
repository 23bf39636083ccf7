#include <windows.h>

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
  // The usable handles, and for each the number under which it was added;
  // a handle that could not be made is left out and never ready.
  std::vector<HANDLE> handles;
  std::vector<std::size_t> added_as;
  std::vector<bool> ready;
};

HandleWait::HandleWait() : native_(std::make_unique<Native>()) {}
HandleWait::~HandleWait() = default;

void HandleWait::Clear() {
  native_->handles.clear();
  native_->added_as.clear();
  native_->ready.clear();
}

void HandleWait::Add(NativeWaitHandle handle) {
  if (Usable(handle)) {
    native_->handles.push_back(HandleOf(handle));
    native_->added_as.push_back(native_->ready.size());
  }
  native_->ready.push_back(false);
}

std::error_code HandleWait::Wait(int timeout_ms) {
  Native& n = *native_;
  std::fill(n.ready.begin(), n.ready.end(), false);
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
  // its watch is called in this pass.
  DWORD first = 0;
  if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) {
    first = result - WAIT_OBJECT_0;
  } else if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count) {
    first = result - WAIT_ABANDONED_0;
  }
  n.ready[n.added_as[first]] = true;
  for (DWORD i = first + 1; i < count; ++i) {
    if (::WaitForSingleObject(n.handles[i], 0) == WAIT_OBJECT_0) n.ready[n.added_as[i]] = true;
  }
  return {};
}

bool HandleWait::Ready(std::size_t index) const { return native_->ready[index]; }

}  // namespace orvent

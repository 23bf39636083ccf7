#include <windows.h>

#include "support/ready_handle.h"

namespace orvent::test {

// Manual reset: signalled until someone resets it, which nobody does.
struct ReadyHandle::Native {
  HANDLE event = nullptr;
};

ReadyHandle::ReadyHandle() : native_(std::make_unique<Native>()) {
  native_->event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

ReadyHandle::~ReadyHandle() {
  if (native_->event != nullptr) ::CloseHandle(native_->event);
}

bool ReadyHandle::Valid() const { return native_->event != nullptr; }

NativeWaitHandle ReadyHandle::Handle() const { return reinterpret_cast<NativeWaitHandle>(native_->event); }

bool ReadyHandle::MakeReady() { return ::SetEvent(native_->event) != FALSE; }

}  // namespace orvent::test

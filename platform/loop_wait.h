#pragma once

#include <cstddef>
#include <memory>
#include <system_error>

#include "platform/event_loop.h"

namespace orvent {

// The part of PollEventLoop that each system does its own way: a wake-up
// that any thread can raise, and one wait on it and on the watched handles.
// Used by PollEventLoop only.

// Raised from any thread; seen as ready by a wait until it is cleared.
class LoopWakeup {
public:
  // Throws std::system_error when the system cannot make one.
  LoopWakeup();
  ~LoopWakeup();
  LoopWakeup(const LoopWakeup&) = delete;
  LoopWakeup& operator=(const LoopWakeup&) = delete;

  NativeWaitHandle Handle() const;
  void Raise();
  // On the loop's thread, once the wait has seen it.
  void Clear();

private:
  struct Native;
  std::unique_ptr<Native> native_;
};

// The handles of one wait, kept between waits so that an idle loop does not
// allocate. A handle that could not be made (negative) is never ready.
class HandleWait {
public:
  HandleWait();
  ~HandleWait();
  HandleWait(const HandleWait&) = delete;
  HandleWait& operator=(const HandleWait&) = delete;

  void Clear();
  void Add(NativeWaitHandle handle);
  // Waits until a handle is ready or `timeout_ms` (-1: no limit) has passed.
  // std::errc::interrupted: a signal cut the wait short; wait again.
  // std::errc::operation_canceled: the system asked the loop to end (on
  // Windows, the thread's WM_QUIT); the loop quits. On Windows the wait also
  // hands the thread's window messages to their windows.
  std::error_code Wait(int timeout_ms);
  // After Wait: the handle added as number `index` is ready (for a
  // descriptor: readable, hung up or failed).
  bool Ready(std::size_t index) const;

private:
  struct Native;
  std::unique_ptr<Native> native_;
};

}  // namespace orvent

#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace orvent {

// What a loop can wait on for readiness: a descriptor on POSIX; a Windows
// loop gives its own handles the same width.
using NativeWaitHandle = std::intptr_t;

// The event loop of a program's main thread: timers, calls posted from other
// threads, and handles to watch. The window program runs Qt's loop behind
// this interface, orvent-service a poll loop of platform/; every callback
// runs on the loop's thread, one at a time. Post is safe from any thread;
// everything else is called on the loop's thread.
class EventLoop {
public:
  using TimerId = std::uint64_t;
  using WatchId = std::uint64_t;

  virtual ~EventLoop() = default;

  // Calls `callback` every `period` (at least 1 ms) until StopTimer; the
  // first call comes one period after the start. A callback never runs after
  // StopTimer has returned, also when StopTimer runs inside a callback.
  virtual TimerId StartTimer(std::chrono::milliseconds period, std::function<void()> callback) = 0;
  virtual void StopTimer(TimerId id) = 0;

  // Calls `call` once on the loop's thread, soon; safe from any thread. Calls
  // run in the order they were posted.
  virtual void Post(std::function<void()> call) = 0;

  // Calls `on_ready` whenever `handle` can be read without waiting, until
  // StopWatching (the same guarantee as StopTimer). A handle that has hung up
  // or failed counts as readable: the read tells, and the callback must then
  // StopWatching, or it is called again and again.
  virtual WatchId WatchReadable(NativeWaitHandle handle, std::function<void()> on_ready) = 0;
  virtual void StopWatching(WatchId id) = 0;
};

}  // namespace orvent

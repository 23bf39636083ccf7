#pragma once

#include <QObject>
#include <map>
#include <memory>

#include "platform/event_loop.h"

class QTimer;

namespace orvent {

// The window thread's Qt event loop behind the interface that the driver
// core shares with orvent-service: its timers are QTimers, its posted calls
// queued invocations, its watches notifiers of the system's kind. Used on the window
// thread only, apart from Post.
class QtEventLoop final : public EventLoop {
public:
  QtEventLoop();
  ~QtEventLoop() override;
  QtEventLoop(const QtEventLoop&) = delete;
  QtEventLoop& operator=(const QtEventLoop&) = delete;

  TimerId StartTimer(std::chrono::milliseconds period, std::function<void()> callback) override;
  void StopTimer(TimerId id) override;
  void Post(std::function<void()> call) override;
  WatchId WatchReadable(NativeWaitHandle handle, std::function<void()> on_ready) override;
  void StopWatching(WatchId id) override;

private:
  // Owns the timers and notifiers, and is the context of posted calls: what
  // is posted after the loop is gone is dropped with it.
  QObject context_;
  std::uint64_t last_id_ = 0;
  std::map<TimerId, QTimer*> timers_;
  std::map<WatchId, QObject*> watches_;
};

}  // namespace orvent

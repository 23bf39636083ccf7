#include "app/qt_event_loop.h"

#include <QTimer>
#include <algorithm>
#include <utility>

#include "app/qt_ready_notifier.h"

namespace orvent {

QtEventLoop::QtEventLoop() = default;

QtEventLoop::~QtEventLoop() = default;

EventLoop::TimerId QtEventLoop::StartTimer(std::chrono::milliseconds period, std::function<void()> callback) {
  auto* timer = new QTimer(&context_);
  // A precise timer: the serial packet time-out counts in polls of 20 ms.
  timer->setTimerType(Qt::PreciseTimer);
  QObject::connect(timer, &QTimer::timeout, timer, [callback = std::move(callback)] { callback(); });
  timer->start(static_cast<int>(std::max<std::chrono::milliseconds::rep>(period.count(), 1)));
  const TimerId id = ++last_id_;
  timers_.emplace(id, timer);
  return id;
}

void QtEventLoop::StopTimer(TimerId id) {
  const auto it = timers_.find(id);
  if (it == timers_.end()) return;
  // Stopped at once; deleted later, since this may run inside its own timeout.
  it->second->stop();
  it->second->deleteLater();
  timers_.erase(it);
}

void QtEventLoop::Post(std::function<void()> call) {
  QMetaObject::invokeMethod(&context_, std::move(call), Qt::QueuedConnection);
}

EventLoop::WatchId QtEventLoop::WatchReadable(NativeWaitHandle handle, std::function<void()> on_ready) {
  const WatchId id = ++last_id_;
  watches_.emplace(id, NewReadyNotifier(handle, &context_, std::move(on_ready)));
  return id;
}

void QtEventLoop::StopWatching(WatchId id) {
  const auto it = watches_.find(id);
  if (it == watches_.end()) return;
  RetireReadyNotifier(it->second);
  watches_.erase(it);
}

}  // namespace orvent

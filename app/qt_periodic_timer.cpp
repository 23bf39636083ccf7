#include "app/qt_periodic_timer.h"

namespace orvent {

QtPeriodicTimer::QtPeriodicTimer() {
  // A precise timer: the packet time-out counts in polls of 20 ms.
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    if (callback_) callback_();
  });
}

void QtPeriodicTimer::Start(std::uint32_t period_ms, std::function<void()> callback) {
  callback_ = std::move(callback);
  timer_.start(static_cast<int>(period_ms));
}

void QtPeriodicTimer::Stop() {
  timer_.stop();
  callback_ = nullptr;
}

}  // namespace orvent

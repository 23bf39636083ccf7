#pragma once

#include <QTimer>
#include <functional>

#include "platform/periodic_timer.h"

namespace orvent {

// The serial poll's periodic callback: a timer of the window thread's event
// loop, so the poll runs between the window's other handlers.
class QtPeriodicTimer final : public PeriodicTimer {
public:
  QtPeriodicTimer();

  void Start(std::uint32_t period_ms, std::function<void()> callback) override;
  void Stop() override;

private:
  QTimer timer_;
  std::function<void()> callback_;
};

}  // namespace orvent

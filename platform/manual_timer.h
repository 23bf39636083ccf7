#pragma once

#include <cstdint>
#include <functional>
#include <utility>

#include "platform/periodic_timer.h"

namespace orvent {

// A periodic timer that ticks only when told to, on the caller's thread.
class ManualTimer final : public PeriodicTimer {
public:
  void Start(std::uint32_t period_ms, std::function<void()> callback) override {
    period_ms_ = period_ms;
    callback_ = std::move(callback);
    ++starts_;
  }
  void Stop() override {
    callback_ = nullptr;
    period_ms_ = 0;
  }

  // One tick; nothing while stopped. Returns whether the callback ran.
  bool Fire() {
    if (!callback_) return false;
    // A copy, so a callback that stops or restarts the timer stays alive.
    const std::function<void()> callback = callback_;
    callback();
    return true;
  }

  bool Running() const { return static_cast<bool>(callback_); }
  std::uint32_t PeriodMs() const { return period_ms_; }
  int Starts() const { return starts_; }

private:
  std::function<void()> callback_;
  std::uint32_t period_ms_ = 0;
  int starts_ = 0;
};

}  // namespace orvent

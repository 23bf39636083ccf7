#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>

#include "platform/event_loop.h"
#include "platform/periodic_timer.h"

namespace orvent {

// A periodic timer of an event loop, for the parts that take a PeriodicTimer
// (the serial poll).
class LoopTimer final : public PeriodicTimer {
public:
  explicit LoopTimer(EventLoop& loop) : loop_(loop) {}
  ~LoopTimer() override { Stop(); }
  LoopTimer(const LoopTimer&) = delete;
  LoopTimer& operator=(const LoopTimer&) = delete;

  void Start(std::uint32_t period_ms, std::function<void()> callback) override {
    Stop();
    id_ = loop_.StartTimer(std::chrono::milliseconds(period_ms), std::move(callback));
  }
  void Stop() override {
    if (id_) loop_.StopTimer(*std::exchange(id_, std::nullopt));
  }

private:
  EventLoop& loop_;
  std::optional<EventLoop::TimerId> id_;
};

}  // namespace orvent

#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/event_loop.h"
#include "platform/fake_clock.h"

namespace orvent {

// An event loop for tests: time is a FakeClock that moves only when the test
// says so, and timers, posted calls and watches run on the test's thread when
// it asks. Post is safe from any thread.
class ManualEventLoop final : public EventLoop {
public:
  explicit ManualEventLoop(FakeClock& clock) : clock_(clock) {}

  TimerId StartTimer(std::chrono::milliseconds period, std::function<void()> callback) override {
    const TimerId id = ++last_id_;
    const std::int64_t ms = std::max<std::int64_t>(period.count(), 1);
    timers_.emplace(id, Timer{ms, clock_.MonotonicMs() + ms, std::move(callback)});
    return id;
  }
  void StopTimer(TimerId id) override { timers_.erase(id); }

  void Post(std::function<void()> call) override {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(call));
  }

  WatchId WatchReadable(NativeWaitHandle, std::function<void()> on_ready) override {
    const WatchId id = ++last_id_;
    watches_.emplace(id, std::move(on_ready));
    return id;
  }
  void StopWatching(WatchId id) override { watches_.erase(id); }

  // Runs the calls posted so far (and those they post); how many ran.
  int RunPosted() {
    int ran = 0;
    for (;;) {
      std::function<void()> call;
      {
        std::lock_guard lock(mutex_);
        if (posted_.empty()) return ran;
        call = std::move(posted_.front());
        posted_.pop_front();
      }
      call();
      ++ran;
    }
  }

  // Moves the clock forward `ms` milliseconds, one at a time, running every
  // timer as it falls due and the posted calls after each step.
  void Advance(std::int64_t ms) {
    RunPosted();
    for (std::int64_t i = 0; i < ms; ++i) {
      clock_.Advance(1);
      RunDue();
      RunPosted();
    }
  }

  // Calls the callbacks of every watch (a handle became readable).
  void SignalWatches() {
    std::vector<WatchId> ids;
    for (const auto& [id, call] : watches_) ids.push_back(id);
    for (const WatchId id : ids) {
      // A callback may have stopped a later watch.
      if (const auto found = watches_.find(id); found != watches_.end()) {
        const std::function<void()> call = found->second;
        call();
      }
    }
  }

  std::size_t TimerCount() const { return timers_.size(); }

private:
  struct Timer {
    std::int64_t period;
    std::int64_t due;
    std::function<void()> callback;
  };

  void RunDue() {
    const std::int64_t now = clock_.MonotonicMs();
    std::vector<TimerId> due;
    for (const auto& [id, timer] : timers_) {
      if (timer.due <= now) due.push_back(id);
    }
    for (const TimerId id : due) {
      // A callback may have stopped a later timer.
      const auto found = timers_.find(id);
      if (found == timers_.end()) continue;
      found->second.due = now + found->second.period;
      const std::function<void()> callback = found->second.callback;
      callback();
    }
  }

  FakeClock& clock_;
  TimerId last_id_ = 0;
  std::map<TimerId, Timer> timers_;
  std::map<WatchId, std::function<void()>> watches_;
  std::mutex mutex_;
  std::deque<std::function<void()>> posted_;
};

}  // namespace orvent

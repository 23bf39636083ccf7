#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "delivery/loop_dispatcher.h"

namespace orvent::test {

// Stands in for the window's event loop on the thread that runs it: the
// calls other threads post (the dispatcher's poster) and a periodic tick
// (`Timer2`) run there, in order, only while Run is running.
class WindowLoop {
public:
  explicit WindowLoop(std::chrono::milliseconds period)
      : period_(period), next_tick_(std::chrono::steady_clock::now() + period) {}

  // What each tick runs; set once what it needs exists.
  void SetTick(std::function<void()> tick) { tick_ = std::move(tick); }

  LoopDispatcher::Poster Poster() {
    return [this](std::function<void()> call) { Post(std::move(call)); };
  }

  void Post(std::function<void()> call) {
    {
      std::lock_guard lock(mutex_);
      calls_.push_back(std::move(call));
    }
    cv_.notify_one();
  }

  // Runs posted calls and ticks until `done` says so or `limit` has passed;
  // returns whether `done` said so. Ticks keep their absolute schedule, so a
  // slow one does not shift the ones after it. `done` is asked at least every
  // `poll`, as it may wait for something outside this loop.
  template <typename Done>
  bool RunUntil(Done done, std::chrono::steady_clock::duration limit,
                std::chrono::steady_clock::duration poll = std::chrono::milliseconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (done()) return true;
      const auto now = std::chrono::steady_clock::now();
      if (now > deadline) return false;
      if (now >= next_tick_) {
        next_tick_ += period_;
        // A loop that was not run for a while does not catch up tick by tick.
        if (next_tick_ < now) next_tick_ = now + period_;
        if (tick_) tick_();
        continue;
      }
      std::function<void()> call;
      {
        std::unique_lock lock(mutex_);
        cv_.wait_until(lock, std::min({next_tick_, deadline, now + poll}), [&] { return !calls_.empty(); });
        if (calls_.empty()) continue;
        call = std::move(calls_.front());
        calls_.pop_front();
      }
      call();
    }
  }

  // Runs the loop for `span` whatever happens.
  void RunFor(std::chrono::steady_clock::duration span) {
    RunUntil([] { return false; }, span);
  }

  std::thread::id ThreadId() const { return owner_; }

private:
  const std::chrono::milliseconds period_;
  std::function<void()> tick_;
  std::chrono::steady_clock::time_point next_tick_;
  const std::thread::id owner_ = std::this_thread::get_id();
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> calls_;
};

}  // namespace orvent::test

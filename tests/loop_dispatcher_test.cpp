#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "delivery/loop_dispatcher.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;

// A stand-in for the main thread: runs the calls posted to it, in order,
// and those still queued when it is told to end. A plain condition variable
// and flag: the Windows build's library can miss the wake-up of a wait that
// a stop token ends.
class MainThread {
public:
  MainThread() : thread_([this] { Loop(); }) {}
  ~MainThread() {
    {
      std::lock_guard lock(mutex_);
      ending_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }
  MainThread(const MainThread&) = delete;
  MainThread& operator=(const MainThread&) = delete;

  void Post(std::function<void()> call) {
    {
      std::lock_guard lock(mutex_);
      calls_.push_back(std::move(call));
    }
    cv_.notify_one();
  }
  std::thread::id Id() const { return thread_.get_id(); }

private:
  void Loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      cv_.wait(lock, [&] { return ending_ || !calls_.empty(); });
      if (calls_.empty()) return;
      auto call = std::move(calls_.front());
      calls_.pop_front();
      lock.unlock();
      call();
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> calls_;
  bool ending_ = false;  // guarded by mutex_
  std::thread thread_;
};

TEST(LoopDispatcher, RunsPostedCallsOnTheMainThreadInOrder) {
  std::vector<int> ran;
  std::thread::id ran_on;
  std::promise<void> last;
  {
    MainThread main;
    LoopDispatcher dispatcher([&](std::function<void()> call) { main.Post(std::move(call)); });
    std::thread worker([&] {
      for (int i = 0; i < 3; ++i) dispatcher.Post([&, i] { ran.push_back(i); });
      dispatcher.Post([&] {
        ran_on = std::this_thread::get_id();
        last.set_value();
      });
    });
    worker.join();
    ASSERT_EQ(last.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(ran_on, main.Id());
  }
  EXPECT_EQ(ran, (std::vector{0, 1, 2}));
}

TEST(LoopDispatcher, ShutdownSkipsCallsNotYetRunAndLaterOnes) {
  std::vector<std::function<void()>> parked;  // the main thread is busy elsewhere
  bool ran = false;
  std::optional<LoopDispatcher> dispatcher(std::in_place,
                                           [&](std::function<void()> call) { parked.push_back(std::move(call)); });
  dispatcher->Post([&] { ran = true; });
  dispatcher->BeginShutdown();
  dispatcher->Post([&] { ran = true; });
  ASSERT_EQ(parked.size(), 1u);
  parked[0]();  // the main thread gets to it late
  EXPECT_FALSE(ran);
  // Also a call whose dispatcher has gone is skipped: the station it
  // would reach has gone too.
  dispatcher.emplace([&](std::function<void()> call) { parked.push_back(std::move(call)); });
  dispatcher->Post([&] { ran = true; });
  dispatcher.reset();
  parked.back()();
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace orvent

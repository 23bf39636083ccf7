#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "delivery/loop_dispatcher.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;

// A stand-in for the window thread: runs the calls posted to it, in order,
// and those still queued when it is told to end. A plain condition variable
// and flag: the Windows build's library can miss the wake-up of a wait that
// a stop token ends.
class WindowThread {
public:
  WindowThread() : thread_([this] { Loop(); }) {}
  ~WindowThread() {
    {
      std::lock_guard lock(mutex_);
      ending_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }
  WindowThread(const WindowThread&) = delete;
  WindowThread& operator=(const WindowThread&) = delete;

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

TEST(LoopDispatcher, RunsTheCallOnTheWindowThreadAndWaitsForIt) {
  WindowThread window;
  LoopDispatcher dispatcher([&](std::function<void()> call) { window.Post(std::move(call)); });
  std::thread::id ran_on;
  bool finished = false;
  EXPECT_TRUE(dispatcher.RunAndWait([&] {
    std::this_thread::sleep_for(20ms);  // the caller must wait for the whole call
    ran_on = std::this_thread::get_id();
    finished = true;
  }));
  EXPECT_TRUE(finished);
  EXPECT_EQ(ran_on, window.Id());
  // A call that fails still releases its waiter, and its failure reaches it.
  EXPECT_THROW(dispatcher.RunAndWait([] { throw std::runtime_error("window failure"); }), std::runtime_error);
}

TEST(LoopDispatcher, ShutdownReleasesAWaiterAndSkipsCallsNotYetRun) {
  std::function<void()> parked;
  std::promise<void> posted;
  LoopDispatcher dispatcher([&](std::function<void()> call) {
    parked = std::move(call);  // the window thread is busy elsewhere
    posted.set_value();
  });
  bool ran = false;
  auto waiter = std::async(std::launch::async, [&] { return dispatcher.RunAndWait([&] { ran = true; }); });
  ASSERT_EQ(posted.get_future().wait_for(5s), std::future_status::ready);
  dispatcher.BeginShutdown();
  ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(waiter.get());
  parked();  // the window thread gets to it late
  EXPECT_FALSE(ran);
  EXPECT_FALSE(dispatcher.RunAndWait([&] { ran = true; }));
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace orvent

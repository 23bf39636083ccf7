// The watchdog's pings: they come while the server link's thread comes
// round, stop while it hangs, and come back when it does. The loop and its
// clock are fakes; the link thread is real.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "delivery/loop_dispatcher.h"
#include "delivery/server_link.h"
#include "platform/fake_clock.h"
#include "platform/manual_event_loop.h"
#include "station/service_watchdog.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;

constexpr auto kLimit = 10s;
constexpr std::chrono::microseconds kInterval = 1s;
constexpr std::int64_t kLookMs = 500;

// Holds the link thread inside its address outlet while closed, as a name
// lookup or a connect that never ends would.
class OutletGate {
public:
  // The thread's next visit stays inside.
  void Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  void Open() {
    {
      std::lock_guard lock(mutex_);
      closed_ = false;
      held_ = false;
    }
    changed_.notify_all();
  }
  // The outlet's visit. Bounded, so that a test that fails still ends.
  void Pass() {
    std::unique_lock lock(mutex_);
    if (!closed_) return;
    held_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, 30s, [this] { return !closed_; });
  }
  bool Holding() {
    std::lock_guard lock(mutex_);
    return held_;
  }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool closed_ = false;
  bool held_ = false;
};

class SilentObserver final : public LinkObserver {
public:
  void Report(const LinkReport&) override {}
  void PulseIndicator() override {}
};

class WatchdogTest : public ::testing::Test {
protected:
  WatchdogTest() {
    LinkOutlets outlets;
    // Port 0 fails each attempt at once, without the network.
    outlets.ReadServerAddress = [this] {
      gate_.Pass();
      return ServerAddress{"127.0.0.1", 0};
    };
    link_ = std::make_unique<ServerLink>(clock_, dispatcher_, observer_, LinkSettings{}, std::move(outlets));
  }
  ~WatchdogTest() override {
    watchdog_.reset();
    gate_.Open();
    link_->Stop();
  }

  void StartWatchdog() {
    watchdog_.emplace(loop_, *link_, kInterval, [this] { ++pings_; });
  }

  // Waits, in real time, until the link thread has answered question
  // `number` or is held in the gate.
  bool WaitAnsweredOrHeld(std::uint64_t number) {
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    while (link_->AliveAnswered() < number && !gate_.Holding()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

  // One look of the watchdog, after the link thread has had its chance to
  // answer: the questions so far are the first and one after each ping.
  void NextLook() {
    ASSERT_TRUE(WaitAnsweredOrHeld(static_cast<std::uint64_t>(pings_) + 1)) << "the link thread neither answered nor hung";
    loop_.Advance(kLookMs);
  }

  FakeClock clock_;
  ManualEventLoop loop_{clock_};
  LoopDispatcher dispatcher_{[this](std::function<void()> call) { loop_.Post(std::move(call)); }};
  SilentObserver observer_;
  OutletGate gate_;
  std::unique_ptr<ServerLink> link_;
  std::optional<ServiceWatchdog> watchdog_;
  int pings_ = 0;
};

TEST_F(WatchdogTest, LooksAtHalfTheInterval) {
  EXPECT_EQ(ServiceWatchdog::LookPeriod(std::chrono::seconds(90)), std::chrono::seconds(45));
  EXPECT_EQ(ServiceWatchdog::LookPeriod(kInterval), std::chrono::milliseconds(kLookMs));
  // An interval too short for the loop still gets a timer that runs.
  EXPECT_EQ(ServiceWatchdog::LookPeriod(std::chrono::microseconds(1)), std::chrono::milliseconds(1));
}

TEST_F(WatchdogTest, PingsWhileTheLinkThreadComesRoundAndStopsWhileItHangs) {
  link_->Start();
  StartWatchdog();
  for (int look = 1; look <= 4; ++look) {
    NextLook();
    EXPECT_EQ(pings_, look) << "a ping at each look while the thread answers";
  }

  // The thread's next connection attempt (once the reconnect pause has
  // passed on the fake clock) hangs in the outlet.
  gate_.Close();
  for (int look = 0; look < 20 && !gate_.Holding(); ++look) NextLook();
  ASSERT_TRUE(gate_.Holding()) << "the link thread made no new attempt";
  // The pass that hangs may have answered as it began: one more ping at most.
  NextLook();
  const int pings_when_hung = pings_;
  for (int look = 0; look < 10; ++look) NextLook();
  EXPECT_EQ(pings_, pings_when_hung) << "pings went on while the link thread hung";

  gate_.Open();
  NextLook();
  NextLook();
  EXPECT_EQ(pings_, pings_when_hung + 2) << "pings did not come back with the thread";
}

TEST_F(WatchdogTest, NoPingWhenTheLinkThreadHangsFromTheStart) {
  gate_.Close();
  link_->Start();
  ASSERT_TRUE(WaitAnsweredOrHeld(std::numeric_limits<std::uint64_t>::max()));
  StartWatchdog();
  for (int look = 0; look < 10; ++look) NextLook();
  EXPECT_EQ(pings_, 0);
}

}  // namespace
}  // namespace orvent

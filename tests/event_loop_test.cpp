#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/fake_clock.h"
#include "platform/poll_event_loop.h"
#include "support/loop_run.h"
#include "support/ready_handle.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;

using test::Joined;
using test::ReadyHandle;
using test::RunBounded;

// Moves the fake clock to each time in turn, one posted call a step: what is
// due at one time runs in the pass before the clock moves on. Quits after the
// last step.
class ClockSteps {
public:
  ClockSteps(PollEventLoop& loop, FakeClock& clock, std::vector<std::int64_t> times)
      : loop_(loop), clock_(clock), times_(std::move(times)) {
    loop_.Post([this] { Step(); });
  }

private:
  void Step() {
    if (next_ == times_.size()) {
      loop_.Quit();
      return;
    }
    const std::int64_t to = times_[next_++];
    if (to > clock_.MonotonicMs()) clock_.Advance(to - clock_.MonotonicMs());
    loop_.Post([this] { Step(); });
  }

  PollEventLoop& loop_;
  FakeClock& clock_;
  const std::vector<std::int64_t> times_;
  std::size_t next_ = 0;
};

// --- Timers: periods, order, no bursts --------------------------------------

struct TimerSetup {
  const char* name;
  std::int64_t period_ms;
  std::int64_t busy_ms;  // how long its callback takes, on the fake clock
};

struct TimerCase {
  const char* name;
  std::vector<TimerSetup> timers;  // started in this order at 0 ms
  std::vector<std::int64_t> steps;
  const char* expected;  // each call as name@the clock when it began
};

void PrintTo(const TimerCase& c, std::ostream* os) { *os << c.name; }

class TimerSchedule : public ::testing::TestWithParam<TimerCase> {};

TEST_P(TimerSchedule, RunsEachTimerAtItsTimesInOrder) {
  const TimerCase& c = GetParam();
  FakeClock clock;
  PollEventLoop loop(clock);
  std::vector<std::string> log;
  for (const TimerSetup& t : c.timers) {
    loop.StartTimer(std::chrono::milliseconds(t.period_ms), [&log, &clock, t] {
      log.push_back(std::string(t.name) + "@" + std::to_string(clock.MonotonicMs()));
      clock.Advance(t.busy_ms);
    });
  }
  ClockSteps steps(loop, clock, c.steps);
  EXPECT_FALSE(RunBounded(loop));
  EXPECT_EQ(Joined(log), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TimerSchedule,
    ::testing::Values(
        TimerCase{"OnePeriodAfterTheStartThenEveryPeriod", {{"A", 100, 0}}, {50, 99, 100, 150, 200, 300},
                  "A@100 A@200 A@300"},
        // Started B before A: the order of starting, not of names or ids.
        TimerCase{"DueTogetherInTheOrderStarted",
                  {{"B", 100, 0}, {"A", 100, 0}, {"C", 50, 0}},
                  {50, 100, 150, 200},
                  "C@50 B@100 A@100 C@100 C@150 B@200 A@200 C@200"},
        // After the jump to 125 each overdue timer runs once, the earlier due
        // (B, 80) first; both keep their phase: B at 140, A at 150.
        TimerCase{"AfterAJumpEachOnceEarliestFirstThenOnPhase",
                  {{"A", 30, 0}, {"B", 20, 0}},
                  {10, 20, 30, 40, 50, 60, 125, 140, 150},
                  "B@20 A@30 B@40 A@60 B@60 B@125 A@125 B@140 A@150"},
        // A's callback takes 250 ms: B, due at 100, runs late once; neither
        // makes up the periods that went by, and both keep their phase.
        TimerCase{"ALongCallbackIsNotMadeUpInABurst",
                  {{"A", 100, 250}, {"B", 100, 0}},
                  {100, 350, 400, 650, 700},
                  "A@100 B@350 A@400 B@650 A@700 B@950"},
        TimerCase{"ZeroPeriodCountsAsOneMillisecond", {{"A", 0, 0}}, {1, 2, 2, 5}, "A@1 A@2 A@5"}),
    [](const ::testing::TestParamInfo<TimerCase>& info_) { return std::string(info_.param.name); });

// --- Stopping inside callbacks ----------------------------------------------

enum class Stopper { kTimer, kWatch, kPost, kItself };
enum class Victim { kTimer, kWatch };

struct StopCase {
  const char* name;
  Stopper stopper;
  Victim victim;
  bool stops_victim;  // false: the control, which stops an id never given
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class StopInsideCallback : public ::testing::TestWithParam<StopCase> {};

// The stopper is set up before the victim, so that where both are due in the
// same pass the stopper runs first; the handle stays ready, so every watch is
// called at every pass. Timers run at 100, 200 and 300 ms.
TEST_P(StopInsideCallback, TheStoppedCallbackNeverRunsAgain) {
  const StopCase& c = GetParam();
  FakeClock clock;
  PollEventLoop loop(clock);
  ReadyHandle ready;
  ASSERT_TRUE(ready.Valid());
  ASSERT_TRUE(ready.MakeReady());
  std::vector<std::string> log;
  std::uint64_t victim_id = 0;
  const bool victim_is_watch = c.victim == Victim::kWatch;
  auto stop_victim = [&] {
    const std::uint64_t id = c.stops_victim ? victim_id : 999'999;
    if (victim_is_watch) {
      loop.StopWatching(id);
    } else {
      loop.StopTimer(id);
    }
  };
  bool stopped_once = false;
  auto stopper = [&] {
    if (stopped_once) return;
    stopped_once = true;
    stop_victim();
    log.push_back("stop");
  };
  switch (c.stopper) {
    case Stopper::kTimer: loop.StartTimer(100ms, stopper); break;
    case Stopper::kWatch: loop.WatchReadable(ready.Handle(), stopper); break;
    case Stopper::kPost: loop.Post(stopper); break;
    case Stopper::kItself: break;
  }
  // The label is read after the stop: a loop that destroyed the running
  // callback with its timer or watch would be caught reading freed memory.
  auto victim = [&, itself = c.stopper == Stopper::kItself, label = std::string("victim")] {
    if (itself && !stopped_once) {
      stopped_once = true;
      stop_victim();
      log.push_back("stop");
    }
    log.push_back(label);
  };
  victim_id = victim_is_watch ? loop.WatchReadable(ready.Handle(), victim) : loop.StartTimer(100ms, victim);
  ClockSteps steps(loop, clock, {100, 200, 300});
  EXPECT_FALSE(RunBounded(loop));

  std::size_t runs_after_stop = 0;
  bool seen_stop = false;
  for (const std::string& entry : log) {
    seen_stop = seen_stop || entry == "stop";
    if (seen_stop && entry == "victim") ++runs_after_stop;
  }
  ASSERT_TRUE(seen_stop) << Joined(log);
  if (c.stopper == Stopper::kItself) {
    // The run that stopped itself is the last.
    EXPECT_EQ(runs_after_stop, 1u) << Joined(log);
  } else if (c.stops_victim) {
    EXPECT_EQ(runs_after_stop, 0u) << Joined(log);
  } else {
    EXPECT_GE(runs_after_stop, 2u) << Joined(log);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StopInsideCallback,
    ::testing::Values(StopCase{"ControlStopOfAnUnknownTimerChangesNothing", Stopper::kTimer, Victim::kTimer, false},
                      StopCase{"ControlStopOfAnUnknownWatchChangesNothing", Stopper::kWatch, Victim::kWatch, false},
                      StopCase{"TimerStopsATimerDueInTheSamePass", Stopper::kTimer, Victim::kTimer, true},
                      StopCase{"TimerStopsAWatchReadyInTheSamePass", Stopper::kTimer, Victim::kWatch, true},
                      StopCase{"WatchStopsAWatchOfTheSameHandle", Stopper::kWatch, Victim::kWatch, true},
                      StopCase{"WatchStopsATimer", Stopper::kWatch, Victim::kTimer, true},
                      StopCase{"PostedCallStopsATimer", Stopper::kPost, Victim::kTimer, true},
                      StopCase{"PostedCallStopsAWatch", Stopper::kPost, Victim::kWatch, true},
                      StopCase{"TimerStopsItself", Stopper::kItself, Victim::kTimer, true},
                      StopCase{"WatchStopsItself", Stopper::kItself, Victim::kWatch, true}),
    [](const ::testing::TestParamInfo<StopCase>& info_) { return std::string(info_.param.name); });

// --- Posting ----------------------------------------------------------------

TEST(PollEventLoop, CallsPostedFromManyThreadsAllRunInEachThreadsOrder) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 2000;
  PollEventLoop loop;  // no timers: between posts it sleeps without limit
  const PollEventLoop::Poster poster = loop.MakePoster();
  std::vector<std::vector<int>> seen(kThreads);
  int total = 0;
  const std::thread::id loop_thread = std::this_thread::get_id();
  bool all_on_loop_thread = true;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kPerThread; ++i) {
          auto call = [&, t, i] {
            all_on_loop_thread = all_on_loop_thread && std::this_thread::get_id() == loop_thread;
            seen[static_cast<std::size_t>(t)].push_back(i);
            if (++total == kThreads * kPerThread) loop.Quit();
          };
          // Half the threads go through the loop, half through a poster.
          if (t % 2 == 0) {
            loop.Post(call);
          } else {
            poster(call);
          }
        }
      });
    }
    EXPECT_FALSE(RunBounded(loop, 20s));
  }
  EXPECT_TRUE(all_on_loop_thread);
  for (int t = 0; t < kThreads; ++t) {
    const std::vector<int>& got = seen[static_cast<std::size_t>(t)];
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kPerThread)) << "thread " << t;
    for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(got[static_cast<std::size_t>(i)], i) << "thread " << t;
  }
}

TEST(PollEventLoop, CallsPostedAfterQuitOrAfterTheLoopAreDroppedAndReleased) {
  // The token's count tells whether a dropped call's captures were let go.
  const auto token = std::make_shared<int>(0);
  bool ran = false;
  auto loop = std::make_unique<PollEventLoop>();
  const PollEventLoop::Poster poster = loop->MakePoster();
  loop->Post([&ran, token] { ran = true; });
  loop->Quit();
  loop->Post([&ran, token] { ran = true; });
  poster([&ran, token] { ran = true; });
  EXPECT_EQ(token.use_count(), 2) << "only the call queued before Quit is held";
  EXPECT_FALSE(RunBounded(*loop));
  EXPECT_FALSE(ran);
  EXPECT_EQ(token.use_count(), 1);
  loop.reset();
  poster([&ran, token] { ran = true; });
  EXPECT_FALSE(ran);
  EXPECT_EQ(token.use_count(), 1);
}

TEST(PollEventLoop, APosterRacingTheLoopsEndDropsItsCallsQuietly) {
  auto loop = std::make_unique<PollEventLoop>();
  const PollEventLoop::Poster poster = loop->MakePoster();
  std::atomic<bool> loop_gone{false};
  std::atomic<int> ran{0};
  std::jthread thread([&] {
    // Posts before, during and after the loop's end; stops a while after it.
    for (int after_end = 0; after_end < 1000;) {
      poster([&ran] { ++ran; });
      if (loop_gone) ++after_end;
    }
  });
  loop->Post([&] { loop->Quit(); });
  EXPECT_FALSE(RunBounded(*loop));
  loop.reset();
  loop_gone = true;
  thread.join();
  const int ran_at_the_end = ran;
  poster([&ran] { ++ran; });
  EXPECT_EQ(ran, ran_at_the_end);
}

// --- Quitting ---------------------------------------------------------------

TEST(PollEventLoop, QuitFromAnotherThreadWakesASleepingLoop) {
  PollEventLoop loop;
  loop.StartTimer(1h, [] {});
  std::promise<void> asleep;
  bool told = false;
  loop.SetWaitObserver([&](std::optional<std::chrono::milliseconds>) {
    if (!std::exchange(told, true)) asleep.set_value();
  });
  std::jthread quitter([&, sleeping = asleep.get_future()] {
    if (sleeping.wait_for(3s) == std::future_status::ready) loop.Quit();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(RunBounded(loop));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(PollEventLoop, QuitEndsRunAfterTheRunningCallbackAndForGood) {
  FakeClock clock;
  PollEventLoop loop(clock);
  std::vector<std::string> log;
  loop.StartTimer(100ms, [&] {
    log.push_back("A");
    loop.Quit();
    log.push_back("A after Quit");
  });
  loop.StartTimer(100ms, [&] { log.push_back("B"); });
  loop.Post([&] { log.push_back("posted"); });
  clock.Advance(100);
  EXPECT_FALSE(RunBounded(loop));
  EXPECT_EQ(Joined(log), "A A after Quit");
  // A later Run does nothing at all, even with timers due.
  clock.Advance(100);
  EXPECT_FALSE(RunBounded(loop));
  EXPECT_EQ(Joined(log), "A A after Quit");
}

// --- Idleness ---------------------------------------------------------------

// Each wait passes at once: the observer moves the fake clock by the time the
// loop means to sleep and posts an empty call to end the sleep. The waits are
// the loop's wake-ups: one a second with a 1 s timer, none without a timer.
TEST(PollEventLoop, SleepsUntilTheNextTickAndWithoutLimitWhenNothingIsDue) {
  FakeClock clock;
  PollEventLoop loop(clock);
  ReadyHandle idle;  // watched, never ready: it must not shorten a wait
  ASSERT_TRUE(idle.Valid());
  loop.WatchReadable(idle.Handle(), [] {});
  int ticks = 0;
  EventLoop::TimerId timer = 0;
  timer = loop.StartTimer(1s, [&] {
    if (++ticks == 3) loop.StopTimer(timer);
  });
  std::vector<std::string> waits;
  loop.SetWaitObserver([&](std::optional<std::chrono::milliseconds> longest) {
    waits.push_back(longest ? std::to_string(longest->count()) : "none");
    if (!longest) {
      loop.Quit();
      return;
    }
    clock.Advance(longest->count());
    loop.Post([] {});
  });
  EXPECT_FALSE(RunBounded(loop));
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(Joined(waits), "1000 1000 1000 none");
}

// On the real clock a timer costs one wait per tick: the loop does not wake
// early and spin through the rest of a millisecond.
TEST(PollEventLoop, OnTheSystemClockATimerCostsOneWakeUpPerTick) {
  PollEventLoop loop;
  int ticks = 0;
  int waits = 0;
  loop.StartTimer(20ms, [&] {
    if (++ticks == 5) loop.Quit();
  });
  loop.SetWaitObserver([&](std::optional<std::chrono::milliseconds>) { ++waits; });
  EXPECT_FALSE(RunBounded(loop));
  EXPECT_EQ(ticks, 5);
  EXPECT_EQ(waits, 5);
}

// --- A callback that throws -------------------------------------------------

enum class Thrower { kTimer, kWatch, kPost };

struct ThrowCase {
  const char* name;
  Thrower thrower;
  const char* expected;
};

void PrintTo(const ThrowCase& c, std::ostream* os) { *os << c.name; }

class CallbackThrows : public ::testing::TestWithParam<ThrowCase> {};

// The callback throws on its first call and is called again only when it is
// due again; the call posted before it must still run in the next Run, also
// when nothing else would wake that Run.
TEST_P(CallbackThrows, RunPassesItOnAndTheNextRunGoesOn) {
  const ThrowCase& c = GetParam();
  FakeClock clock;
  PollEventLoop loop(clock);
  ReadyHandle ready;
  ASSERT_TRUE(ready.Valid());
  ASSERT_TRUE(ready.MakeReady());
  std::vector<std::string> log;
  int calls = 0;
  auto thrower = [&] {
    if (++calls > 1) {
      log.push_back("again");
      return;
    }
    log.push_back("throw");
    throw std::runtime_error("callback failure");
  };
  switch (c.thrower) {
    case Thrower::kTimer: loop.StartTimer(1h, thrower); break;
    case Thrower::kWatch: loop.WatchReadable(ready.Handle(), thrower); break;
    case Thrower::kPost: loop.Post(thrower); break;
  }
  loop.Post([&] {
    log.push_back("after");
    loop.Quit();
  });
  clock.Advance(std::chrono::milliseconds(150min).count());
  EXPECT_THROW((void)RunBounded(loop), std::runtime_error);
  EXPECT_EQ(Joined(log), "throw");
  EXPECT_FALSE(RunBounded(loop));
  EXPECT_EQ(Joined(log), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CallbackThrows,
    ::testing::Values(
        // Due at 1 h, run at 2.5 h: its next time is 3 h, and the clock stays
        // put, so only the posted call's wake-up can end the next Run's wait.
        ThrowCase{"Timer", Thrower::kTimer, "throw after"},
        // The handle is still ready at the next pass.
        ThrowCase{"Watch", Thrower::kWatch, "throw again after"},
        ThrowCase{"PostedCall", Thrower::kPost, "throw after"}),
    [](const ::testing::TestParamInfo<ThrowCase>& info_) { return std::string(info_.param.name); });

}  // namespace
}  // namespace orvent

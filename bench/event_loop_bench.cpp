// The poll loop of orvent-service: what a call posted from another thread
// costs until it has run (with more or fewer timers for each pass to look
// at), how many such calls a second it runs, and the CPU of a loop that only
// has the station's 200 ms work to do.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/poll_event_loop.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;

// The loop on a thread of its own, as the service's main thread, until the
// benchmark is done with it.
class RunningLoop {
public:
  explicit RunningLoop(std::int64_t idle_timers) {
    // Timers that never come due in a benchmark's time: each pass still
    // looks at every one of them.
    for (std::int64_t i = 0; i < idle_timers; ++i) loop_.StartTimer(1h, [] {});
    runner_ = std::thread([this] { (void)loop_.Run(); });
  }
  ~RunningLoop() {
    loop_.Quit();
    runner_.join();
  }
  RunningLoop(const RunningLoop&) = delete;
  RunningLoop& operator=(const RunningLoop&) = delete;

  PollEventLoop& loop() { return loop_; }

private:
  PollEventLoop loop_;
  std::thread runner_;
};

// One call at a time, as the link thread posts a status line: from the post
// to the end of its run, the loop's wake-up included.
void BM_PostedCallToItsRun(benchmark::State& state) {
  RunningLoop running(state.range(0));
  std::atomic<std::uint64_t> ran{0};
  std::uint64_t posted = 0;
  for (auto _ : state) {
    running.loop().Post([&ran] { ran.fetch_add(1, std::memory_order_release); });
    ++posted;
    while (ran.load(std::memory_order_acquire) != posted) {
    }
  }
}
BENCHMARK(BM_PostedCallToItsRun)->ArgName("timers")->Arg(0)->Arg(8)->Arg(64)->UseRealTime();

// Calls posted as fast as a thread can: the loop takes them in batches, one
// wake-up for all that were queued meanwhile.
void BM_PostedBurst(benchmark::State& state) {
  constexpr std::uint64_t kBurst = 1000;
  RunningLoop running(0);
  std::atomic<std::uint64_t> ran{0};
  std::uint64_t posted = 0;
  for (auto _ : state) {
    for (std::uint64_t i = 0; i < kBurst; ++i) running.loop().Post([&ran] { ran.fetch_add(1, std::memory_order_release); });
    posted += kBurst;
    while (ran.load(std::memory_order_acquire) != posted) {
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(posted));
}
BENCHMARK(BM_PostedBurst)->UseRealTime();

// One second of a loop whose only work is a 200 ms tick: the CPU column is
// the process's CPU for that second, which must stay near nothing.
void BM_IdleSecondWith200msTick(benchmark::State& state) {
  for (auto _ : state) {
    PollEventLoop loop;
    int ticks = 0;
    loop.StartTimer(200ms, [&] {
      if (++ticks == 5) loop.Quit();
    });
    (void)loop.Run();
  }
}
BENCHMARK(BM_IdleSecondWith200msTick)->Iterations(3)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace orvent

BENCHMARK_MAIN();

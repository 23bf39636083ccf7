#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/poll_event_loop.h"

namespace orvent::test {

// Runs the loop until it quits. One still running after `limit` is made to
// quit and fails the test; one that does not even quit then ends the program,
// so that no fault leaves a test hanging. The watchdog waits on a plain
// condition variable: the Windows build's library can miss the wake-up of a
// wait that a stop token ends.
inline std::error_code RunBounded(PollEventLoop& loop, std::chrono::milliseconds limit = std::chrono::seconds(3)) {
  std::mutex mutex;
  std::condition_variable changed;
  bool returned = false;   // guarded by mutex
  bool timed_out = false;  // guarded by mutex
  std::thread watchdog([&] {
    std::unique_lock lock(mutex);
    if (changed.wait_for(lock, limit, [&] { return returned; })) return;
    timed_out = true;
    loop.Quit();
    if (changed.wait_for(lock, std::chrono::seconds(2), [&] { return returned; })) return;
    std::fputs("the loop did not quit when told to\n", stderr);
    std::abort();
  });
  // Ends the watchdog however Run ends, a callback's exception included.
  struct EndWatchdog {
    std::mutex& mutex;
    std::condition_variable& changed;
    bool& returned;
    std::thread& watchdog;
    ~EndWatchdog() {
      {
        std::lock_guard lock(mutex);
        returned = true;
      }
      changed.notify_all();
      watchdog.join();
    }
  };
  std::error_code result;
  {
    const EndWatchdog end{mutex, changed, returned, watchdog};
    result = loop.Run();
  }
  EXPECT_FALSE(timed_out) << "the loop did not quit by itself within " << limit.count() << " ms";
  return result;
}

inline std::string Joined(const std::vector<std::string>& log) {
  std::string out;
  for (const std::string& entry : log) out += (out.empty() ? "" : " ") + entry;
  return out;
}

}  // namespace orvent::test

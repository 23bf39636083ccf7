#pragma once

#include <chrono>
#include <thread>

#include "platform/manual_timer.h"

namespace orvent::test {

// Ticks a manual timer at its period on the real clock, on the calling
// thread (as a window's event loop would), until `done` says so or the
// deadline passes. Ticks are scheduled on absolute times, so a slow tick
// does not shift the ones after it. Returns whether `done` said so.
template <typename Done>
bool RunTimer(ManualTimer& timer, std::chrono::steady_clock::time_point deadline, Done done) {
  auto next = std::chrono::steady_clock::now();
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    next += std::chrono::milliseconds(timer.Running() ? timer.PeriodMs() : 1);
    std::this_thread::sleep_until(next);
    timer.Fire();
  }
  return true;
}

}  // namespace orvent::test

#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <utility>

#include "platform/fake_clock.h"

namespace orvent::test {

// Runs `call`, which blocks until `clock` passes some limit, on a thread of
// its own, and moves the clock on by `step_ms` every millisecond of real time
// until it returns; gives back what it returned. The blocked side reads the
// clock only now and then, so the clock overshoots the limit by some steps:
// callers check outcomes, not the exact moment. A call still blocked after
// `limit` of real time fails the test and ends the program, as the thread
// running it cannot be taken back.
template <typename Call>
auto WhileTimeMoves(FakeClock& clock, Call&& call, std::int64_t step_ms = 10,
                    std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  auto done = std::async(std::launch::async, std::forward<Call>(call));
  const auto give_up = std::chrono::steady_clock::now() + limit;
  while (done.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
    if (std::chrono::steady_clock::now() > give_up) {
      ADD_FAILURE() << "the call did not return while the clock moved";
      std::fflush(nullptr);
      std::_Exit(1);
    }
    clock.Advance(step_ms);
  }
  return done.get();
}

}  // namespace orvent::test

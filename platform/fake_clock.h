#pragma once

#include <atomic>
#include <cstdint>

#include "platform/clock.h"

namespace orvent {

// A clock that moves only when told to. Safe to read from several threads,
// so a link thread under test can share it with the test body.
class FakeClock final : public Clock {
public:
  explicit FakeClock(const CivilTime& start = CivilTime{2011, 9, 6, 14, 30, 0, 250})
      : wall_ms_(MsFromCivil(start)) {}

  TDateTime Now() const override { return DateTimeFromMs(wall_ms_.load()); }
  std::int64_t MonotonicMs() const override { return mono_ms_.load(); }
  std::uint32_t TickCount() const override {
    return static_cast<std::uint32_t>(tick_base_.load() + static_cast<std::uint64_t>(mono_ms_.load()));
  }

  // Moves all three clocks forward together.
  void Advance(std::int64_t ms) {
    wall_ms_ += ms;
    mono_ms_ += ms;
  }
  // Sets the wall clock alone, as an operator changing the system time would.
  void SetWall(const CivilTime& t) { wall_ms_ = MsFromCivil(t); }
  void SetWallMs(std::int64_t ms) { wall_ms_ = ms; }
  std::int64_t WallMs() const { return wall_ms_.load(); }
  // Places the 32-bit tick so that it reads `tick` now.
  void SetTick(std::uint32_t tick) {
    tick_base_ = static_cast<std::uint64_t>(tick) - static_cast<std::uint64_t>(mono_ms_.load());
  }

private:
  std::atomic<std::int64_t> wall_ms_;
  std::atomic<std::int64_t> mono_ms_{0};
  std::atomic<std::uint64_t> tick_base_{0};
};

}  // namespace orvent

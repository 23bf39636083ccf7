#pragma once

#include <cstdint>
#include <functional>

namespace orvent {

// A periodic callback on the owner's thread: a window timer in the program,
// a manual tick in tests. Start replaces any running period and callback;
// Stop ends them. The callback never runs after Stop returns.
class PeriodicTimer {
public:
  virtual ~PeriodicTimer() = default;

  virtual void Start(std::uint32_t period_ms, std::function<void()> callback) = 0;
  virtual void Stop() = 0;
};

}  // namespace orvent

#include <windows.h>

#include "platform/clock.h"

namespace orvent {
namespace {

// Counts per second of the performance counter; fixed at boot.
std::int64_t CounterFrequency() {
  static const std::int64_t frequency = [] {
    LARGE_INTEGER f{};
    ::QueryPerformanceFrequency(&f);
    return static_cast<std::int64_t>(f.QuadPart);
  }();
  return frequency;
}

}  // namespace

TDateTime SystemClock::Now() const {
  // The record carries local time: the receiver's operators read it against
  // the wall clock of the monitoring station.
  SYSTEMTIME local{};
  ::GetLocalTime(&local);
  const CivilTime t{local.wYear,   local.wMonth,  local.wDay,         local.wHour,
                    local.wMinute, local.wSecond, local.wMilliseconds};
  return EncodeDateTime(t);
}

std::int64_t SystemClock::MonotonicMs() const {
  // The performance counter, not GetTickCount64: the tick moves in steps of
  // about 16 ms, too coarse for the packet time-out.
  LARGE_INTEGER now{};
  ::QueryPerformanceCounter(&now);
  const std::int64_t frequency = CounterFrequency();
  const std::int64_t counts = now.QuadPart;
  return counts / frequency * 1000 + counts % frequency * 1000 / frequency;
}

std::uint32_t SystemClock::TickCount() const { return static_cast<std::uint32_t>(MonotonicMs()); }

}  // namespace orvent

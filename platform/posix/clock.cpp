#include <ctime>

#include "platform/clock.h"

namespace orvent {

TDateTime SystemClock::Now() const {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  // The record carries local time: the receiver's operators read it against
  // the wall clock of the monitoring station.
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  const CivilTime t{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                    local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec,
                    static_cast<int>(ts.tv_nsec / 1'000'000)};
  return EncodeDateTime(t);
}

std::int64_t SystemClock::MonotonicMs() const {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

std::uint32_t SystemClock::TickCount() const {
  return static_cast<std::uint32_t>(MonotonicMs());
}

}  // namespace orvent

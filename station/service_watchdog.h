#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "delivery/server_link.h"
#include "platform/event_loop.h"

namespace orvent {

// Feeds the service manager's watchdog while both threads that carry alarms
// come round: the loop's, which runs this, and the server link's. Every
// half watchdog interval it looks whether the link thread has answered the
// question asked at the last look; only then does it ping and ask again. A
// thread that hangs stops the pings, and the manager restarts the driver.
// The link thread may block for a name lookup, a connect time-out or a
// reply deadline; half the interval must leave it that much (the unit's
// 90 s leave it 45).
//
// Runs on the loop's thread; the link must outlive it.
class ServiceWatchdog {
public:
  // `ping` tells the manager that the program is alive.
  ServiceWatchdog(EventLoop& loop, ServerLink& link, std::chrono::microseconds interval, std::function<void()> ping);
  ~ServiceWatchdog();
  ServiceWatchdog(const ServiceWatchdog&) = delete;
  ServiceWatchdog& operator=(const ServiceWatchdog&) = delete;

  // How often it looks for an interval: half of it, at least a millisecond.
  static std::chrono::milliseconds LookPeriod(std::chrono::microseconds interval);

private:
  void Look();

  EventLoop& loop_;
  ServerLink& link_;
  const std::function<void()> ping_;
  std::uint64_t question_ = 0;
  EventLoop::TimerId timer_ = 0;
};

}  // namespace orvent

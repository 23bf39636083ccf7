#include "station/service_watchdog.h"

#include <algorithm>
#include <utility>

namespace orvent {

ServiceWatchdog::ServiceWatchdog(EventLoop& loop, ServerLink& link, std::chrono::microseconds interval,
                                 std::function<void()> ping)
    : loop_(loop), link_(link), ping_(std::move(ping)), question_(link.AskAlive()) {
  timer_ = loop_.StartTimer(LookPeriod(interval), [this] { Look(); });
}

ServiceWatchdog::~ServiceWatchdog() { loop_.StopTimer(timer_); }

std::chrono::milliseconds ServiceWatchdog::LookPeriod(std::chrono::microseconds interval) {
  return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(interval / 2), std::chrono::milliseconds(1));
}

void ServiceWatchdog::Look() {
  // The question stands until it is answered: each ping says that the link
  // thread came round since the one before.
  if (link_.AliveAnswered() < question_) return;
  ping_();
  question_ = link_.AskAlive();
}

}  // namespace orvent

// End-to-end figures of the server link, printed:
//  - a live event from PostLiveEvent to the server's receipt, over loopback
//    with an accepted link (an in-process server takes the time of receipt);
//  - the CPU that an idle accepted link (keep-alives only) costs, against
//    msgserver-sim as a separate process.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "delivery/server_link.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback_server.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;
using Clock_ = std::chrono::steady_clock;

class NullWindow : public LinkWindow {
public:
  void ShowStatus(const std::string&) override {}
  void PulseIndicator() override {}
};

LinkOutlets Outlets(std::uint16_t port) {
  LinkOutlets o;
  o.ReadServerAddress = [port] { return ServerAddress{"127.0.0.1", port}; };
  o.CurrentPortState = [] { return PortState{"COM1", true}; };
  return o;
}

bool WaitAccepted(const cl& link, std::chrono::seconds limit) {
  const auto deadline = Clock_::now() + limit;
  while (!(link.LinkUp() && link.Accepted())) {
    if (Clock_::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int Latency() {
  constexpr int kEvents = 2000;
  std::mutex mutex;
  std::condition_variable received_cv;
  std::vector<Clock_::time_point> received(kEvents);
  std::vector<bool> seen(kEvents, false);
  test::ScriptedServer server([&](const test::ReceivedMessage& m) {
    if (m.Command == cmd_event && m.Payload.size() == 20) {
      const auto now = Clock_::now();
      const int n = m.Payload[0] | (m.Payload[1] << 8);
      std::lock_guard lock(mutex);
      if (n < kEvents) {
        received[static_cast<std::size_t>(n)] = now;
        seen[static_cast<std::size_t>(n)] = true;
      }
      received_cv.notify_all();
    }
    return test::Behaving(m);
  });
  SystemClock clock;
  NullWindow window;
  WindowDispatcher dispatcher([](std::function<void()> call) { call(); });
  cl link(clock, dispatcher, window, LinkSettings{}, Outlets(server.Port()));
  link.Start();
  if (!WaitAccepted(link, 10s)) {
    std::printf("link latency: the link was not accepted\n");
    return 1;
  }
  std::mt19937 random(1);
  std::vector<double> ms;
  for (int i = 0; i < kEvents; ++i) {
    // Events come at any moment relative to the keep-alives.
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    SoobBytes record{};
    record[0] = static_cast<std::uint8_t>(i);
    record[1] = static_cast<std::uint8_t>(i >> 8);
    const auto start = Clock_::now();
    if (!link.PostLiveEvent(record)) return 1;
    std::unique_lock lock(mutex);
    if (!received_cv.wait_for(lock, 2s, [&] { return seen[static_cast<std::size_t>(i)]; })) {
      std::printf("link latency: event %d never arrived\n", i);
      return 1;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(received[static_cast<std::size_t>(i)] - start).count());
  }
  link.Stop();
  std::sort(ms.begin(), ms.end());
  auto at = [&](double q) { return ms[static_cast<std::size_t>(q * static_cast<double>(ms.size() - 1))]; };
  std::printf("live event PostLiveEvent -> server receipt, %d events over loopback: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
              kEvents, at(0.50), at(0.99), ms.back());
  return 0;
}

int IdleCpu() {
  constexpr auto kWindow = 10s;
  test::MsgServerSim sim({});
  SystemClock clock;
  NullWindow window;
  WindowDispatcher dispatcher([](std::function<void()> call) { call(); });
  cl link(clock, dispatcher, window, LinkSettings{}, Outlets(sim.Port()));
  link.Start();
  if (!WaitAccepted(link, 10s)) {
    std::printf("idle link: the link was not accepted\n");
    return 1;
  }
  std::this_thread::sleep_for(1s);  // the handshake is over
  const double cpu0 = CpuSeconds();
  const auto t0 = Clock_::now();
  std::this_thread::sleep_for(kWindow);
  const double cpu = CpuSeconds() - cpu0;
  const double wall = std::chrono::duration<double>(Clock_::now() - t0).count();
  int keepalives = 0;
  while (const auto line = sim.ReadLine(100ms)) keepalives += line->rfind("cmd_keepalive", 0) == 0;
  link.Stop();
  std::printf("idle accepted link: %.3f %% of one core over %.0f s (%d keep-alives seen by the server)\n",
              100.0 * cpu / wall, wall, keepalives);
  return 0;
}

}  // namespace
}  // namespace orvent

int main() {
  if (const int rc = orvent::Latency()) return rc;
  return orvent::IdleCpu();
}

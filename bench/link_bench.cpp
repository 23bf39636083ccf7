// End-to-end figures of the server link, printed:
//  - a record from an outbox in memory to the server's receipt, over
//    loopback with an accepted link (an in-process server takes the time of
//    receipt): the link's own share;
//  - a record from EventSpool::StoreEvent on the main thread, with the
//    spool and the link wired as in the program: from the call, and from
//    its return (the moment the receiver's ACK goes out) to the receipt;
//  - the CPU that an idle accepted link (keep-alives only) costs, against
//    msgserver-sim as a separate process.

#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "delivery/server_link.h"
#include "delivery/spool.h"
#include "platform/files.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_outbox.h"
#include "tests/support/loopback_server.h"
#include "tests/support/percentile.h"
#include "tests/support/temp_dir.h"
#include "tests/support/window_loop.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;
using Clock_ = std::chrono::steady_clock;

class NullWindow : public LinkObserver {
public:
  void Report(const LinkReport&) override {}
  void PulseIndicator() override {}
};

LinkOutlets Outlets(std::uint16_t port, EventOutbox* outbox = nullptr) {
  LinkOutlets o;
  o.Outbox = outbox;
  o.ReadServerAddress = [port] { return ServerAddress{"127.0.0.1", port}; };
  o.CurrentPortState = [] { return PortState{"COM1", true}; };
  return o;
}

bool WaitAccepted(const ServerLink& link, std::chrono::seconds limit) {
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

void PrintPercentiles(const char* what, const std::vector<double>& ms) {
  std::printf("%s, %zu events over loopback: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", what, ms.size(),
              test::Percentile(ms, 0.50), test::Percentile(ms, 0.99), test::Percentile(ms, 1.0));
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
  LoopDispatcher dispatcher([](std::function<void()> call) { call(); });
  test::FakeOutbox outbox;
  ServerLink link(clock, dispatcher, window, LinkSettings{}, Outlets(server.Port(), &outbox));
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
    outbox.Add(record);
    link.Wake();
    std::unique_lock lock(mutex);
    if (!received_cv.wait_for(lock, 2s, [&] { return seen[static_cast<std::size_t>(i)]; })) {
      std::printf("link latency: event %d never arrived\n", i);
      return 1;
    }
    ms.push_back(std::chrono::duration<double, std::milli>(received[static_cast<std::size_t>(i)] - start).count());
  }
  link.Stop();
  PrintPercentiles("record in the outbox -> server receipt", std::move(ms));
  return 0;
}

// Receipt times of the events numbered 0..count-1 (in their first two bytes),
// as an in-process server sees them.
class Receipts {
public:
  explicit Receipts(int count) : received_(static_cast<std::size_t>(count)), seen_(static_cast<std::size_t>(count)) {}
  void Take(const test::ReceivedMessage& m) {
    if (m.Command != cmd_event || m.Payload.size() != stru_soob::kSize) return;
    const auto now = Clock_::now();
    const auto n = static_cast<std::size_t>(m.Payload[0] | (m.Payload[1] << 8));
    std::lock_guard lock(mutex_);
    if (n < seen_.size() && !seen_[n]) {
      received_[n] = now;
      seen_[n] = true;
    }
  }
  std::optional<Clock_::time_point> Of(int n) const {
    std::lock_guard lock(mutex_);
    if (!seen_[static_cast<std::size_t>(n)]) return std::nullopt;
    return received_[static_cast<std::size_t>(n)];
  }

private:
  mutable std::mutex mutex_;
  std::vector<Clock_::time_point> received_;
  std::vector<bool> seen_;
};

int StoreEventLatency() {
  constexpr int kEvents = 2000;
  Receipts receipts(kEvents);
  test::ScriptedServer server([&](const test::ReceivedMessage& m) {
    receipts.Take(m);
    return test::Behaving(m);
  });
  const test::TempDir temp;
  const std::string folder = temp.Prefix();

  // This thread is the main thread: it runs the link's main-thread calls and
  // the 200 ms tick between events, as the window's event loop would.
  SystemClock clock;
  NullWindow window;
  test::WindowLoop loop(200ms);
  LoopDispatcher dispatcher(loop.Poster());
  EventSpool spool(folder, clock, {});
  int rc = 0;
  {
    ServerLink link(clock, dispatcher, window, LinkSettings{}, Outlets(server.Port(), &spool));
    spool.AttachWake([&link] { link.Wake(); });
    loop.SetTick([&] { spool.CheckStep(); });
    link.Start();
    if (!loop.RunUntil([&] { return link.LinkUp() && link.Accepted(); }, 10s)) {
      std::printf("StoreEvent latency: the link was not accepted\n");
      rc = 1;
    }
    std::mt19937 random(1);
    std::vector<double> from_call;
    std::vector<double> from_ack;
    for (int i = 0; i < kEvents && rc == 0; ++i) {
      // Events come at any moment relative to the keep-alives and the ticks.
      loop.RunFor(std::chrono::microseconds(random() % 3000));
      SoobBytes record{};
      record[0] = static_cast<std::uint8_t>(i);
      record[1] = static_cast<std::uint8_t>(i >> 8);
      const auto start = Clock_::now();
      if (!spool.StoreEvent(record)) rc = 1;
      const auto acknowledged = Clock_::now();
      if (!loop.RunUntil([&] { return receipts.Of(i).has_value(); }, 2s, 1ms)) {
        std::printf("StoreEvent latency: event %d never arrived\n", i);
        rc = 1;
        break;
      }
      from_call.push_back(std::chrono::duration<double, std::milli>(*receipts.Of(i) - start).count());
      from_ack.push_back(std::chrono::duration<double, std::milli>(*receipts.Of(i) - acknowledged).count());
    }
    // The acknowledgement of the last one may still be on its way.
    loop.RunUntil([&] { return spool.WaitingCount() == 0; }, 2s);
    link.Stop();
    spool.Close();
    spool.EmitReports();
    if (rc == 0) {
      PrintPercentiles("record StoreEvent -> server receipt", from_call);
      PrintPercentiles("record after its ACK (StoreEvent returned) -> server receipt", from_ack);
    }
  }
  // Every file went with its acknowledgement.
  const std::size_t left = ListMatches(folder, kSpoolFileSuffix).value_or(std::vector<std::string>{}).size();
  std::printf("spool files left: %zu\n", left);
  return left == 0 ? rc : 1;
}

int IdleCpu() {
  constexpr auto kWindow = 10s;
  test::MsgServerSim sim({});
  SystemClock clock;
  NullWindow window;
  LoopDispatcher dispatcher([](std::function<void()> call) { call(); });
  ServerLink link(clock, dispatcher, window, LinkSettings{}, Outlets(sim.Port()));
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
  if (const int rc = orvent::StoreEventLatency()) return rc;
  return orvent::IdleCpu();
}

// Draining a full spool into msgserver-sim, printed: the link thread and the
// spool wired as in the program, the server answering at once, so that its
// answers set the pace. The spool files are written first through a spool
// with no link, as during an outage; a second spool, as after a restart,
// indexes them and sends them.
//
//   spool_drain_bench [--files N]     (N defaults to 10,000; at least 300
//                                      files a second is the target)

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "common/parse_int.h"
#include "delivery/server_link.h"
#include "delivery/spool.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "tests/support/child_process.h"
#include "tests/support/sample_records.h"
#include "tests/support/window_loop.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

constexpr auto kTickPeriod = 200ms;
constexpr double kTargetFilesPerSecond = 300;

class NullWindow : public LinkObserver {
public:
  void Report(const LinkReport&) override {}
  void PulseIndicator() override {}
};


SoobBytes Record(int n) { return Serialize(test::SampleSoob(n)); }

double Seconds(Steady::duration d) { return std::chrono::duration<double>(d).count(); }

// The distinct event numbers below `limit` in msgserver-sim's event log.
std::size_t DistinctNumbers(const std::string& events_file, int limit) {
  std::ifstream in(events_file);
  std::set<long> numbers;
  std::string line;
  const std::string key = "\"number\":";
  while (std::getline(in, line)) {
    const auto at = line.find(key);
    if (at == std::string::npos) continue;
    const long n = std::strtol(line.c_str() + at + key.size(), nullptr, 10);
    if (n >= 0 && n < limit) numbers.insert(n);
  }
  return numbers.size();
}

int Drain(int files) {
  test::TempDir folder;
  SystemClock clock;
  test::WindowLoop loop(kTickPeriod);
  LoopDispatcher dispatcher(loop.Poster());
  NullWindow window;

  const auto write_start = Steady::now();
  {
    EventSpool outage(folder.Prefix(), clock, {});
    for (int i = 0; i < files; ++i) {
      if (!outage.StoreEvent(Record(i))) return 1;
    }
  }
  const auto written = Steady::now() - write_start;
  const std::size_t on_disk = ListMatches(folder.Prefix(), kSpoolFileSuffix).value_or(std::vector<std::string>{}).size();
  std::printf("wrote %zu spool files in %.2f s (%.3f ms per file)\n", on_disk, Seconds(written),
              1000.0 * Seconds(written) / files);
  if (on_disk != static_cast<std::size_t>(files)) {
    std::printf("expected %d spool files\n", files);
    return 1;
  }

  const std::string events_file = folder.Prefix() + "events.jsonl";
  test::MsgServerSim sim({"--events", events_file});
  // The simulator prints a line per frame; a full pipe would stall it.
  std::atomic<bool> reading{true};
  std::atomic<int> event_lines{0};
  std::atomic<bool> sim_ended{false};
  std::thread reader([&] {
    while (reading && !sim_ended) {
      if (const auto line = sim.ReadLine(100ms); line && line->rfind("cmd_event ", 0) == 0) ++event_lines;
      sim_ended = sim.Process().OutputEnded();
    }
  });

  EventSpool spool(folder.Prefix(), clock, {});
  LinkOutlets outlets;
  outlets.ReadServerAddress = [port = sim.Port()] { return ServerAddress{"127.0.0.1", port}; };
  outlets.CurrentPortState = [] { return PortState{"COM1", true}; };
  outlets.Outbox = &spool;
  ServerLink link(clock, dispatcher, window, LinkSettings{}, outlets);
  spool.AttachWake([&link] { link.Wake(); });
  spool.StartScanner();
  loop.SetTick([&] { spool.CheckStep(); });

  const auto start = Steady::now();
  link.Start();
  bool accepted_seen = false;
  Steady::duration accepted_after{};
  // Far more than the target needs.
  const auto limit = std::chrono::milliseconds(files * 10) + 30s;
  loop.RunUntil(
      [&] {
        if (sim_ended) return true;
        if (!accepted_seen && link.Accepted()) {
          accepted_seen = true;
          accepted_after = Steady::now() - start;
        }
        return accepted_seen && spool.WaitingCount() == 0 &&
               ListMatches(folder.Prefix(), kSpoolFileSuffix).value_or(std::vector<std::string>{}).empty();
      },
      limit, 20ms);
  const auto took = Steady::now() - start;
  link.Stop();
  spool.Close();
  spool.EmitReports();
  reading = false;
  reader.join();

  const std::size_t left = ListMatches(folder.Prefix(), kSpoolFileSuffix).value_or(std::vector<std::string>{}).size();
  const std::size_t distinct = DistinctNumbers(events_file, files);
  const double rate = (files - static_cast<double>(left)) / Seconds(took - accepted_after);
  std::printf("drained %d spool files into msgserver-sim in %.2f s after the acceptance: %.1f files/s "
              "(target at least %.0f; link accepted after %.0f ms)\n",
              files - static_cast<int>(left), Seconds(took - accepted_after), rate, kTargetFilesPerSecond,
              1000.0 * Seconds(accepted_after));
  std::printf("server received %d event frames, %zu distinct records of %d; %zu spool files left\n",
              event_lines.load(), distinct, files, left);
  if (sim_ended) std::printf("msgserver-sim ended before the spool was drained\n");
  return left == 0 && distinct == static_cast<std::size_t>(files) ? 0 : 1;
}

}  // namespace
}  // namespace orvent

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // lines in order with the simulator's
  int files = 10000;
  for (int i = 1; i < argc; ++i) {
    const auto n = i + 1 < argc && std::strcmp(argv[i], "--files") == 0 ? orvent::TryParseInt(argv[++i])
                                                                         : std::nullopt;
    if (!n || *n < 1) {
      std::fputs("usage: spool_drain_bench [--files N]\n", stderr);
      return 2;
    }
    files = *n;
  }
  return orvent::Drain(files);
}

// The spool's two costs on the window thread: one replay step with a large
// spool folder, and one spooled record (temporary file, flush, move).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "delivery/commands.h"
#include "delivery/spool.h"
#include "platform/fake_clock.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

constexpr SoobBytes kRecord = {0x22, 0xC8, 0x00, 0x00, 0x03, 0x30, 0x31, 0x35, 0x00, 0x01,
                               0x01, 0xC7, 0x66, 0x5B, 0x55, 0x13, 0xEB, 0xE3, 0x40, 0x21};
constexpr int kFolderFiles = 100'000;

class BenchLink final : public SpoolLinkView {
public:
  bool LinkUp() const override { return up; }
  bool Accepted() const override { return true; }
  bool PostSpoolFrame(std::uint32_t, std::span<const std::uint8_t>, const std::string&) override { return true; }
  bool PostLiveEvent(const SoobBytes&) override { return true; }
  bool up = true;
};


// One folder of 100,000 spool files, made once for all replay benchmarks.
const test::TempDir& FullFolder() {
  static const test::TempDir folder;
  static const bool filled = [] {
    const SpoolFileBytes bytes = MakeSpoolFileBytes(kRecord);
    for (int i = 0; i < kFolderFiles; ++i) {
      std::ofstream(folder.Prefix() + SpoolNameText(0x5265C00u + static_cast<std::uint32_t>(i)) + ".dd8",
                    std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    return true;
  }();
  (void)filled;
  return folder;
}

// Times each tick on its own as well, so the slowest one is printed too.
template <typename Tick>
void RunTicks(benchmark::State& state, Tick tick) {
  double worst_us = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    tick();
    const std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - start;
    worst_us = std::max(worst_us, took.count());
  }
  state.counters["worst_us"] = worst_us;
}

// The same first file goes out again at every tick: search, read, queue.
void BM_ReplayStepSends_100kFiles(benchmark::State& state) {
  const test::TempDir& folder = FullFolder();
  FakeClock clock;
  BenchLink link;
  EventSpool spool(folder.Prefix(), clock, &link, {});
  RunTicks(state, [&] {
    clock.Advance(EventSpool::kResendMs + 1);
    spool.ReplayStep();
  });
}
BENCHMARK(BM_ReplayStepSends_100kFiles)->Unit(benchmark::kMicrosecond);

// A file in flight and no acknowledgement yet: the search alone.
void BM_ReplayStepWaits_100kFiles(benchmark::State& state) {
  const test::TempDir& folder = FullFolder();
  FakeClock clock;
  BenchLink link;
  EventSpool spool(folder.Prefix(), clock, &link, {});
  spool.ReplayStep();
  RunTicks(state, [&] { spool.ReplayStep(); });
}
BENCHMARK(BM_ReplayStepWaits_100kFiles)->Unit(benchmark::kMicrosecond);

// Draining: every tick deletes the acknowledged file and sends the next.
void BM_ReplayStepDrains_100kFiles(benchmark::State& state) {
  const test::TempDir& folder = FullFolder();
  FakeClock clock;
  BenchLink link;
  EventSpool spool(folder.Prefix(), clock, &link, {});
  RunTicks(state, [&] {
    spool.SpoolAcknowledged();
    spool.ReplayStep();
  });
}
BENCHMARK(BM_ReplayStepDrains_100kFiles)->Unit(benchmark::kMicrosecond)->Iterations(5000);

// One record to disk: temporary file, write, fsync, move, folder flush.
void BM_SpoolOneRecord(benchmark::State& state) {
  const test::TempDir folder;
  FakeClock clock;
  BenchLink link;
  link.up = false;
  EventSpool spool(folder.Prefix(), clock, &link, {});
  RunTicks(state, [&] {
    spool.SendOrSpool(kRecord);
    clock.Advance(1);
  });
}
BENCHMARK(BM_SpoolOneRecord)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace orvent

BENCHMARK_MAIN();

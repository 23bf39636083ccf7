// The spool's costs: the write of one record before its ACK (temporary file,
// write, fsync, move, folder flush) on the main thread, with its p50 and
// p99 on this machine's disk; the scan that indexes a backlog of 100,000
// files at start-up; and the link thread's step per backlog file (take,
// read, acknowledge, delete).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "delivery/spool.h"
#include "platform/fake_clock.h"
#include "support/percentile.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

constexpr SoobBytes kRecord = {0x22, 0xC8, 0x00, 0x00, 0x03, 0x30, 0x31, 0x35, 0x00, 0x01,
                               0x01, 0xC7, 0x66, 0x5B, 0x55, 0x13, 0xEB, 0xE3, 0x40, 0x21};
constexpr int kBacklogFiles = 100'000;

void FillFolder(const test::TempDir& folder, int files) {
  const SpoolFileBytes bytes = MakeSpoolFileBytes(kRecord);
  for (int i = 0; i < files; ++i) {
    std::ofstream(folder.Prefix() + SpoolNameText(0x5265C00u + static_cast<std::uint32_t>(i)) + ".dd8",
                  std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
}

using test::Percentile;

// Times each iteration on its own, so its p50, p99 and worst are printed.
template <typename Step>
void RunTimed(benchmark::State& state, Step step) {
  std::vector<double> us;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    step();
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
  }
  state.counters["p50_us"] = Percentile(us, 0.50);
  state.counters["p99_us"] = Percentile(us, 0.99);
  state.counters["worst_us"] = Percentile(us, 1.0);
}

// One record to disk before its ACK: temporary file, write, fsync, move
// without replace, folder flush.
void BM_StoreEvent(benchmark::State& state) {
  const test::TempDir folder;
  FakeClock clock;
  EventSpool spool(folder.Prefix(), clock, {});
  RunTimed(state, [&] {
    benchmark::DoNotOptimize(spool.StoreEvent(kRecord));
    clock.Advance(1);
  });
}
BENCHMARK(BM_StoreEvent)->Unit(benchmark::kMicrosecond)->Iterations(2000);

// The index of a backlog of 100,000 files, as the scanner builds it at start-up.
void BM_FirstScan_100kFiles(benchmark::State& state) {
  const test::TempDir folder;
  FillFolder(folder, kBacklogFiles);
  FakeClock clock;
  for (auto _ : state) {
    EventSpool spool(folder.Prefix(), clock, {});
    spool.ScanFolder();
    if (spool.WaitingCount() != static_cast<std::size_t>(kBacklogFiles)) state.SkipWithError("files missed");
  }
}
BENCHMARK(BM_FirstScan_100kFiles)->Unit(benchmark::kMillisecond)->Iterations(3);

// One backlog file through the link's hands: take (read the file),
// acknowledge (delete it).
void BM_TakeAndAcknowledge_100kFiles(benchmark::State& state) {
  const test::TempDir folder;
  FillFolder(folder, kBacklogFiles);
  FakeClock clock;
  EventSpool spool(folder.Prefix(), clock, {});
  spool.ScanFolder();
  RunTimed(state, [&] {
    const auto event = spool.TakeNextEvent();
    if (event) spool.EventAcknowledged(event->Id);
  });
}
BENCHMARK(BM_TakeAndAcknowledge_100kFiles)->Unit(benchmark::kMicrosecond)->Iterations(20000);

}  // namespace
}  // namespace orvent

BENCHMARK_MAIN();

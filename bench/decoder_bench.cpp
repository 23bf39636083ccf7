// How long the main thread spends on one receiver message.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "station/settings.h"
#include "receiver/message_decoder.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

const std::string kMessage = std::string("5011 181234113001015") + '\x14';

void Decode(benchmark::State& state, const DecoderSettings& settings, DecoderOutlets out) {
  SystemClock clock;
  out.SendData = [](const std::uint8_t*, std::uint32_t size, std::error_code&) { return size; };
  out.RedrawStation = [] {};
  // Takes every record as kept and keeps the first byte of the last.
  struct LastByte final : EventSink {
    StoreResults StoreEvents(std::span<const EventToKeep> events) override {
      last = events.back().Record[0];
      return StoreResults(events.size(), {RecordKept::OnDisk, 0});
    }
    std::int32_t last = 0;
  } sink;
  const std::int32_t& last = sink.last;
  out.Sink = &sink;
  MessageDecoder decoder(settings, clock, std::move(out));
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(kMessage.data());
  for (auto _ : state) {
    decoder.HandlePacket(bytes, static_cast<std::uint32_t>(kMessage.size()));
    benchmark::DoNotOptimize(last);
  }
}

// Rule 1, no raw log: decoding, the acknowledgement and the hand-off.
void BM_DecodeEventRule1(benchmark::State& state) { Decode(state, DecoderSettings{}, {}); }
BENCHMARK(BM_DecodeEventRule1);

// Rule 2 looks `Razdels` up in the settings file for every message; the
// file is read again only when it changed. Here a section of `range(0)` keys
// with the wanted key last: 1,000, and 60,000 (near the largest file read,
// 1 MiB). The file was written a minute ago, as a station's file was.
void BM_DecodeEventRazdels(benchmark::State& state) {
  const test::TempDir dir;
  const IniFile ini(dir.File(kSettingsFileName));
  {
    std::ofstream file(ini.Path(), std::ios::binary);
    file << "[main]\r\nVariantRazdel=2\r\nFirstNumber=4\r\n[ServerHost]\r\nAddress=127.0.0.1\r\n[Razdels]\r\n";
    for (std::int64_t i = 0; i + 1 < state.range(0); ++i) {
      file << (5000 + i) << "_" << (i % 16) << "=" << (100000 + i) << "\r\n";
    }
    file << "1234_1=777\r\n";
  }
  std::filesystem::last_write_time(ini.Path(), std::filesystem::file_time_type::clock::now() - std::chrono::minutes(1));
  state.counters["file_bytes"] = static_cast<double>(std::filesystem::file_size(ini.Path()));
  DecoderSettings settings;
  settings.VariantRazdel = 2;
  DecoderOutlets out;
  out.LookupRazdel = [&ini](const std::string& key) { return LookupRazdel(ini, key); };
  Decode(state, settings, std::move(out));
}
BENCHMARK(BM_DecodeEventRazdels)->Arg(1000)->Arg(60000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace orvent

BENCHMARK_MAIN();

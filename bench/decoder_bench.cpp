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
  out.SendData = [](const std::uint8_t*, std::uint32_t size) { return size; };
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

// Rule 2 reads `Razdels` from the settings file for every message; here a
// section of 1,000 keys with the wanted key last.
void BM_DecodeEventRazdels1000(benchmark::State& state) {
  const test::TempDir dir;
  const IniFile ini(dir.File(kSettingsFileName));
  {
    std::ofstream file(ini.Path(), std::ios::binary);
    file << "[main]\r\nVariantRazdel=2\r\nFirstNumber=4\r\n[ServerHost]\r\nAddress=127.0.0.1\r\n[Razdels]\r\n";
    for (int i = 0; i < 999; ++i) file << (5000 + i) << "_" << (i % 16) << "=" << (100000 + i) << "\r\n";
    file << "1234_1=777\r\n";
  }
  DecoderSettings settings;
  settings.VariantRazdel = 2;
  DecoderOutlets out;
  out.LookupRazdel = [&ini](const std::string& key) { return LookupRazdel(ini, key); };
  Decode(state, settings, std::move(out));
}
BENCHMARK(BM_DecodeEventRazdels1000);

}  // namespace
}  // namespace orvent

BENCHMARK_MAIN();

#pragma once

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "delivery/event_record.h"
#include "platform/fake_clock.h"
#include "receiver/message_decoder.h"
#include "support/percentile.h"

// What the benchmarks that run the built programs between the simulators
// share: the clock the simulators stamp with, percentiles, the fields of the
// simulators' report lines, the alarm lines they send, and the verdict.
namespace orvent::bench {

// Limits both whole-process benchmarks hold the driver to: the ACK with the
// default settings, as receiver-sim measures it, and the CPU of an idle
// program (accepted link, silent receiver).
inline constexpr double kAckP50LimitMs = 90;
inline constexpr double kAckP99LimitMs = 100;
inline constexpr double kIdleCpuLimitPercent = 0.15;

// CLOCK_MONOTONIC in microseconds: receiver-sim --stamp and msgserver-sim
// --stamp use the same clock, so times taken in different processes compare.
inline long long MonotonicUs() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

using test::Percentile;

inline double Max(const std::vector<double>& v) { return v.empty() ? -1 : *std::max_element(v.begin(), v.end()); }

// The integer after "key" (as "key=V" or "key V") in a line; nullopt if absent.
inline std::optional<long long> Field(const std::string& line, const std::string& key) {
  for (const char sep : {'=', ' '}) {
    const std::string lead = " " + key + sep;
    const auto at = line.find(lead);
    if (at != std::string::npos) return std::atoll(line.c_str() + at + lead.size());
  }
  return std::nullopt;
}

inline double FieldDouble(const std::string& line, const std::string& key) {
  const auto at = line.find(" " + key + " ");
  return at == std::string::npos ? -1 : std::atof(line.c_str() + at + key.size() + 2);
}

// The value of "key":V in a JSON line of msgserver-sim's event log.
inline std::string JsonField(const std::string& line, const std::string& key) {
  const std::string lead = "\"" + key + "\":";
  auto at = line.find(lead);
  if (at == std::string::npos) return {};
  at += lead.size();
  if (line[at] == '"') {
    const auto end = line.find('"', at + 1);
    return end == std::string::npos ? std::string() : line.substr(at + 1, end - at - 1);
  }
  return line.substr(at, line.find_first_of(",}", at) - at);
}

// An event line whose account, code, partition and zone vary with i, so
// every line decodes to its own object number (for i below 9,000).
inline std::string AlarmLine(int i) {
  static constexpr const char* kCodes[] = {"1130", "3130", "1401", "3401", "1602"};
  char text[32];
  std::snprintf(text, sizeof text, "5011 18%04d%s%02d%03d", 1000 + i, kCodes[i % 5], 1 + i % 8, 1 + (i * 13) % 999);
  return text;
}

// Takes every record as kept; counts them and keeps the last.
struct CountingSink final : EventSink {
  StoreResults StoreEvents(std::span<const EventToKeep> events) override {
    count += events.size();
    if (!events.empty()) last = events.back().Record;
    return StoreResults(events.size(), {RecordKept::OnDisk, 0});
  }
  std::size_t count = 0;
  SoobBytes last{};
};

// The object number the driver's decoder makes of a line with the default
// settings.
inline std::int32_t DecodedNumber(const std::string& line) {
  FakeClock clock;
  CountingSink sink;
  DecoderOutlets out;
  out.Sink = &sink;
  MessageDecoder decoder(DecoderSettings{}, clock, out);
  const std::string packet = line + static_cast<char>(kDC4);
  decoder.HandlePacket(reinterpret_cast<const std::uint8_t*>(packet.data()), static_cast<std::uint32_t>(packet.size()));
  return sink.count == 0 ? -1 : DeserializeSoob(sink.last)->Number;
}

// Whether every figure of the run was within its limit. One that is not is
// named where it is printed, and the run ends with a non-zero status.
inline bool& VerdictOk() {
  static bool ok = true;
  return ok;
}

inline void Verdict(bool ok, const char* what) {
  if (!ok) {
    VerdictOk() = false;
    std::printf("  OUT OF LIMITS: %s\n", what);
  }
}

}  // namespace orvent::bench

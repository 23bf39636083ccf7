#include "receiver/message_decoder.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <string_view>

#include "delivery/parse_int.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace orvent {
namespace {

// Positions of the fields; nothing past kFieldsEnd is ever read.
constexpr std::size_t kAccountPos = 7;
constexpr std::size_t kAccountLen = 4;
constexpr std::size_t kKindTestPos = 11;
constexpr std::size_t kKindPos = 12;
constexpr std::size_t kPartitionPos = 15;
constexpr std::size_t kZonePos = 17;
constexpr std::size_t kZoneLen = 3;
constexpr std::size_t kFieldsEnd = kZonePos + kZoneLen;

using FieldBytes = std::array<char, kFieldsEnd>;

std::string_view Text(const FieldBytes& f, std::size_t pos, std::size_t len) { return {f.data() + pos, len}; }

std::uint32_t Wrap(std::int64_t v) { return static_cast<std::uint32_t>(v); }

// The hexadecimal zone text: upper-case, at least two digits, a negative value
// as its 32-bit pattern, cut to four characters.
std::string HexZone(std::int32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%02X", static_cast<unsigned>(static_cast<std::uint32_t>(value)));
  return std::string(text).substr(0, stru_soob::kZoneCapacity);
}

}  // namespace

std::function<void(std::span<const std::uint8_t>)> RawLogFile(const std::string& dir) {
  return [path = JoinPath(dir, kRawLogFileName)](std::span<const std::uint8_t> bytes) {
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (const std::error_code error = AppendToFile(path, text)) {
      throw std::runtime_error("Cannot write " + path + ": " + error.message());
    }
  };
}

MessageDecoder::MessageDecoder(const DecoderSettings& settings, const Clock& clock, std::string work_dir,
                               DecoderOutlets outlets)
    : LastStationTime(clock.Now()),
      WorkDir(std::move(work_dir)),
      settings_(settings),
      clock_(clock),
      outlets_(std::move(outlets)) {}

void MessageDecoder::HandlePacket(const std::uint8_t* packet, std::uint32_t size) {
  if (packet == nullptr || size == 0) return;

  // Every packet is logged before anything else happens to it. A packet that
  // cannot be logged is not acknowledged: the receiver repeats it.
  if (settings_.Log && outlets_.AppendRawLog) {
    try {
      outlets_.AppendRawLog({packet, size});
    } catch (const std::exception& e) {
      if (outlets_.ReportFailure) outlets_.ReportFailure(e.what());
      return;
    }
  }

  if (packet[size - 1] != kDC4) return;

  LastStationTime = clock_.Now();
  if (++StationTick > kStationTickWrap) StationTick = 0;
  if (outlets_.RedrawStation) outlets_.RedrawStation();

  const std::uint8_t ack = kACK;
  if (packet[0] != kEventLead) {
    if (outlets_.SendData) outlets_.SendData(&ack, 1);
    return;
  }

  // A private copy of the field positions; what lies past the packet reads as 0.
  FieldBytes f{};
  std::copy_n(packet, std::min<std::size_t>(size, f.size()), reinterpret_cast<std::uint8_t*>(f.data()));

  stru_soob& soob = CurrentSoob;
  soob.Mark = stru_soob::kMark;

  const std::int32_t account = ParseIntOr(Text(f, kAccountPos, kAccountLen), 0);
  soob.Number = account;

  std::string zone(Text(f, kZonePos, kZoneLen));
  std::optional<std::string> failure;
  if (settings_.Hex) {
    // An unreadable zone still yields the event (it has been acknowledged
    // already); the zone then goes as received and the operator is told.
    if (const auto value = TryParseInt(zone)) {
      zone = HexZone(*value);
    } else {
      failure = NotAnIntegerMessage(zone);
    }
  }
  std::transform(zone.begin(), zone.end(), zone.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  soob.ZoneLength = static_cast<std::uint8_t>(std::min(zone.size(), stru_soob::kZoneCapacity));
  std::copy_n(zone.begin(), soob.ZoneLength, soob.ZoneChars.begin());

  const std::string partition(Text(f, kPartitionPos, 2));
  soob.Razdel = static_cast<std::uint8_t>(ParseIntOr("$" + partition, 0));
  soob.Kind = Text(f, kKindTestPos, 2) == "A0" ? 0 : static_cast<std::uint8_t>(ParseIntOr(Text(f, kKindPos, 1), 0));

  soob.RecvTime = clock_.Now();
  soob.Number = ObjectNumber(account, ParseIntOr(partition, 0));

  // An acknowledged alarm must survive anything that follows, so its record
  // is on disk before the ACK goes out.
  if (outlets_.StoreEvent && !outlets_.StoreEvent(Serialize(soob))) return;
  if (outlets_.SendData) outlets_.SendData(&ack, 1);
  // Told only after the hand-off, so a message box cannot hold the record back.
  if (failure && outlets_.ReportFailure) outlets_.ReportFailure(*failure);
}

std::int32_t MessageDecoder::ObjectNumber(std::int32_t account, std::int32_t partition) const {
  // 32-bit two's-complement arithmetic that wraps, as the server expects.
  const std::uint32_t block = Wrap(std::int64_t{settings_.FirstNumber} * kObjectBlock);
  const std::uint32_t base = Wrap(account) + block;
  std::uint32_t number = base;
  switch (settings_.VariantRazdel) {
    case 1:
      number = Wrap(account) + Wrap((std::int64_t{partition} + settings_.FirstNumber) * kObjectBlock);
      break;
    case 2: {
      const std::string key = std::to_string(account) + "_" + std::to_string(partition);
      const std::int32_t mapped = outlets_.LookupRazdel ? outlets_.LookupRazdel(key) : -1;
      if (mapped != -1) number = Wrap(mapped) + block;
      break;
    }
    case 3:
      number = base + Wrap(partition >= 1 ? std::int64_t{partition} - 1 : partition);
      break;
    default:
      break;
  }
  return static_cast<std::int32_t>(number);
}

void MessageDecoder::Watchdog() {
  try {
    // Compared in whole milliseconds, so the exact limit counts as online.
    const bool online = MsFromDateTime(clock_.Now()) <= MsFromDateTime(LastStationTime) + settings_.Attention.count();
    if (online != StationOnline) {
      StationOnline = online;
      if (outlets_.RedrawStation) outlets_.RedrawStation();
    }
  } catch (const std::exception&) {
    if (outlets_.LogError) outlets_.LogError(kWatchdogErrorNumber);
  }
}

}  // namespace orvent

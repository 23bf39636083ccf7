#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "delivery/setting_defaults.h"
#include "delivery/event_record.h"
#include "platform/clock.h"

namespace orvent {

// Bytes of the receiver's line protocol.
inline constexpr std::uint8_t kDC4 = 20;  // ends every complete message
inline constexpr std::uint8_t kACK = 6;   // the answer to every complete message
inline constexpr std::uint8_t kEventLead = '5';

// The start-up settings that the decoder and the watchdog use.
struct DecoderSettings {
  bool Log = false;
  bool Hex = false;
  std::int32_t VariantRazdel = kDefaultVariantRazdel;
  std::int32_t FirstNumber = kDefaultFirstNumber;
  std::chrono::milliseconds Attention = kDefaultAttention;
};

// What the decoder reaches outside itself. Every outlet may be left empty.
struct DecoderOutlets {
  // Appends the raw packet to kelmora.log; raises when it cannot.
  std::function<void(std::span<const std::uint8_t>)> AppendRawLog;
  // The serial driver's SendData; its result is not examined.
  std::function<std::uint32_t(const std::uint8_t* data, std::uint32_t size)> SendData;
  // Redraws the station picture.
  std::function<void()> RedrawStation;
  // Takes the finished 20-byte record into the spool, before its ACK. True
  // when the record is safe; false leaves the message unacknowledged, so
  // that the receiver sends it again.
  std::function<bool(const SoobBytes&)> StoreEvent;
  // The `Razdels` value for "<account>_<partition>", -1 when there is none.
  std::function<std::int32_t(const std::string& key)> LookupRazdel;
  // Appends a number to the error log.
  std::function<void(std::int32_t number)> LogError;
  // Shows a failure to the operator, as any failure of a window handler is.
  std::function<void(const std::string& message)> ReportFailure;
};

// An outlet that appends packets to `kelmora.log` in `dir`.
std::function<void(std::span<const std::uint8_t>)> RawLogFile(const std::string& dir);

inline constexpr char kRawLogFileName[] = "kelmora.log";

// Turns receiver packets into acknowledgements and event records, and keeps
// the station link state. Runs on the window thread only.
//
// An event message is 21 bytes; positions 0-based:
//   0 "5" | 1-6 unread | 7-10 account | 11-12 "A0" test, 12 kind |
//   13-14 unread | 15-16 partition | 17-19 zone | 20 DC4
// Fields are read at these positions whatever the packet's length; a position
// past its end reads as 0.
class MessageDecoder {
public:
  MessageDecoder(const DecoderSettings& settings, const Clock& clock, std::string work_dir, DecoderOutlets outlets);

  // One packet as the serial driver cut it; the bytes are valid during the
  // call only.
  void HandlePacket(const std::uint8_t* packet, std::uint32_t size);

  // The receiver watchdog: the second step of every 200 ms tick.
  void Watchdog();

  // Window state, written only here.
  TDateTime LastStationTime;
  std::int32_t StationTick = 0;
  bool StationOnline = false;
  stru_soob CurrentSoob;
  const std::string WorkDir;

private:
  static constexpr std::int32_t kStationTickWrap = 16;
  static constexpr std::int32_t kObjectBlock = 10000;
  // The error log's number for a failure of the watchdog.
  static constexpr std::int32_t kWatchdogErrorNumber = 9;

  std::int32_t ObjectNumber(std::int32_t account, std::int32_t partition) const;

  DecoderSettings settings_;
  const Clock& clock_;
  DecoderOutlets outlets_;
};

}  // namespace orvent

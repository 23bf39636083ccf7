#include "receiver/message_decoder.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <string_view>

#include "common/parse_int.h"
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

std::function<std::error_code(std::span<const std::uint8_t>)> RawLogFile(const std::string& dir) {
  return [path = JoinPath(dir, kRawLogFileName)](std::span<const std::uint8_t> bytes) {
    return AppendToFile(path, {reinterpret_cast<const char*>(bytes.data()), bytes.size()});
  };
}

MessageDecoder::MessageDecoder(const DecoderSettings& settings, const Clock& clock, DecoderOutlets outlets)
    : LastStationTime(clock.Now()),
      settings_(settings),
      clock_(clock),
      outlets_(std::move(outlets)) {}

const char* LineFaultText(LineFault fault) {
  switch (fault) {
    case LineFault::Incomplete: return "no DC4, the line stopped";
    case LineFault::StartNotSeen: return "start of the line not seen";
    case LineFault::Empty: return "DC4 alone";
    case LineFault::ControlByte: return "control byte in the line";
    case LineFault::HighByte: return "byte above 127 in the line";
    case LineFault::WrongLength: return "not 20 bytes before its DC4";
    case LineFault::FieldShape: return "starts with \"5\" but its fields are not an event's";
    case LineFault::DamagedLead: return "an event's fields behind a lead other than \"5\"";
  }
  return "damaged";
}

namespace {

LineVerdict Damaged(LineFault fault) { return {LineKind::Damaged, fault, LineFaultText(fault)}; }

bool IsHexDigit(std::uint8_t b) { return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'F') || (b >= 'a' && b <= 'f'); }

// Positions 1-19 of an event: receiver and line number, a blank, then the
// format code, account, event code, partition and zone, all hexadecimal
// digits. Letters A-F are field values too (an account 12B4, the test code
// A0, a partition 1A, a zone 0A1), so decimal digits alone would refuse
// alarms; a blank, a sign or any other letter in a field is damage.
bool HasEventFields(std::span<const std::uint8_t> text) {
  constexpr std::size_t kBlankPos = 4;
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (i == kBlankPos ? text[i] != ' ' : !IsHexDigit(text[i])) return false;
  }
  return true;
}

}  // namespace

LineVerdict ClassifyLine(std::span<const std::uint8_t> bytes, bool start_seen, bool complete) {
  if (!complete || bytes.empty() || bytes.back() != kDC4) return Damaged(LineFault::Incomplete);
  if (!start_seen) return Damaged(LineFault::StartNotSeen);
  const std::span<const std::uint8_t> text = bytes.first(bytes.size() - 1);
  if (text.empty()) return Damaged(LineFault::Empty);
  if (std::any_of(text.begin(), text.end(), [](std::uint8_t b) { return b < 0x20 || b == 0x7F; })) {
    return Damaged(LineFault::ControlByte);
  }
  if (std::any_of(text.begin(), text.end(), [](std::uint8_t b) { return b > 0x7F; })) {
    return Damaged(LineFault::HighByte);
  }
  // Every message the receiver sends has one length: noise in front of a
  // line, a byte lost or gained, a DC4 that cut a line in two all change it.
  if (bytes.size() != kEventMessageSize) return Damaged(LineFault::WrongLength);
  const bool event_fields = HasEventFields(text);
  if (text.front() == kEventLead) return event_fields ? LineVerdict{LineKind::Event} : Damaged(LineFault::FieldShape);
  // An alarm whose lead was hit: acknowledged as a non-event, it would be
  // lost. A heartbeat has blanks where an event has its fields.
  if (event_fields) return Damaged(LineFault::DamagedLead);
  return {LineKind::NonEvent};
}

void MessageDecoder::LogLine(std::span<const std::uint8_t> bytes, const LineVerdict& verdict) {
  if (!settings_.Log || !outlets_.AppendRawLog) return;
  if (verdict.Kind != LineKind::Damaged) {
    raw_log_error_ = outlets_.AppendRawLog(bytes);
    return;
  }
  // The bytes as they came, then a note of its own line.
  std::string entry(bytes.begin(), bytes.end());
  entry += std::string("\r\n# no ACK: ") + verdict.Why + "\r\n";
  raw_log_error_ = outlets_.AppendRawLog({reinterpret_cast<const std::uint8_t*>(entry.data()), entry.size()});
}

void MessageDecoder::Drop(Ack& ack) {
  ack.state = Ack::Dropped;
  ack.line.clear();
  LeftUnanswered(ack.last_line, ack.lines, {NoAckCause::NotKept, {}, {}});
}

void MessageDecoder::LeftUnanswered(std::uint64_t last_line, std::uint64_t lines, const NoAck& why) {
  lines_left_unacknowledged_ += lines;
  last_no_ack_ = why;
  if (!unanswered_since_ms_) unanswered_since_ms_ = clock_.MonotonicMs();
  last_unanswered_line_ = std::max(last_unanswered_line_, last_line);
}

void MessageDecoder::Answered(std::uint64_t last_line) {
  // An ACK for a line that came before an unanswered one does not answer it,
  // though it may be written later (it waited for its record).
  if (last_line > last_unanswered_line_) unanswered_since_ms_.reset();
}

void MessageDecoder::HandlePacket(const std::uint8_t* packet, std::uint32_t size) {
  if (packet == nullptr || size == 0) return;
  const ReceivedLine line = WholeLine(packet, size);
  HandleLines({&line, 1});
}

void MessageDecoder::HandleLines(std::span<const ReceivedLine> lines) {
  records_.clear();
  record_at_.clear();
  record_lines_.clear();
  std::vector<std::string> failures;
  for (const ReceivedLine& line : lines) {
    if (line.Bytes.empty()) continue;
    const std::uint64_t number = ++lines_seen_;
    const LineVerdict verdict = ClassifyLine(line.Bytes, line.StartSeen, line.Complete);
    // Every line is logged before anything else happens to it; a log that
    // fails holds nothing back.
    LogLine(line.Bytes, verdict);
    if (verdict.Kind == LineKind::Damaged) {
      LeftUnanswered(number, 1, {NoAckCause::Damaged, verdict.Fault, {}});
      continue;
    }

    LastStationTime = clock_.Now();
    if (++StationTick > kStationTickWrap) StationTick = 0;
    if (outlets_.RedrawStation) outlets_.RedrawStation();

    // The receiver sent a message again while its ACK waits for the server:
    // the one ACK answers both.
    const auto waiting = std::find_if(acks_.begin(), acks_.end(), [&](const Ack& ack) {
      return ack.state == Ack::Waiting && ack.ticket != 0 &&
             std::equal(line.Bytes.begin(), line.Bytes.end(), ack.line.begin(), ack.line.end());
    });
    if (waiting != acks_.end()) {
      waiting->last_line = number;
      ++waiting->lines;
      continue;
    }
    if (verdict.Kind == LineKind::NonEvent) {
      acks_.push_back({Ack::Ready, 0, {}, std::nullopt, number});
      continue;
    }
    if (auto failure = Decode(line.Bytes)) failures.push_back(std::move(*failure));
    records_.push_back({Serialize(CurrentSoob), CurrentSoob.RecvTime});
    record_at_.push_back(acks_.size());
    record_lines_.push_back(line.Bytes);
    acks_.push_back({Ack::Waiting, 0, {}, CurrentSoob.RecvTime, number});
  }

  if (!records_.empty()) {
    // An acknowledged alarm must survive anything that follows, so its
    // record is kept before the ACK goes out.
    const StoreResults results =
        outlets_.Sink != nullptr ? outlets_.Sink->StoreEvents(records_) : StoreResults(records_.size(), {RecordKept::OnDisk, 0});
    for (std::size_t i = 0; i < record_at_.size(); ++i) {
      Ack& ack = acks_[record_at_[i]];
      const StoreResult result = i < results.size() ? results[i] : StoreResult{};
      switch (result.Kept) {
        case RecordKept::OnDisk:
          ack.state = Ack::Ready;
          break;
        case RecordKept::AwaitingServer:
          ack.ticket = result.Ticket;
          ack.line.assign(record_lines_[i].begin(), record_lines_[i].end());
          break;
        case RecordKept::Refused:
          Drop(ack);
          break;
      }
    }
  }
  SendAcks();
  // Told only after the hand-off, so a message box cannot hold a record back.
  if (outlets_.ReportFailure) {
    for (const std::string& failure : failures) outlets_.ReportFailure(failure);
  }
}

void MessageDecoder::ServerVerdict(std::uint64_t ticket, bool confirmed) {
  for (Ack& ack : acks_) {
    if (ack.state == Ack::Waiting && ack.ticket == ticket) {
      if (confirmed) {
        ack.state = Ack::Ready;
        ack.line.clear();
      } else {
        Drop(ack);
      }
      break;
    }
  }
  SendAcks();
}

void MessageDecoder::SendAcks() {
  std::size_t answered = 0;  // the messages at the front that no longer wait
  std::uint32_t due = 0;
  for (; answered < acks_.size() && acks_[answered].state != Ack::Waiting; ++answered) {
    if (acks_[answered].state == Ack::Ready) ++due;
  }
  std::uint32_t written = due;
  std::error_code error;
  if (due > 0 && outlets_.SendData) {
    // One write for all of them; the receiver reads one ACK per message.
    const std::vector<std::uint8_t> bytes(due, kACK);
    written = std::min(outlets_.SendData(bytes.data(), due, error), due);
    if (written < due && !error) error = std::make_error_code(std::errc::io_error);
    ack_write_error_ = written < due ? error : std::error_code{};
  }
  // The ACKs written answer the first messages, in order; the receiver
  // sends the others again.
  for (; answered > 0; --answered) {
    const Ack ack = std::move(acks_.front());
    acks_.pop_front();
    if (ack.state != Ack::Ready) continue;
    if (written > 0) {
      --written;
      if (ack.received) last_acknowledged_ = ack.received;
      Answered(ack.last_line);
    } else {
      LeftUnanswered(ack.last_line, ack.lines, {NoAckCause::AckNotWritten, {}, error});
    }
  }
}

std::optional<std::string> MessageDecoder::Decode(std::span<const std::uint8_t> line) {
  // A private copy of the field positions. An event line holds them all;
  // the copy keeps every read within it whatever it is given.
  FieldBytes f{};
  std::copy_n(line.begin(), std::min<std::size_t>(line.size(), f.size()), reinterpret_cast<std::uint8_t*>(f.data()));

  stru_soob& soob = CurrentSoob;
  soob.Mark = stru_soob::kMark;

  const std::int32_t account = ParseIntOr(Text(f, kAccountPos, kAccountLen), 0);
  soob.Number = account;

  std::string zone(Text(f, kZonePos, kZoneLen));
  std::optional<std::string> failure;
  if (settings_.Hex) {
    // An unreadable zone still yields the event; the zone then goes as
    // received and the operator is told.
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
  return failure;
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

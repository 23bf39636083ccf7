#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "delivery/event_record.h"
#include "delivery/event_sink.h"
#include "common/setting_defaults.h"
#include "platform/clock.h"
#include "receiver/serial_packet_driver.h"

namespace orvent {

// Bytes of the receiver's line protocol.
inline constexpr std::uint8_t kACK = 6;   // the answer to every complete message
inline constexpr std::uint8_t kEventLead = '5';
// A whole message, its closing DC4 included: every message the receiver
// sends has this length, an event's (its layout is drawn at MessageDecoder)
// and a heartbeat's alike.
inline constexpr std::size_t kEventMessageSize = 21;

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
  // Appends raw bytes to kelmora.log; the append's error when it cannot.
  std::function<std::error_code(std::span<const std::uint8_t>)> AppendRawLog;
  // The serial driver's SendData: writes the bytes, gives the count written
  // and, when that is fewer, why. Without one every ACK counts as written.
  std::function<std::uint32_t(const std::uint8_t* data, std::uint32_t size, std::error_code& why)> SendData;
  // Redraws the station picture.
  std::function<void()> RedrawStation;
  // Takes the finished records (the spool), before their ACKs. Without one
  // every record counts as kept.
  EventSink* Sink = nullptr;
  // The `Razdels` value for "<account>_<partition>", -1 when there is none.
  std::function<std::int32_t(const std::string& key)> LookupRazdel;
  // Appends a number to the error log.
  std::function<void(std::int32_t number)> LogError;
  // Shows a failure to the operator, as any failure of a handler is.
  std::function<void(const std::string& message)> ReportFailure;
};

// What a line from the receiver is.
enum class LineKind {
  Event,     // an event message: decoded, acknowledged when kept
  NonEvent,  // any other message (a heartbeat): acknowledged
  Damaged,   // no message of the receiver's: no ACK, the receiver sends it again
};

// Why a line is damaged, in the order the rule looks.
enum class LineFault {
  Incomplete,    // no DC4: the line stopped and was given up
  StartNotSeen,  // it may be the rest of a line whose start was lost
  Empty,         // DC4 alone
  ControlByte,   // a byte below 32, or 127, before the DC4
  HighByte,      // a byte above 127
  WrongLength,   // not 20 bytes before its DC4
  FieldShape,    // starts with "5", but its fields are not an event's
  DamagedLead,   // an event's fields behind a lead other than "5"
};

// The raw log's note for a fault, in English.
const char* LineFaultText(LineFault fault);

struct LineVerdict {
  LineKind Kind = LineKind::Damaged;
  LineFault Fault = LineFault::Incomplete;  // for a damaged line
  const char* Why = "";                     // for a damaged line, the raw log's note
};

// The rule for a line that may be damaged. The line has no checksum: its
// length and the shape of its fields are all there is to judge it by. A
// message is a line whose start was seen, that ended in its own DC4, and
// that holds exactly 20 printable ASCII bytes (32..126) before it. Of those,
// an event has a "5" at 0, hexadecimal digits (either case) at 1-3 and 5-19
// and a blank at 4. A "5" line without that shape, and a line with that
// shape behind any other lead, are damaged events; any other message (a
// heartbeat, "1011           @    ") is no event.
LineVerdict ClassifyLine(std::span<const std::uint8_t> bytes, bool start_seen, bool complete);

// An outlet that appends packets to `kelmora.log` in `dir`.
std::function<std::error_code(std::span<const std::uint8_t>)> RawLogFile(const std::string& dir);

inline constexpr char kRawLogFileName[] = "kelmora.log";

// Why a receiver line got no ACK.
enum class NoAckCause {
  Damaged,        // no message of the receiver's (Fault says why)
  NotKept,        // the disk refused its record, and the server did not confirm it
  AckNotWritten,  // the ACK could not be written to the line (Error says why)
};

struct NoAck {
  NoAckCause Cause = NoAckCause::Damaged;
  LineFault Fault{};
  std::error_code Error;  // for AckNotWritten
};

// Turns receiver lines into acknowledgements and event records, and keeps
// the station link state. Runs on the main thread only.
//
// Every message gets its own ACK, and only once it is kept: a non-event
// line at once, an event when its record is on disk, or when the server has
// confirmed a record the disk refused. ACKs go out in the messages' order;
// a message that cannot be kept gets none. A message counts as acknowledged
// only once its ACK byte is written to the line.
//
// An event message is 21 bytes; positions 0-based:
//   0 "5" | 1-6 receiver, line, blank, format (unread) | 7-10 account |
//   11-12 "A0" test, 12 kind | 13-14 unread | 15-16 partition |
//   17-19 zone | 20 DC4
// Nothing optional holds a message back: a raw log entry that cannot be
// written is remembered, and the line handled as with the log off.
class MessageDecoder {
public:
  MessageDecoder(const DecoderSettings& settings, const Clock& clock, DecoderOutlets outlets);

  // The lines the packet driver found due, in order; the bytes are valid
  // during the call only. Their records are stored together.
  void HandleLines(std::span<const ReceivedLine> lines);
  // One line whose start was seen.
  void HandlePacket(const std::uint8_t* packet, std::uint32_t size);
  // The spool's verdict on a record that awaited the server.
  void ServerVerdict(std::uint64_t ticket, bool confirmed);
  // Messages whose ACK waits for the server's verdict, or behind one.
  std::size_t AcksWaiting() const { return acks_.size(); }
  // The receive time of the last alarm whose ACK was written.
  std::optional<TDateTime> LastAcknowledged() const { return last_acknowledged_; }

  // Lines left without an ACK since the start: damaged lines, lines whose
  // record was not kept, lines whose ACK was not written. A line sent again
  // while the ACK of its first copy waits for the server counts once that
  // ACK is not sent.
  std::uint64_t LinesLeftUnacknowledged() const { return lines_left_unacknowledged_; }
  // Why the last such line got none.
  std::optional<NoAck> LastNoAck() const { return last_no_ack_; }
  // The clock's MonotonicMs when the first line was left without an ACK
  // after the last line whose ACK was written, in the lines' order; nullopt
  // when every line since then was answered (a damaged try followed by its
  // acknowledged resend). A line whose ACK waits for the server is not
  // unanswered until the server's verdict drops it.
  std::optional<std::int64_t> UnansweredSinceMs() const { return unanswered_since_ms_; }
  // The raw log's last failure; empty while it takes entries or Log is off.
  std::error_code RawLogError() const { return raw_log_error_; }
  // The last ACK write's failure; empty after one that wrote every byte.
  std::error_code AckWriteError() const { return ack_write_error_; }

  // The receiver watchdog: the second step of every 200 ms tick.
  void Watchdog();

  // Window state, written only here.
  TDateTime LastStationTime;
  std::int32_t StationTick = 0;
  bool StationOnline = false;
  stru_soob CurrentSoob;

private:
  static constexpr std::int32_t kStationTickWrap = 16;
  static constexpr std::int32_t kObjectBlock = 10000;
  // The error log's number for a failure of the watchdog.
  static constexpr std::int32_t kWatchdogErrorNumber = 9;

  // One message's place in the order of ACKs.
  struct Ack {
    enum State { Ready, Waiting, Dropped } state = Ready;
    std::uint64_t ticket = 0;
    std::vector<std::uint8_t> line;  // kept while it awaits the server, to know a resend
    std::optional<TDateTime> received;  // an alarm's receive time
    std::uint64_t last_line = 0;  // the number of the last line it answers
    std::uint64_t lines = 1;      // the lines it answers: the message and its resends
  };

  // Fills CurrentSoob from an event line; the failure to show, if any.
  std::optional<std::string> Decode(std::span<const std::uint8_t> line);
  std::int32_t ObjectNumber(std::int32_t account, std::int32_t partition) const;
  // Logs a line (with a note when it is damaged); a failure is remembered.
  void LogLine(std::span<const std::uint8_t> bytes, const LineVerdict& verdict);
  // Sends the ACKs that are due, in order, up to the first that waits.
  void SendAcks();
  // The message will get no ACK: neither the disk nor the server keeps it.
  void Drop(Ack& ack);
  // `lines` lines, the last of them numbered `last_line`, were left without
  // an ACK.
  void LeftUnanswered(std::uint64_t last_line, std::uint64_t lines, const NoAck& why);
  // The ACK of the line numbered `last_line` (and of its resends) was written.
  void Answered(std::uint64_t last_line);

  DecoderSettings settings_;
  const Clock& clock_;
  DecoderOutlets outlets_;
  std::deque<Ack> acks_;
  std::optional<TDateTime> last_acknowledged_;
  // Lines handled since the start, numbering them in their order.
  std::uint64_t lines_seen_ = 0;
  std::uint64_t lines_left_unacknowledged_ = 0;
  std::optional<NoAck> last_no_ack_;
  std::optional<std::int64_t> unanswered_since_ms_;
  // The highest number of a line left without an ACK: only an ACK written
  // for a later line ends the unanswered stretch.
  std::uint64_t last_unanswered_line_ = 0;
  std::error_code raw_log_error_;
  std::error_code ack_write_error_;
  std::vector<EventToKeep> records_;    // of one batch
  std::vector<std::size_t> record_at_;  // the index in acks_ of each
  std::vector<std::span<const std::uint8_t>> record_lines_;  // the line of each, during the call
};

}  // namespace orvent

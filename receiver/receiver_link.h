#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "delivery/event_sink.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/serial_device.h"
#include "receiver/message_decoder.h"

namespace orvent {

class SerialPacketDriver;
struct ReceivedLine;

// Who hears what the receiver link sees. Every call comes on the loop's thread.
class ReceiverObserver {
public:
  virtual ~ReceiverObserver() = default;
  // Lines were handled: the receiver spoke, or a record awaits the server.
  virtual void ReceiverSpoke() = 0;
  // The open port's line was lost (an adapter pulled out).
  virtual void LineLost() = 0;
  // A failure of a line's handling that the operator must see.
  virtual void ReceiverFailure(const std::string& message) = 0;
  // A number for the error log.
  virtual void LogError(std::int32_t number) = 0;
};

// What the decoder reads and writes besides the line and the sink.
struct ReceiverSettings {
  DecoderSettings Decoding;
  bool QuickAck = false;
  // Appends raw bytes to the raw log; the append's error when it cannot.
  std::function<std::error_code(std::span<const std::uint8_t>)> AppendRawLog;
  // The `Razdels` value for "<account>_<partition>", -1 when there is none.
  std::function<std::int32_t(const std::string& key)> LookupRazdel;
};

// The receiver end to end: the serial packet driver on the named port, the
// decoder, and the ACKs the decoder decides, written back to the same port.
// Each record goes to the event sink before its ACK. Runs on the loop's
// thread.
class ReceiverLink {
public:
  ReceiverLink(SerialPorts& ports, EventLoop& loop, const Clock& clock, ReceiverObserver& observer);
  ~ReceiverLink();
  ReceiverLink(const ReceiverLink&) = delete;
  ReceiverLink& operator=(const ReceiverLink&) = delete;

  // Lines are decoded from now on, their records handed to `sink` (which
  // must outlive the link).
  void Begin(ReceiverSettings settings, EventSink& sink);

  // Opens the port under `name` with the receiver's line settings; the
  // system's reason when it fails.
  std::optional<std::error_code> Open(const std::string& name, bool raise_dtr = false);
  void Close();
  bool IsOpen() const;
  // The ports that open, COM1..COM32 and then the system's adapters; the
  // port must be closed.
  std::vector<std::string> Scan(const SerialPorts& ports);

  // The verdict on a record that awaited the server's confirmation.
  void ServerVerdict(std::uint64_t ticket, bool confirmed);
  // The receiver watchdog; true when its verdict turned.
  bool Watch();

  // What the station shows of the receiver (meaningful once begun).
  bool Heard() const { return decoder_ && decoder_->StationOnline; }
  int Pulse() const { return decoder_ ? decoder_->StationTick : 0; }
  TDateTime LastHeard() const { return decoder_ ? decoder_->LastStationTime : 0.0; }
  std::optional<TDateTime> LastAcknowledged() const;

  // The decoder's account of lines left without an ACK (MessageDecoder
  // says what each means): 0, nullopt or empty before Begin.
  std::uint64_t LinesLeftUnacknowledged() const;
  std::optional<NoAck> LastNoAck() const;
  std::optional<std::int64_t> UnansweredSinceMs() const;
  std::error_code RawLogError() const;
  std::error_code AckWriteError() const;

  SerialPacketDriver& PacketDriver() { return *packet_driver_; }
  MessageDecoder* Decoder() const { return decoder_.get(); }

private:
  // The packet handler: the lines the packet driver found due.
  void ReceiveLines(std::span<const ReceivedLine> lines);

  const Clock& clock_;
  ReceiverObserver& observer_;
  std::unique_ptr<SerialPacketDriver> packet_driver_;
  std::unique_ptr<MessageDecoder> decoder_;
};

}  // namespace orvent

#include "receiver/receiver_link.h"

#include <exception>
#include <utility>

#include "receiver/serial_packet_driver.h"
#include "receiver/port_scan.h"

namespace orvent {

ReceiverLink::ReceiverLink(SerialPorts& ports, EventLoop& loop, const Clock& clock, ReceiverObserver& observer)
    : clock_(clock), observer_(observer), packet_driver_(std::make_unique<SerialPacketDriver>(ports, loop, clock)) {
  ApplyReceiverLineSettings(*packet_driver_);
  packet_driver_->OnReceiveLines = [this](SerialPacketDriver*, std::span<const ReceivedLine> lines) {
    ReceiveLines(lines);
  };
  packet_driver_->OnLineLost = [this](SerialPacketDriver*) { observer_.LineLost(); };
}

ReceiverLink::~ReceiverLink() = default;

void ReceiverLink::Begin(ReceiverSettings settings, EventSink& sink) {
  packet_driver_->SetQuickAck(settings.QuickAck);
  DecoderOutlets outlets;
  outlets.AppendRawLog = std::move(settings.AppendRawLog);
  // The ACKs the decoder decides go back down the line they answer.
  outlets.SendData = [this](const std::uint8_t* bytes, std::uint32_t size, std::error_code& why) {
    return packet_driver_->SendData(bytes, size, why);
  };
  outlets.Sink = &sink;
  outlets.LookupRazdel = std::move(settings.LookupRazdel);
  outlets.LogError = [this](std::int32_t number) { observer_.LogError(number); };
  outlets.ReportFailure = [this](const std::string& message) { observer_.ReceiverFailure(message); };
  decoder_ = std::make_unique<MessageDecoder>(settings.Decoding, clock_, std::move(outlets));
}

std::optional<std::error_code> ReceiverLink::Open(const std::string& name, bool raise_dtr) {
  packet_driver_->SetPortName(name);
  std::error_code why;
  if (!packet_driver_->Connect(why)) return why;
  if (raise_dtr) packet_driver_->SetDTR(true);
  return std::nullopt;
}

void ReceiverLink::Close() {
  if (packet_driver_->Connected()) packet_driver_->Disconnect();
}

bool ReceiverLink::IsOpen() const { return packet_driver_->Connected(); }

std::vector<std::string> ReceiverLink::Scan(const SerialPorts& ports) {
  return ScanSerialPorts(*packet_driver_, ports).Ports;
}

void ReceiverLink::ReceiveLines(std::span<const ReceivedLine> lines) {
  if (decoder_) {
    try {
      decoder_->HandleLines(lines);
    } catch (const std::exception& e) {
      observer_.ReceiverFailure(e.what());
    }
  }
  observer_.ReceiverSpoke();
}

void ReceiverLink::ServerVerdict(std::uint64_t ticket, bool confirmed) {
  if (!decoder_) return;
  try {
    decoder_->ServerVerdict(ticket, confirmed);
  } catch (const std::exception& e) {
    observer_.ReceiverFailure(e.what());
  }
}

bool ReceiverLink::Watch() {
  if (!decoder_) return false;
  const bool was = decoder_->StationOnline;
  decoder_->Watchdog();
  return decoder_->StationOnline != was;
}

std::optional<TDateTime> ReceiverLink::LastAcknowledged() const {
  return decoder_ ? decoder_->LastAcknowledged() : std::nullopt;
}

std::uint64_t ReceiverLink::LinesLeftUnacknowledged() const {
  return decoder_ ? decoder_->LinesLeftUnacknowledged() : 0;
}

std::optional<NoAck> ReceiverLink::LastNoAck() const { return decoder_ ? decoder_->LastNoAck() : std::nullopt; }

std::optional<std::int64_t> ReceiverLink::UnansweredSinceMs() const {
  return decoder_ ? decoder_->UnansweredSinceMs() : std::nullopt;
}

std::error_code ReceiverLink::RawLogError() const { return decoder_ ? decoder_->RawLogError() : std::error_code{}; }

std::error_code ReceiverLink::AckWriteError() const {
  return decoder_ ? decoder_->AckWriteError() : std::error_code{};
}

}  // namespace orvent

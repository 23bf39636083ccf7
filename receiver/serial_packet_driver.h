#pragma once

#include <deque>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/serial_device.h"

namespace orvent {

// How RTS is driven: held low, held high, by the receiver's handshake (with
// sending waiting for CTS), or raised only while sending.
enum class HwFlowControl { None, RtsOn, RtsCts, RtsToggle };
// What becomes of a line given up without its DC4: dropped, or handed over
// (to be logged).
enum class PartialPacketMode { Discard, Pass };

class SerialPacketDriver;

// The byte that ends every receiver message: lines are cut at it.
inline constexpr std::uint8_t kDC4 = 20;

// One line as the driver cut it from the stream: the bytes up to and
// including a DC4, or bytes that never got their DC4 (the line stopped for
// longer than the time-out, or outgrew the receive buffer).
struct ReceivedLine {
  std::span<const std::uint8_t> Bytes;
  // Whether the line's first byte is the first byte of a message: it came
  // right after a DC4 that the driver read, or on a line that had been quiet
  // since the port opened. Otherwise it may be the tail of a line whose
  // start was dropped or was already on its way when the port opened.
  bool StartSeen = true;
  // Ends in DC4. An incomplete line is handed over only to be logged.
  bool Complete = true;
};

// A line given on its own (a test's, the inspector's, a window handler's):
// its start seen, complete when it ends in DC4.
inline ReceivedLine WholeLine(const std::uint8_t* bytes, std::uint32_t size) {
  return {{bytes, size}, true, size > 0 && bytes[size - 1] == kDC4};
}

// A line or a batch of lines: the bytes point into the driver's buffers and
// are valid only during the call; a handler copies what it keeps.
using PacketHandler = std::function<void(SerialPacketDriver* sender, const std::uint8_t* packet, std::uint32_t size)>;
using LinesHandler = std::function<void(SerialPacketDriver* sender, std::span<const ReceivedLine> lines)>;
using LineLostHandler = std::function<void(SerialPacketDriver* sender)>;

// The serial port packet driver. It opens one port on the receiver's line
// (9600 bit/s, 8 data bits, no parity, one stop bit, DTR on), reads what arrives as
// soon as the owner's event loop sees the line readable (or, for a device
// that cannot be watched, every PollingDelay ms), and cuts it into lines at
// every DC4: each message is handed over on its own, whatever reads it came
// in.
//
// A complete line is handed over once more than PacketTimeout ms have passed
// since its first byte arrived, or at once when PacketSize bytes wait; with
// QuickAck at its DC4. Every line that is due goes in one batch, so that the
// owner can keep them all with one flush; the line is read again before
// every batch, so that storing never starves reading.
//
// A line without its DC4 is given up only when the device holds nothing more
// and more than PacketTimeout ms have passed since its last byte arrived; a
// line that outgrows the receive buffer is given up too. After either, the
// next line's start is not seen (its first part may be the rest of the
// dropped one) until a DC4 arrives.
//
// Times are arrival times as the driver reads them, never ahead of now.
//
// Everything runs on the owner's (main) thread. Nothing here throws: opening
// answers with a boolean, sending with a byte count and why it fell short,
// the rest fails quietly.
class SerialPacketDriver {
public:
  static constexpr std::uint32_t kMaxBufSize = 8192;
  static constexpr std::uint16_t kMinPollingDelay = 5;

  SerialPacketDriver(SerialPorts& ports, EventLoop& loop, const Clock& clock);
  ~SerialPacketDriver();
  SerialPacketDriver(const SerialPacketDriver&) = delete;
  SerialPacketDriver& operator=(const SerialPacketDriver&) = delete;

  // Opens the port named by PortName and starts reading it. True when the
  // port is open afterwards, also when it was open already (then nothing
  // changes).
  bool Connect();
  // The same; `why` is the system's reason when it fails.
  bool Connect(std::error_code& why);
  // Stops reading and closes the port; waiting bytes and a partial packet
  // are dropped.
  void Disconnect();
  bool Connected() const { return device_ != nullptr; }
  // Writes the bytes, waiting while the output makes progress; gives up
  // after OutputTimeout ms without any. Returns the count written.
  std::uint32_t SendData(const std::uint8_t* data, std::uint32_t size);
  // The same; when fewer bytes were written, `why` says why: the device's
  // error, std::errc::timed_out when the output made no progress for
  // OutputTimeout ms, std::errc::not_connected when the port is closed.
  // Empty when every byte was written.
  std::uint32_t SendData(const std::uint8_t* data, std::uint32_t size, std::error_code& why);
  void SetDTR(bool on);

  // One look at the line: reads what has arrived and hands over the packets
  // that are due. The loop runs it when the line is readable (or on the poll
  // timer) and at a partial packet's time-out.
  void Poll();
  // Whether the line is watched by the loop (else polled every PollingDelay ms).
  bool Watched() const { return watch_.has_value(); }

  const std::string& PortName() const { return port_name_; }
  HwFlowControl HwFlow() const { return hw_flow_; }
  std::int16_t PacketSize() const { return packet_size_; }
  std::int32_t PacketTimeout() const { return packet_timeout_; }
  PartialPacketMode PacketMode() const { return packet_mode_; }
  std::uint16_t PollingDelay() const { return polling_delay_; }
  bool QuickAck() const { return quick_ack_; }
  std::uint16_t OutputTimeout() const { return output_timeout_; }

  // Ignored while the port is open.
  void SetPortName(const std::string& name);
  // Taken at the next opening.
  void SetHwFlow(HwFlowControl flow) { hw_flow_ = flow; }
  // 0 or less means none (-1): complete lines wait for their time-out or
  // for a full receive buffer. A size above the receive buffer (2048 bytes)
  // grows it, up to 8192, while the port is closed; a packet never exceeds
  // the receive buffer.
  void SetPacketSize(std::int16_t size);
  // 0 or less means never (-1).
  void SetPacketTimeout(std::int32_t ms);
  void SetPacketMode(PartialPacketMode mode) { packet_mode_ = mode; }
  // At least 5 ms; restarts the poll timer of a device that is polled.
  void SetPollingDelay(std::uint16_t ms);
  // A message is handed over at its closing DC4, without waiting for the
  // packet time-out.
  void SetQuickAck(bool on) { quick_ack_ = on; }
  void SetOutputTimeout(std::uint16_t ms) { output_timeout_ = ms; }

  // The lines that are due, in order. When it is not assigned, each complete
  // line goes to OnReceivePacket on its own.
  LinesHandler OnReceiveLines;
  PacketHandler OnReceivePacket;
  // The port went away under the poll (a USB adapter unplugged): the driver
  // has closed it. The owner shows the port as stopped.
  LineLostHandler OnLineLost;

private:
  static constexpr std::uint32_t kDefaultBufSize = 2048;
  // What SendData lets wait in the output queue: an ACK is one byte, so the
  // limit only matters to a line that has stopped taking bytes.
  static constexpr std::uint32_t kOutBufSize = 2048;

  SerialLineSettings LineSettings() const;
  void ResizeInBuf(std::uint32_t size);
  // Watches the line, or polls a device that cannot be watched.
  void StartReading();
  // The watch's call: a look at the line, and a guard against a line that
  // says "readable" for ever with nothing to read.
  void OnReadable();
  void StartPolling();
  void StopReading();
  // Takes what waits on the line into the receive buffer; false when the
  // line is lost (the port is closed then).
  bool ReadArrived();
  // Hands over every line that is due, reading again before each batch, and
  // times the next one.
  void DeliverDue(const SerialDevice* device);
  // The tick at which the byte at `offset` of the buffer arrived.
  std::uint32_t ArrivalOf(std::size_t offset) const;
  bool Overdue(std::uint32_t since) const;
  // Hands the lines that end at the given offsets (exclusive) to the
  // handlers, then drops them from the buffer; false when a handler closed
  // the port. `complete` is false for one line given up without its DC4.
  bool HandOver(const std::vector<std::size_t>& ends, bool complete, const SerialDevice* device);
  void DropFront(std::size_t count);
  // Forgets what was read: the next line's start is seen only after a DC4,
  // or when nothing arrives for the time-out after the opening.
  void Resynchronise();
  void ArmTimeout(std::uint32_t start);
  void DisarmTimeout();
  // Whether `device` is still the open port after a handler ran.
  bool StillOpen(const SerialDevice* device) const { return device_.get() == device; }
  void LoseLine();

  SerialPorts& ports_;
  EventLoop& loop_;
  const Clock& clock_;

  std::string port_name_ = "COM1";
  HwFlowControl hw_flow_ = HwFlowControl::RtsOn;
  std::uint32_t in_buf_size_ = kDefaultBufSize;
  std::int16_t packet_size_ = -1;
  std::int32_t packet_timeout_ = -1;
  PartialPacketMode packet_mode_ = PartialPacketMode::Discard;
  std::uint16_t polling_delay_ = 50;
  std::uint16_t output_timeout_ = 500;
  bool quick_ack_ = false;

  std::unique_ptr<SerialDevice> device_;
  // Allocated ahead, never per read: what arrived and was not handed over
  // yet, and the packet being handed over (stable while its handler runs,
  // whatever arrives meanwhile).
  std::vector<std::uint8_t> buffer_;
  std::size_t buffered_ = 0;
  std::vector<std::uint8_t> packet_;
  std::vector<ReceivedLine> lines_;
  std::vector<std::size_t> ends_;
  // Where each read's bytes end in the buffer, and the tick they came at:
  // a packet's time-out counts from its first bytes' arrival.
  struct Arrival {
    std::size_t end;
    std::uint32_t tick;
  };
  std::deque<Arrival> arrivals_;
  std::optional<EventLoop::WatchId> watch_;
  std::optional<EventLoop::TimerId> poll_timer_;
  std::optional<EventLoop::TimerId> timeout_timer_;
  std::optional<std::uint32_t> timeout_start_;  // the tick the time-out is due after
  // Whether the first buffered byte starts a message; see the class comment.
  bool start_seen_ = false;
  // Since opening nothing has arrived yet: bytes that come
  // within the time-out of it may be the rest of a line already on its way.
  bool awaiting_first_bytes_ = true;
  std::uint32_t opened_tick_ = 0;
  // The last read took everything the device held.
  bool drained_ = true;
  // Wake-ups that found nothing to read, in a row: a line that says
  // "readable" and has nothing is polled instead of spinning.
  int empty_wakes_ = 0;
  bool read_bytes_ = false;  // since the last wake-up
  // A handler that lets the event loop run must not hand over a second
  // packet in the middle of the first.
  bool handling_ = false;
};

// The settings the program gives its driver before the port is first
// opened: packets of up to 256 bytes cut 80 ms after their first bytes,
// polled every 20 ms where the line cannot be watched, passed on when
// partial, no handshake, 80 ms output time-out; `quick_ack` hands a message
// over at its DC4.
void ApplyReceiverLineSettings(SerialPacketDriver& port, bool quick_ack = false);

}  // namespace orvent

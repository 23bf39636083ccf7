#include "receiver/serial_packet_driver.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace orvent {
namespace {

SerialRts RtsOf(HwFlowControl flow) {
  switch (flow) {
    case HwFlowControl::None:
      return SerialRts::Off;
    case HwFlowControl::RtsCts:
      return SerialRts::Handshake;
    case HwFlowControl::RtsToggle:
      return SerialRts::Toggle;
    case HwFlowControl::RtsOn:
      break;
  }
  return SerialRts::On;
}

}  // namespace

SerialPacketDriver::SerialPacketDriver(SerialPorts& ports, EventLoop& loop, const Clock& clock)
    : ports_(ports), loop_(loop), clock_(clock), buffer_(kDefaultBufSize, 0), packet_(kDefaultBufSize, 0) {
  // A line has at least its DC4, so a batch never has more lines than bytes.
  lines_.reserve(kMaxBufSize);
  ends_.reserve(kMaxBufSize);
}

SerialPacketDriver::~SerialPacketDriver() { Disconnect(); }

bool SerialPacketDriver::Connect() {
  std::error_code why;
  return Connect(why);
}

bool SerialPacketDriver::Connect(std::error_code& why) {
  why.clear();
  if (device_) return true;
  device_ = ports_.Open(port_name_, LineSettings(), why);
  if (!device_) return false;
  Resynchronise();
  StartReading();
  return true;
}

void SerialPacketDriver::Disconnect() {
  if (!device_) return;
  StopReading();
  device_.reset();
  buffered_ = 0;
  arrivals_.clear();
}

void SerialPacketDriver::Resynchronise() {
  buffered_ = 0;
  arrivals_.clear();
  DisarmTimeout();
  start_seen_ = false;
  awaiting_first_bytes_ = true;
  opened_tick_ = clock_.TickCount();
}

void SerialPacketDriver::StartReading() {
  empty_wakes_ = 0;
  if (const std::optional<NativeWaitHandle> handle = device_->WaitHandle()) {
    watch_ = loop_.WatchReadable(*handle, [this] { OnReadable(); });
  } else {
    StartPolling();
  }
}

void SerialPacketDriver::StartPolling() {
  poll_timer_ = loop_.StartTimer(std::chrono::milliseconds(polling_delay_), [this] { Poll(); });
}

void SerialPacketDriver::StopReading() {
  if (watch_) loop_.StopWatching(*std::exchange(watch_, std::nullopt));
  if (poll_timer_) loop_.StopTimer(*std::exchange(poll_timer_, std::nullopt));
  DisarmTimeout();
}

SerialLineSettings SerialPacketDriver::LineSettings() const {
  // The receiver's line: the defaults of the settings, 9600 8N1 with DTR on.
  SerialLineSettings s;
  s.rts = RtsOf(hw_flow_);
  return s;
}

std::uint32_t SerialPacketDriver::SendData(const std::uint8_t* data, std::uint32_t size) {
  std::error_code ignored;
  return SendData(data, size, ignored);
}

std::uint32_t SerialPacketDriver::SendData(const std::uint8_t* data, std::uint32_t size, std::error_code& why) {
  why.clear();
  if (size == 0) return 0;
  if (!device_) {
    why = std::make_error_code(std::errc::not_connected);
    return 0;
  }
  if (data == nullptr) {
    why = std::make_error_code(std::errc::invalid_argument);
    return 0;
  }
  std::uint32_t written = 0;
  std::uint32_t last_progress = clock_.TickCount();
  while (written < size) {
    SerialQueues queues;
    // A port that cannot report its queues is gone; waiting would only hold
    // the main thread.
    if ((why = device_->Queued(queues))) break;
    // Room left in what the driver lets wait for sending.
    const std::uint32_t room =
        queues.to_send < kOutBufSize ? kOutBufSize - static_cast<std::uint32_t>(queues.to_send) : 0;
    if (room > 0) {
      std::size_t count = 0;
      why = device_->Write(data + written, std::min(room, size - written), count);
      // What the device took counts, whatever it says next.
      written += static_cast<std::uint32_t>(count);
      if (why) break;
      if (count > 0) {
        last_progress = clock_.TickCount();
        continue;
      }
    }
    if (static_cast<std::uint32_t>(clock_.TickCount() - last_progress) > output_timeout_) {
      why = std::make_error_code(std::errc::timed_out);
      break;
    }
  }
  return written;
}

void SerialPacketDriver::SetDTR(bool on) {
  if (device_) device_->SetDtr(on);
}

void SerialPacketDriver::LoseLine() {
  Disconnect();
  if (OnLineLost) OnLineLost(this);
}

void SerialPacketDriver::OnReadable() {
  // Whether this wake-up found anything: the reads after each batch find
  // nothing as a rule, and must not count.
  read_bytes_ = false;
  Poll();
  // A line that keeps saying "readable" with nothing to read would make the
  // loop spin; such a device is polled instead.
  constexpr int kMaxEmptyWakes = 64;
  if (!watch_) return;
  empty_wakes_ = read_bytes_ ? 0 : empty_wakes_ + 1;
  if (empty_wakes_ > kMaxEmptyWakes) {
    loop_.StopWatching(*std::exchange(watch_, std::nullopt));
    StartPolling();
  }
}

void SerialPacketDriver::Poll() {
  if (!device_) return;
  const SerialDevice* const device = device_.get();
  if (!ReadArrived()) return;
  // A handler that runs the event loop (a message box) gets no second
  // packet in its middle; what arrives meanwhile waits in the buffer.
  if (handling_) return;
  handling_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{handling_};
  DeliverDue(device);
}

bool SerialPacketDriver::ReadArrived() {
  SerialQueues queues;
  if (device_->Queued(queues)) {
    // No read may be sized from a count the platform did not give.
    LoseLine();
    return false;
  }
  const std::size_t waiting = queues.to_read;
  const std::size_t room = buffer_.size() - buffered_;
  drained_ = waiting == 0;
  if (waiting > 0) read_bytes_ = true;
  if (waiting == 0 || room == 0) return true;
  std::size_t count = 0;
  if (device_->Read(buffer_.data() + buffered_, std::min(waiting, room), count) || count == 0) return true;
  drained_ = count >= waiting;
  const std::uint32_t now = clock_.TickCount();
  if (awaiting_first_bytes_) {
    // Bytes that come within the time-out of the opening may be the rest of
    // a line that was already on its way; a line quiet for longer is at a
    // message's start.
    awaiting_first_bytes_ = false;
    start_seen_ = buffered_ == 0 && packet_timeout_ > 0 && static_cast<std::int32_t>(now - opened_tick_) > packet_timeout_;
  }
  buffered_ += count;
  arrivals_.push_back({buffered_, now});
  return true;
}

std::uint32_t SerialPacketDriver::ArrivalOf(std::size_t offset) const {
  for (const Arrival& a : arrivals_) {
    if (a.end > offset) return a.tick;
  }
  return arrivals_.empty() ? clock_.TickCount() : arrivals_.back().tick;
}

bool SerialPacketDriver::Overdue(std::uint32_t since) const {
  // The difference wraps with the tick.
  return packet_timeout_ > 0 && static_cast<std::int32_t>(clock_.TickCount() - since) > packet_timeout_;
}

void SerialPacketDriver::DeliverDue(const SerialDevice* device) {
  // Complete lines go at once when this many bytes wait; never more than
  // the receive buffer holds, whatever was configured.
  const std::size_t full =
      packet_size_ > 0 ? std::min<std::size_t>(static_cast<std::size_t>(packet_size_), buffer_.size()) : buffer_.size();
  const auto at = [this](std::size_t offset) { return buffer_.begin() + static_cast<std::ptrdiff_t>(offset); };
  for (;;) {
    ends_.clear();
    const bool all_due = quick_ack_ || packet_timeout_ <= 0 || buffered_ >= full;
    for (std::size_t start = 0;;) {
      const auto end = std::find(at(start), at(buffered_), kDC4);
      if (end == at(buffered_)) break;
      // Lines arrive in order, so the first that is not due ends the batch.
      if (!all_due && !Overdue(ArrivalOf(start))) break;
      start = static_cast<std::size_t>(end - buffer_.begin()) + 1;
      ends_.push_back(start);
    }
    if (!ends_.empty()) {
      if (!HandOver(ends_, true, device)) return;
      // What arrived while the handler stored the batch is read before the
      // next batch, and before any line is given up.
      if (!ReadArrived()) return;
      continue;
    }
    if (buffered_ == 0) {
      DisarmTimeout();
      return;
    }
    if (std::find(at(0), at(buffered_), kDC4) != at(buffered_)) {
      // A complete line that is not due yet.
      ArmTimeout(ArrivalOf(0));
      return;
    }
    // One unfinished line fills what was read. It is given up when it has
    // outgrown the buffer, or when the device holds nothing more for it and
    // its last byte is older than the time-out.
    const bool overflow = buffered_ == buffer_.size();
    if (!overflow && (!drained_ || !Overdue(arrivals_.back().tick))) {
      if (packet_timeout_ > 0) ArmTimeout(arrivals_.back().tick);
      return;
    }
    DisarmTimeout();
    if (packet_mode_ == PartialPacketMode::Pass) {
      ends_.assign(1, buffered_);
      if (!HandOver(ends_, false, device)) return;
    } else {
      DropFront(buffered_);
    }
    start_seen_ = false;
    if (!ReadArrived()) return;
  }
}

bool SerialPacketDriver::HandOver(const std::vector<std::size_t>& ends, bool complete, const SerialDevice* device) {
  const std::size_t count = ends.back();
  std::copy_n(buffer_.begin(), count, packet_.begin());
  lines_.clear();
  std::size_t begin = 0;
  for (const std::size_t end : ends) {
    lines_.push_back({std::span<const std::uint8_t>(packet_.data() + begin, end - begin),
                      begin == 0 ? start_seen_ : true, complete});
    begin = end;
  }
  DropFront(count);
  // After a DC4 the next line starts; after a line given up, its rest may follow.
  start_seen_ = complete;
  if (OnReceiveLines) {
    OnReceiveLines(this, lines_);
    return StillOpen(device);
  }
  for (const ReceivedLine& line : lines_) {
    if (!line.Complete || !OnReceivePacket) continue;
    OnReceivePacket(this, line.Bytes.data(), static_cast<std::uint32_t>(line.Bytes.size()));
    if (!StillOpen(device)) return false;
  }
  return StillOpen(device);
}

void SerialPacketDriver::DropFront(std::size_t count) {
  std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(count),
            buffer_.begin() + static_cast<std::ptrdiff_t>(buffered_), buffer_.begin());
  buffered_ -= count;
  // The bytes left keep the arrival times of the reads that brought them.
  while (!arrivals_.empty() && arrivals_.front().end <= count) arrivals_.pop_front();
  for (Arrival& a : arrivals_) a.end -= count;
}

void SerialPacketDriver::ArmTimeout(std::uint32_t start) {
  if (timeout_timer_ && timeout_start_ == start) return;
  DisarmTimeout();
  const auto passed = static_cast<std::int32_t>(clock_.TickCount() - start);
  // Due at the first millisecond past the time-out: exactly the time-out is
  // not enough. `start` is the arrival the time-out counts from.
  const std::int64_t wait = std::max<std::int64_t>(std::int64_t{packet_timeout_} + 1 - passed, 1);
  timeout_start_ = start;
  timeout_timer_ = loop_.StartTimer(std::chrono::milliseconds(wait), [this] {
    DisarmTimeout();
    Poll();
  });
}

void SerialPacketDriver::DisarmTimeout() {
  if (timeout_timer_) loop_.StopTimer(*std::exchange(timeout_timer_, std::nullopt));
  timeout_start_.reset();
}

void SerialPacketDriver::SetPortName(const std::string& name) {
  if (!device_) port_name_ = name;
}

void SerialPacketDriver::ResizeInBuf(std::uint32_t size) {
  if (device_) return;
  in_buf_size_ = std::min(size, kMaxBufSize);
  buffer_.assign(in_buf_size_, 0);
  packet_.assign(in_buf_size_, 0);
}

void SerialPacketDriver::SetPacketSize(std::int16_t size) {
  if (size <= 0) {
    packet_size_ = -1;
    return;
  }
  const auto wanted = static_cast<std::uint32_t>(size);
  if (wanted > in_buf_size_) ResizeInBuf(wanted);
  packet_size_ = static_cast<std::int16_t>(std::min(wanted, in_buf_size_));
}

void SerialPacketDriver::SetPacketTimeout(std::int32_t ms) { packet_timeout_ = ms <= 0 ? -1 : ms; }

void SerialPacketDriver::SetPollingDelay(std::uint16_t ms) {
  ms = std::max(ms, kMinPollingDelay);
  if (ms == polling_delay_) return;
  polling_delay_ = ms;
  if (poll_timer_) {
    loop_.StopTimer(*std::exchange(poll_timer_, std::nullopt));
    StartPolling();
  }
}

void ApplyReceiverLineSettings(SerialPacketDriver& port, bool quick_ack) {
  port.SetHwFlow(HwFlowControl::None);
  port.SetPacketSize(256);
  port.SetPacketTimeout(80);
  port.SetPacketMode(PartialPacketMode::Pass);
  port.SetPollingDelay(20);
  port.SetOutputTimeout(80);
  port.SetQuickAck(quick_ack);
}

}  // namespace orvent

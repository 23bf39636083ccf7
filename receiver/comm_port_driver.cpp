#include "receiver/comm_port_driver.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace orvent {
namespace {

// Bits a byte takes on the line: start, eight data, stop.
constexpr double kBitsPerByte = 10.0;

// Read and write time-outs asked of the device: reads return at once with
// what waits, a write that finds no room gives up after 10 ms.
constexpr SerialTimeouts kPortTimeouts{1, 0, 1, 0, 10};

constexpr std::uint32_t kListedRates[] = {0,     110,   300,   600,    1200,   2400,   4800,   9600,
                                          14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
static_assert(std::size(kListedRates) == br256000 + 1);

std::uint32_t ClampBufSize(std::uint32_t size) {
  return std::clamp(size, TCommPortDriver::kMinBufSize, TCommPortDriver::kMaxBufSize);
}

SerialRts RtsOf(THwFlowControl flow) {
  switch (flow) {
    case hfNONE:
      return SerialRts::Off;
    case hfRTSCTS:
      return SerialRts::Handshake;
    case hfRTSTOG:
      return SerialRts::Toggle;
    case hfNONERTSON:
      break;
  }
  return SerialRts::On;
}

}  // namespace

TCommPortDriver::TCommPortDriver(SerialPorts& ports, PeriodicTimer& timer, const Clock& clock)
    : ports_(ports), timer_(timer), clock_(clock), buffer_(kDefaultBufSize, 0) {}

TCommPortDriver::~TCommPortDriver() { Disconnect(); }

bool TCommPortDriver::Connect() {
  std::error_code why;
  return Connect(why);
}

bool TCommPortDriver::Connect(std::error_code& why) {
  why.clear();
  if (device_) return true;
  device_ = ports_.Open(PortName(), why);
  if (!device_) return false;
  open_.store(true, std::memory_order_release);
  why = ApplySettings();
  if (why) {
    Disconnect();
    return false;
  }
  device_->SetTimeouts(kPortTimeouts);
  StartPolling();
  return true;
}

void TCommPortDriver::Disconnect() {
  if (!device_) return;
  timer_.Stop();
  open_.store(false, std::memory_order_release);
  device_.reset();
  packet_start_.reset();
}

void TCommPortDriver::StartPolling() {
  timer_.Start(polling_delay_, [this] { Poll(); });
}

std::error_code TCommPortDriver::ApplySettings() {
  SerialLineSettings s;
  s.baud_rate = baud_rate_value_;
  s.data_bits = static_cast<std::uint8_t>(data_bits_ + 5);
  s.parity = static_cast<SerialParity>(parity_);
  s.stop_bits = static_cast<SerialStopBits>(stop_bits_);
  s.dtr_on = enable_dtr_on_open_;
  s.rts = RtsOf(hw_flow_);
  s.cts_flow = hw_flow_ == hfRTSCTS;
  s.xon_xoff = sw_flow_ == sfXONXOFF;
  s.xon_limit = in_buf_size_ / 4;
  s.xoff_limit = in_buf_size_ / 4;
  if (const std::error_code error = device_->ApplySettings(s)) return error;
  if (const std::error_code error = PurgeBuffers(true, true)) return error;
  return device_->SetQueueSizes(in_buf_size_, out_buf_size_);
}

std::error_code TCommPortDriver::PurgeBuffers(bool input, bool output) {
  if (const std::error_code error = device_->Purge(input, output)) return error;
  packet_start_.reset();
  return {};
}

void TCommPortDriver::ReapplyIfOpen() {
  if (device_) ApplySettings();
}

std::uint32_t TCommPortDriver::SendData(const std::uint8_t* data, std::uint32_t size) {
  if (!device_ || data == nullptr) return 0;
  std::uint32_t written = 0;
  std::uint32_t last_progress = clock_.TickCount();
  while (written < size) {
    SerialQueueStatus status;
    // A port that cannot report its queues is gone; waiting would only hold
    // the window thread.
    if (device_->QueryStatus(status)) break;
    // Room left in the output queue; none when the platform's queue already
    // holds more than asked for.
    const std::uint32_t room = status.out_queue < out_buf_size_ ? out_buf_size_ - status.out_queue : 0;
    if (room > 0) {
      if (check_line_status_) {
        SerialModemLines lines;
        if (device_->ModemStatus(lines) || !lines.AnyActive()) break;
      }
      std::size_t count = 0;
      if (device_->Write(data + written, std::min(room, size - written), count)) break;
      if (count > 0) {
        written += static_cast<std::uint32_t>(count);
        last_progress = clock_.TickCount();
        continue;
      }
    }
    if (static_cast<std::uint32_t>(clock_.TickCount() - last_progress) > output_timeout_) break;
  }
  return written;
}

void TCommPortDriver::SetDTR(bool on) {
  if (device_) device_->SetDtr(on);
}

std::uint32_t TCommPortDriver::LineRate() const {
  return baud_rate_ == brCustom ? baud_rate_value_ : kListedRates[baud_rate_];
}

std::uint32_t TCommPortDriver::LineTimeMs(std::uint32_t count) const {
  const std::uint32_t rate = LineRate();
  if (rate == 0) return 0;
  // The default rounding mode rounds halves to even.
  const double ms = std::nearbyint(count / (rate / kBitsPerByte) * 1000.0);
  return ms >= std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                          : static_cast<std::uint32_t>(ms);
}

std::optional<std::uint32_t> TCommPortDriver::ReadWaiting(std::uint32_t size) {
  std::size_t count = 0;
  const auto n = std::min<std::size_t>(size, buffer_.size());
  if (device_->Read(buffer_.data(), n, count)) return std::nullopt;
  return static_cast<std::uint32_t>(std::min(count, n));
}

void TCommPortDriver::LoseLine() {
  Disconnect();
  if (OnLineLost) OnLineLost(this);
}

void TCommPortDriver::Poll() {
  if (!device_ || polling_) return;
  polling_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{polling_};

  const SerialDevice* const device = device_.get();
  SerialQueueStatus status;
  if (device_->QueryStatus(status)) {
    // No read may be sized from a count the platform did not give.
    LoseLine();
    return;
  }
  std::uint32_t waiting = status.in_queue;

  if (packet_size_ <= 0) {
    if (waiting == 0) return;
    const auto count = ReadWaiting(waiting);
    if (count && *count > 0 && OnReceiveData) OnReceiveData(this, buffer_.data(), *count);
    return;
  }

  // Never more than the receive buffer holds, whatever was configured.
  const auto packet = std::min(static_cast<std::uint32_t>(packet_size_), static_cast<std::uint32_t>(buffer_.size()));
  if (waiting >= packet) {
    do {
      const auto count = ReadWaiting(packet);
      if (count && *count > 0 && OnReceivePacket) {
        OnReceivePacket(this, buffer_.data(), *count);
        if (!StillOpen(device)) return;
      }
      if (packet_start_) *packet_start_ += LineTimeMs(packet);
      waiting -= packet;
      if (waiting == 0) packet_start_.reset();
    } while (waiting >= packet);
    // A remainder is timed from now when nothing was being gathered, so the
    // partial-packet rule delivers it.
    if (waiting > 0 && !packet_start_) packet_start_ = clock_.TickCount();
    return;
  }

  const std::uint32_t now = clock_.TickCount();
  // The difference wraps with the tick, and is signed: a start advanced past
  // now by a packet's line time has not timed out, however it wraps.
  if (packet_timeout_ > 0 && packet_start_ && static_cast<std::int32_t>(now - *packet_start_) > packet_timeout_) {
    packet_start_.reset();
    const auto count = ReadWaiting(waiting);
    if (count && *count > 0 && packet_mode_ == pmPass && OnReceivePacket) OnReceivePacket(this, buffer_.data(), *count);
    return;
  }
  if (waiting > 0 && !packet_start_) packet_start_ = now;
}

std::string TCommPortDriver::PortName() const {
  const std::lock_guard lock(port_name_mutex_);
  return port_name_;
}

void TCommPortDriver::SetPortName(const std::string& name) {
  if (device_) return;
  const std::lock_guard lock(port_name_mutex_);
  port_name_ = name;
}

void TCommPortDriver::SetBaudRate(TBaudRate rate) {
  baud_rate_ = rate;
  if (rate != brCustom) baud_rate_value_ = kListedRates[rate];
  ReapplyIfOpen();
}

void TCommPortDriver::SetBaudRateValue(std::uint32_t rate) {
  baud_rate_value_ = rate;
  baud_rate_ = brCustom;
  ReapplyIfOpen();
}

void TCommPortDriver::SetDataBits(TDataBits bits) {
  data_bits_ = bits;
  ReapplyIfOpen();
}

void TCommPortDriver::SetStopBits(TStopBits bits) {
  stop_bits_ = bits;
  ReapplyIfOpen();
}

void TCommPortDriver::SetParity(TParity parity) {
  parity_ = parity;
  ReapplyIfOpen();
}

void TCommPortDriver::SetHwFlow(THwFlowControl flow) {
  hw_flow_ = flow;
  ReapplyIfOpen();
}

void TCommPortDriver::SetSwFlow(TSwFlowControl flow) {
  sw_flow_ = flow;
  ReapplyIfOpen();
}

void TCommPortDriver::ResizeInBuf(std::uint32_t size) {
  if (device_) return;
  in_buf_size_ = ClampBufSize(size);
  buffer_.assign(in_buf_size_, 0);
}

void TCommPortDriver::SetInBufSize(std::uint32_t size) {
  if (device_) return;
  ResizeInBuf(size);
  // Set again so that a packet still fits the buffer.
  SetPacketSize(packet_size_);
}

void TCommPortDriver::SetOutBufSize(std::uint32_t size) {
  if (device_) return;
  out_buf_size_ = ClampBufSize(size);
}

void TCommPortDriver::SetPacketSize(std::int16_t size) {
  if (size <= 0) {
    packet_size_ = -1;
    return;
  }
  const auto wanted = static_cast<std::uint32_t>(size);
  if (wanted > in_buf_size_) ResizeInBuf(wanted);
  packet_size_ = static_cast<std::int16_t>(std::min(wanted, in_buf_size_));
}

void TCommPortDriver::SetPacketTimeout(std::int32_t ms) { packet_timeout_ = ms <= 0 ? -1 : ms; }

void TCommPortDriver::SetPollingDelay(std::uint16_t ms) {
  ms = std::max(ms, kMinPollingDelay);
  if (ms == polling_delay_) return;
  polling_delay_ = ms;
  if (device_) {
    timer_.Stop();
    StartPolling();
  }
}

void ApplyReceiverLineSettings(TCommPortDriver& port) {
  port.SetHwFlow(hfNONE);
  port.SetPacketSize(256);
  port.SetPacketTimeout(80);
  port.SetPacketMode(pmPass);
  port.SetPollingDelay(20);
  port.SetOutputTimeout(80);
  port.SetInputTimeout(80);
}

}  // namespace orvent

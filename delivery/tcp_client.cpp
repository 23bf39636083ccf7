#include "delivery/tcp_client.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <limits>

namespace orvent {
namespace {

// What one receive takes from the socket at most; more waits for the next.
constexpr std::size_t kReceiveChunk = 16 * 1024;

}  // namespace

void TIdTCPClient::Connect() {
  if (open_) throw EIdAlreadyConnected();
  if (Host.empty()) throw EIdHostRequired();
  if (Port == 0) throw EIdPortRequired();
  try {
    if (Port < 0 || Port > std::numeric_limits<std::uint16_t>::max()) {
      throw EIdSocketError(std::make_error_code(std::errc::invalid_argument));
    }
    Ipv4Address address;
    if (const std::error_code error = ResolveIpv4(Host, address)) throw EIdSocketError(error);
    const NetResult result = socket_.Connect(address, static_cast<std::uint16_t>(Port),
                                             std::chrono::milliseconds(ConnectTimeout), Interrupt);
    switch (result.Status) {
      case NetStatus::Ok:
        break;
      case NetStatus::TimedOut:
        throw EIdConnectTimeout();
      case NetStatus::Failed:
        if (result.Error) throw EIdSocketError(result.Error);
        throw EIdConnectException();
      default:
        RaiseFor(result);
    }
    open_ = true;
    closed_by_peer_ = false;
    received_.clear();
    connection_read_timeout_ = ReadTimeout;
    if (OnConnected) OnConnected(*this);
  } catch (...) {
    socket_.Close();
    open_ = false;
    throw;
  }
}

void TIdTCPClient::RaiseFor(const NetResult& result) {
  switch (result.Status) {
    case NetStatus::TimedOut:
      throw EIdReadTimeout();
    case NetStatus::PeerClosed:
      throw EIdConnClosedGracefully();
    case NetStatus::Stopped:
      throw EIdSocketError(std::make_error_code(std::errc::operation_canceled));
    case NetStatus::Failed:
      if (result.Error) throw EIdSocketError(result.Error);
      throw EIdConnectException();
    case NetStatus::Ok:
      break;
  }
  throw EIdException("Unexpected socket outcome.");
}

void TIdTCPClient::SendBytes(std::span<const std::uint8_t> bytes) {
  if (!open_ || closed_by_peer_) throw EIdConnClosedGracefully();
  const NetResult result = socket_.SendAll(bytes, Interrupt);
  if (result.Status == NetStatus::PeerClosed) {
    closed_by_peer_ = true;
    open_ = false;
    socket_.Close();
  }
  if (!result.ok()) RaiseFor(result);
}

void TIdTCPClient::MoveBuffered(std::vector<std::uint8_t>& buffer, std::size_t& moved, std::size_t count) {
  const std::size_t n = std::min(received_.size(), count - moved);
  buffer.insert(buffer.end(), received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(n));
  received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(n));
  moved += n;
}

void TIdTCPClient::ReceiveBytes(std::vector<std::uint8_t>& buffer, std::size_t count) {
  std::size_t moved = 0;
  MoveBuffered(buffer, moved, count);
  while (moved < count && CheckOpen()) {
    // Each wait starts again whenever bytes arrive, so only silence times
    // out; the deadline, when there is one, bounds the whole read.
    auto wait = std::chrono::milliseconds(std::max(connection_read_timeout_, 0));
    if (read_deadline_) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*read_deadline_ - std::chrono::steady_clock::now());
      if (left.count() <= 0) throw EIdReadTimeout();
      wait = std::min(wait, left);
    }
    const NetResult waited = socket_.WaitReadable(wait, Interrupt);
    if (!waited.ok()) RaiseFor(waited);
    const std::size_t old = received_.size();
    received_.resize(old + kReceiveChunk);
    const NetResult got = socket_.Receive(std::span(received_).subspan(old));
    received_.resize(old + got.Bytes);
    if (got.Status == NetStatus::PeerClosed) {
      closed_by_peer_ = true;
      open_ = false;
      socket_.Close();
      MoveBuffered(buffer, moved, count);
      throw EIdConnClosedGracefully();
    }
    if (!got.ok()) RaiseFor(got);
    MoveBuffered(buffer, moved, count);
  }
}

std::size_t TIdTCPClient::DiscardWaiting() {
  std::size_t discarded = received_.size();
  received_.clear();
  // Called before every frame, where nothing waits as a rule: no allocation.
  std::array<std::uint8_t, 512> chunk;
  while (open_) {
    const NetResult got = socket_.Receive(chunk);
    discarded += got.Bytes;
    if (got.Status == NetStatus::PeerClosed) {
      closed_by_peer_ = true;
      open_ = false;
      socket_.Close();
      break;
    }
    if (!got.ok()) RaiseFor(got);
    if (got.Bytes < chunk.size()) break;
  }
  return discarded;
}

bool TIdTCPClient::CheckOpen() {
  if (open_ && socket_.PeerHasClosed()) {
    closed_by_peer_ = true;
    open_ = false;
    socket_.Close();
  }
  return open_;
}

bool TIdTCPClient::Connected() { return CheckOpen() || !received_.empty(); }

void TIdTCPClient::Disconnect() {
  if (!CheckOpen()) return;
  socket_.Close();
  open_ = false;
  if (OnDisconnected) OnDisconnected(*this);
}

}  // namespace orvent

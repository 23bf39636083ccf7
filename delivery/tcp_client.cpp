#include "delivery/tcp_client.h"

#include <algorithm>
#include <array>
#include <limits>

namespace orvent {
namespace {

// What one receive takes from the socket at most; more waits for the next.
constexpr std::size_t kReceiveChunk = 16 * 1024;

// The longest real wait on the socket before the clock is read again. The
// socket layer wakes this often anyway to look at its stop token, so with
// the real clock the slices cost nothing; with a fake clock they are how
// long a moved clock may go unnoticed.
constexpr std::int64_t kClockSlice = 125;

class TcpClientCategoryImpl final : public std::error_category {
public:
  const char* name() const noexcept override { return "tcp client"; }
  std::string message(int value) const override {
    switch (static_cast<TcpClientError>(value)) {
      // The operator reads these in the status line of a failed attempt.
      case TcpClientError::HostRequired:
        return "не задан адрес сервера";
      case TcpClientError::PortRequired:
        return "не задан порт сервера";
      case TcpClientError::ConnectFailed:
        return "соединение не удалось";
      case TcpClientError::ClosedByPeer:
        return "сервер закрыл соединение";
    }
    return "неизвестная ошибка соединения";
  }
};

// The one translation of the socket layer's outcomes into results.
std::error_code CodeOf(const NetResult& result) {
  switch (result.Status) {
    case NetStatus::Ok:
      return {};
    case NetStatus::TimedOut:
      return std::make_error_code(std::errc::timed_out);
    case NetStatus::Stopped:
      return std::make_error_code(std::errc::operation_canceled);
    case NetStatus::PeerClosed:
      return TcpClientError::ClosedByPeer;
    case NetStatus::Failed:
      break;
  }
  return result.Error ? result.Error : make_error_code(TcpClientError::ConnectFailed);
}

}  // namespace

const std::error_category& TcpClientCategory() {
  static const TcpClientCategoryImpl category;
  return category;
}

BlockingTcpClient::BlockingTcpClient(const Clock& clock, std::stop_token stop) : clock_(clock), stop_(std::move(stop)) {}

std::error_code BlockingTcpClient::Connect(const std::string& host, std::int32_t port,
                                           std::chrono::milliseconds timeout) {
  if (open_) return std::make_error_code(std::errc::already_connected);
  if (host.empty()) return TcpClientError::HostRequired;
  if (port == 0) return TcpClientError::PortRequired;
  if (port < 0 || port > std::numeric_limits<std::uint16_t>::max()) {
    return std::make_error_code(std::errc::invalid_argument);
  }
  IpAddress address;
  if (const std::error_code error = ResolveAddress(host, address)) return error;
  const NetResult result = socket_.Connect(address, static_cast<std::uint16_t>(port), timeout, stop_);
  if (!result.ok()) {
    socket_.Close();
    return CodeOf(result);
  }
  open_ = true;
  ended_ = false;
  received_.clear();
  return {};
}

void BlockingTcpClient::End() {
  ended_ = true;
  open_ = false;
  socket_.Close();
}

namespace {

// A stream socket that failed a send or a receive is of no further use.
bool Ends(const NetResult& result) {
  return result.Status == NetStatus::PeerClosed || result.Status == NetStatus::Failed;
}

}  // namespace

std::error_code BlockingTcpClient::Send(std::span<const std::uint8_t> bytes) {
  if (ended_) return TcpClientError::ClosedByPeer;
  if (!open_) return std::make_error_code(std::errc::not_connected);
  const NetResult result = socket_.SendAll(bytes, stop_);
  if (Ends(result)) End();
  return CodeOf(result);
}

void BlockingTcpClient::MoveBuffered(std::vector<std::uint8_t>& buffer, std::size_t& moved, std::size_t count) {
  const std::size_t n = std::min(received_.size(), count - moved);
  buffer.insert(buffer.end(), received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(n));
  received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(n));
  moved += n;
}

std::error_code BlockingTcpClient::WaitReadable(std::int64_t silence_end_ms, const ReadLimits& limits) {
  const std::int64_t end = limits.DeadlineMs ? std::min(silence_end_ms, *limits.DeadlineMs) : silence_end_ms;
  for (;;) {
    const std::int64_t slice = std::clamp<std::int64_t>(end - NowMs(), 0, kClockSlice);
    const NetResult waited = socket_.WaitReadable(std::chrono::milliseconds(slice), stop_);
    if (waited.Status != NetStatus::TimedOut) return CodeOf(waited);
    if (NowMs() >= end) return std::make_error_code(std::errc::timed_out);
  }
}

std::error_code BlockingTcpClient::Receive(std::vector<std::uint8_t>& buffer, std::size_t count,
                                           const ReadLimits& limits) {
  std::size_t moved = 0;
  MoveBuffered(buffer, moved, count);
  while (moved < count) {
    if (!CheckOpen()) {
      return ended_ ? make_error_code(TcpClientError::ClosedByPeer) : std::make_error_code(std::errc::not_connected);
    }
    if (limits.DeadlineMs && NowMs() >= *limits.DeadlineMs) return std::make_error_code(std::errc::timed_out);
    const std::int64_t silence_end = NowMs() + std::max<std::int64_t>(limits.Silence.count(), 0);
    if (const std::error_code error = WaitReadable(silence_end, limits)) return error;
    const std::size_t old = received_.size();
    received_.resize(old + kReceiveChunk);
    const NetResult got = socket_.Receive(std::span(received_).subspan(old));
    received_.resize(old + got.Bytes);
    if (Ends(got)) End();
    if (!got.ok()) return CodeOf(got);
    MoveBuffered(buffer, moved, count);
  }
  return {};
}

std::error_code BlockingTcpClient::DiscardWaiting(std::size_t& discarded) {
  discarded += received_.size();
  received_.clear();
  // Called before every frame, where nothing waits as a rule: no allocation.
  std::array<std::uint8_t, 512> chunk;
  while (open_) {
    const NetResult got = socket_.Receive(chunk);
    discarded += got.Bytes;
    if (got.Status == NetStatus::PeerClosed) {
      End();
      break;
    }
    if (Ends(got)) End();
    if (!got.ok()) return CodeOf(got);
    if (got.Bytes < chunk.size()) break;
  }
  return {};
}

bool BlockingTcpClient::CheckOpen() {
  if (open_ && socket_.PeerHasClosed()) End();
  return open_;
}

bool BlockingTcpClient::Connected() { return CheckOpen() || !received_.empty(); }

WaitResult BlockingTcpClient::Rest(SocketWait& wait, std::optional<std::chrono::milliseconds> timeout) {
  if (!received_.empty()) return {WaitEnd::SocketReady, {}};
  return wait.Wait(open_ ? &socket_ : nullptr, timeout);
}

bool BlockingTcpClient::Disconnect() {
  if (!CheckOpen()) return false;
  socket_.Close();
  open_ = false;
  return true;
}

}  // namespace orvent

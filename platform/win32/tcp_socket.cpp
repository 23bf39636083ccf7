// Placeholder until the Winsock calls are written: nothing connects.
#include "platform/tcp_socket.h"

namespace orvent {
namespace {
NetResult NotYet() { return {NetStatus::Failed, std::make_error_code(std::errc::function_not_supported), 0}; }
}  // namespace

struct TcpSocket::Native {};
struct TcpListener::Native {};

std::error_code ResolveIpv4(const std::string&, Ipv4Address&) {
  return std::make_error_code(std::errc::function_not_supported);
}
TcpSocket::TcpSocket() = default;
TcpSocket::TcpSocket(std::unique_ptr<Native> native) : native_(std::move(native)) {}
TcpSocket::~TcpSocket() = default;
TcpSocket::TcpSocket(TcpSocket&& other) noexcept = default;
TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept = default;
void TcpSocket::Close() { native_.reset(); }
NetResult TcpSocket::Connect(const Ipv4Address&, std::uint16_t, std::chrono::milliseconds, const std::stop_token&) {
  return NotYet();
}
NetResult TcpSocket::SendAll(std::span<const std::uint8_t>, const std::stop_token&) { return NotYet(); }
NetResult TcpSocket::WaitReadable(std::chrono::milliseconds, const std::stop_token&) { return NotYet(); }
NetResult TcpSocket::Receive(std::span<std::uint8_t>) { return NotYet(); }
bool TcpSocket::PeerHasClosed() { return true; }
std::uint16_t TcpSocket::LocalPort() const { return 0; }
TcpListener::TcpListener() = default;
TcpListener::~TcpListener() = default;
void TcpListener::Close() { native_.reset(); }
std::error_code TcpListener::Listen(const Ipv4Address&, std::uint16_t, int) {
  return std::make_error_code(std::errc::function_not_supported);
}
std::uint16_t TcpListener::LocalPort() const { return 0; }
NetResult TcpListener::Accept(TcpSocket&, std::chrono::milliseconds, const std::stop_token&) { return NotYet(); }

}  // namespace orvent

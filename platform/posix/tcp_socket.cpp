#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/address_lookup.h"
#include "platform/posix/socket_native.h"
#include "platform/socket_address.h"
#include "platform/tcp_socket.h"

namespace orvent {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Long waits are cut into slices (the connect time-out's step of 125 ms) so
// that a stop request is seen soon; data or a finished connect ends a slice
// at once.
constexpr milliseconds kWaitSlice{125};
// A send has no time-out; this only keeps the deadline arithmetic finite.
constexpr milliseconds kNoTimeout = std::chrono::hours(24 * 365);

std::error_code LastError() { return {errno, std::generic_category()}; }

NetResult Failure(std::error_code error) { return {NetStatus::Failed, error, 0}; }

using SocketAddress = SocketAddressOf<socklen_t>;

SocketAddress ToSockaddr(const IpAddress& address, std::uint16_t port) {
  return SocketAddressFor<socklen_t>(address, port);
}

int NewSocket(const IpAddress& address) {
  const int family = address.Kind == IpAddress::Family::V6 ? AF_INET6 : AF_INET;
  return ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
}

// Waits for `events` on the descriptor. Ok when they came (or an error or
// hang-up that the next call will report), TimedOut, Stopped or Failed.
NetResult WaitFor(int fd, short events, milliseconds timeout, const std::stop_token& stop) {
  const auto deadline = steady_clock::now() + std::max(timeout, milliseconds(0));
  for (;;) {
    if (stop.stop_requested()) return {NetStatus::Stopped, {}, 0};
    // Rounded up, so that a wait never ends a fraction of a millisecond early.
    const auto left = std::chrono::ceil<milliseconds>(deadline - steady_clock::now());
    const auto slice = std::clamp(left, milliseconds(0), kWaitSlice);
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(slice.count()));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Failure(LastError());
    }
    if (n > 0) return {};
    if (steady_clock::now() >= deadline) return {NetStatus::TimedOut, {}, 0};
  }
}

}  // namespace

std::error_code LookUpAddress(const std::string& host, IpAddress::Family family, bool numeric_only, IpAddress& out) {
  addrinfo hints{};
  hints.ai_family = family == IpAddress::Family::V6 ? AF_INET6 : AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = numeric_only ? AI_NUMERICHOST : 0;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    // The resolver's own codes are not errno values.
    if (rc == EAI_SYSTEM) return LastError();
    if (rc == EAI_AGAIN) return ResolveError::TryAgain;
    if (rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_ADDRFAMILY || found == nullptr) {
      return ResolveError::NameNotFound;
    }
    return ResolveError::Failed;
  }
  out = AddressOf(found->ai_addr, family);
  ::freeaddrinfo(found);
  return {};
}

struct TcpListener::Native : SocketDescriptor {
  using SocketDescriptor::SocketDescriptor;
};

TcpSocket::TcpSocket() = default;
TcpSocket::TcpSocket(std::unique_ptr<Native> native) : native_(std::move(native)) {}
TcpSocket::~TcpSocket() = default;
TcpSocket::TcpSocket(TcpSocket&& other) noexcept = default;
TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept = default;

void TcpSocket::Close() { native_.reset(); }

NetResult TcpSocket::Connect(const IpAddress& address, std::uint16_t port, milliseconds timeout,
                             const std::stop_token& stop) {
  Close();
  const int fd = NewSocket(address);
  if (fd < 0) return Failure(LastError());
  native_ = std::make_unique<Native>(fd);
  // Small frames with a reply after each: do not hold them back.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const SocketAddress sa = ToSockaddr(address, port);
  if (::connect(fd, sa.get(), sa.length) == 0) return {};
  if (errno != EINPROGRESS && errno != EINTR) {
    const std::error_code error = LastError();
    Close();
    return Failure(error);
  }
  const NetResult waited = WaitFor(fd, POLLOUT, timeout, stop);
  if (!waited.ok()) {
    Close();  // ends the connect in progress
    return waited;
  }
  int so_error = 0;
  socklen_t len = sizeof so_error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) so_error = errno;
  if (so_error != 0) {
    Close();
    return Failure({so_error, std::generic_category()});
  }
  return {};
}

NetResult TcpSocket::SendAll(std::span<const std::uint8_t> bytes, const std::stop_token& stop) {
  if (!native_) return Failure(std::make_error_code(std::errc::not_connected));
  const int fd = native_->fd;
  while (!bytes.empty()) {
    // MSG_NOSIGNAL: a peer that has gone must give an error, not end the process.
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) return {NetStatus::PeerClosed, {}, 0};
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Failure(LastError());
    // No room yet: there is no time-out on a send, only the stop request.
    const NetResult waited = WaitFor(fd, POLLOUT, kNoTimeout, stop);
    if (!waited.ok()) return waited;
  }
  return {};
}

NetResult TcpSocket::WaitReadable(milliseconds timeout, const std::stop_token& stop) {
  if (!native_) return Failure(std::make_error_code(std::errc::not_connected));
  return WaitFor(native_->fd, POLLIN, timeout, stop);
}

NetResult TcpSocket::Receive(std::span<std::uint8_t> into) {
  if (!native_) return Failure(std::make_error_code(std::errc::not_connected));
  for (;;) {
    const ssize_t n = ::recv(native_->fd, into.data(), into.size(), MSG_DONTWAIT);
    if (n > 0) return {NetStatus::Ok, {}, static_cast<std::size_t>(n)};
    if (n == 0) return {NetStatus::PeerClosed, {}, 0};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {};
    return Failure(LastError());
  }
}

bool TcpSocket::PeerHasClosed() {
  if (!native_) return true;
  std::uint8_t byte = 0;
  for (;;) {
    const ssize_t n = ::recv(native_->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return false;
    if (n == 0) return true;
    if (errno == EINTR) continue;
    return errno != EAGAIN && errno != EWOULDBLOCK;
  }
}

namespace {

std::uint16_t LocalPortOf(int fd) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  if (sa.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&sa)->sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in*>(&sa)->sin_port);
}

}  // namespace

std::uint16_t TcpSocket::LocalPort() const { return native_ ? LocalPortOf(native_->fd) : 0; }

TcpListener::TcpListener() = default;
TcpListener::~TcpListener() = default;

void TcpListener::Close() { native_.reset(); }

std::error_code TcpListener::Listen(const IpAddress& address, std::uint16_t port, int backlog) {
  Close();
  const int fd = NewSocket(address);
  if (fd < 0) return LastError();
  native_ = std::make_unique<Native>(fd);
  // A restarted server must get its port back while old connections linger.
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  const SocketAddress sa = ToSockaddr(address, port);
  if (::bind(fd, sa.get(), sa.length) != 0 || ::listen(fd, backlog) != 0) {
    const std::error_code error = LastError();
    Close();
    return error;
  }
  return {};
}

std::uint16_t TcpListener::LocalPort() const { return native_ ? LocalPortOf(native_->fd) : 0; }

NetResult TcpListener::Accept(TcpSocket& out, milliseconds timeout, const std::stop_token& stop) {
  if (!native_) return Failure(std::make_error_code(std::errc::not_connected));
  const int listening = native_->fd;
  const auto deadline = steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
    const NetResult waited = WaitFor(listening, POLLIN, left, stop);
    if (!waited.ok()) return waited;
    const int fd = ::accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      out = TcpSocket(std::make_unique<TcpSocket::Native>(fd));
      return {};
    }
    // The connection may have gone again before we took it; wait for the next.
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) continue;
    return Failure(LastError());
  }
}

}  // namespace orvent

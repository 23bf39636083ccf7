#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/address_lookup.h"
#include "platform/win32/socket_native.h"
#include "platform/socket_address.h"
#include "platform/tcp_socket.h"
#include "platform/win32/win32_error.h"

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

std::error_code LastSocketError() { return Win32Error(static_cast<DWORD>(::WSAGetLastError())); }

NetResult Failure(std::error_code error) { return {NetStatus::Failed, error, 0}; }

// Winsock must be started before the first socket or lookup of the process;
// the first caller starts it, on whichever thread (a function's static is
// made once). It stays up until the process ends: sockets of other threads
// may still be open when statics are destroyed.
std::error_code WinsockStarted() {
  static const int started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data);
  }();
  return started == 0 ? std::error_code{} : Win32Error(static_cast<DWORD>(started));
}

using SocketAddress = SocketAddressOf<int>;

SocketAddress ToSockaddr(const IpAddress& address, std::uint16_t port) {
  return SocketAddressFor<int>(address, port);
}

// Non-blocking, and not inherited by processes the program starts.
std::error_code MakeNonBlocking(SOCKET s) {
  u_long on = 1;
  if (::ioctlsocket(s, FIONBIO, &on) != 0) return LastSocketError();
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return {};
}

std::error_code NewSocket(const IpAddress& address, SOCKET& out) {
  out = INVALID_SOCKET;
  if (const std::error_code error = WinsockStarted()) return error;
  const int family = address.Kind == IpAddress::Family::V6 ? AF_INET6 : AF_INET;
  const SOCKET s = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return LastSocketError();
  if (const std::error_code error = MakeNonBlocking(s)) {
    ::closesocket(s);
    return error;
  }
  out = s;
  return {};
}

// Small frames with a reply after each: do not hold them back.
void NoDelay(SOCKET s) {
  const BOOL on = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

enum class Await { kRead, kWrite, kConnect };

// Waits with select(), the one wait that tells a failed connect the same way
// on every Windows (in the except set). Ok when the socket is ready (or has
// an error that the next call will report), TimedOut, Stopped or Failed.
NetResult WaitFor(SOCKET s, Await what, milliseconds timeout, const std::stop_token& stop) {
  const auto deadline = steady_clock::now() + std::max(timeout, milliseconds(0));
  for (;;) {
    if (stop.stop_requested()) return {NetStatus::Stopped, {}, 0};
    // Rounded up, so that a wait never ends a fraction of a millisecond early.
    const auto left = std::chrono::ceil<milliseconds>(deadline - steady_clock::now());
    const auto slice = std::clamp(left, milliseconds(0), kWaitSlice);
    fd_set readable;
    fd_set writable;
    fd_set failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    if (what == Await::kRead) FD_SET(s, &readable);
    if (what != Await::kRead) FD_SET(s, &writable);
    if (what == Await::kConnect) FD_SET(s, &failed);
    timeval tv{};
    tv.tv_sec = static_cast<long>(slice.count() / 1000);
    tv.tv_usec = static_cast<long>(slice.count() % 1000 * 1000);
    const int n = ::select(0, &readable, &writable, &failed, &tv);
    if (n == SOCKET_ERROR) {
      if (::WSAGetLastError() == WSAEINTR) continue;
      return Failure(LastSocketError());
    }
    if (n > 0) return {};
    if (steady_clock::now() >= deadline) return {NetStatus::TimedOut, {}, 0};
  }
}

std::uint16_t LocalPortOf(SOCKET s) {
  sockaddr_storage sa{};
  int len = sizeof sa;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
  if (sa.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&sa)->sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in*>(&sa)->sin_port);
}

}  // namespace

std::error_code LookUpAddress(const std::string& host, IpAddress::Family family, bool numeric_only, IpAddress& out) {
  if (const std::error_code error = WinsockStarted()) return error;
  addrinfo hints{};
  hints.ai_family = family == IpAddress::Family::V6 ? AF_INET6 : AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = numeric_only ? AI_NUMERICHOST : 0;
  addrinfo* found = nullptr;
  // Winsock's lookup gives its codes as the result, not through WSAGetLastError.
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    if (rc == WSATRY_AGAIN) return ResolveError::TryAgain;
    // WSAEAFNOSUPPORT: a name that has addresses, none of this family.
    if (rc == 0 || rc == WSAHOST_NOT_FOUND || rc == WSANO_DATA || rc == WSAEAFNOSUPPORT) {
      return ResolveError::NameNotFound;
    }
    if (rc == WSANO_RECOVERY) return ResolveError::Failed;
    return Win32Error(static_cast<DWORD>(rc));
  }
  out = AddressOf(found->ai_addr, family);
  ::freeaddrinfo(found);
  return {};
}

struct TcpListener::Native : SocketHandle {
  using SocketHandle::SocketHandle;
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
  SOCKET s = INVALID_SOCKET;
  if (const std::error_code error = NewSocket(address, s)) return Failure(error);
  native_ = std::make_unique<Native>(s);
  NoDelay(s);
  const SocketAddress sa = ToSockaddr(address, port);
  if (::connect(s, sa.get(), sa.length) == 0) return {};
  if (::WSAGetLastError() != WSAEWOULDBLOCK) {
    const std::error_code error = LastSocketError();
    Close();
    return Failure(error);
  }
  const NetResult waited = WaitFor(s, Await::kConnect, timeout, stop);
  if (!waited.ok()) {
    Close();  // ends the connect in progress
    return waited;
  }
  int so_error = 0;
  int len = sizeof so_error;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len) != 0) {
    so_error = ::WSAGetLastError();
  }
  // Only a made connection has a peer: a failed connect whose code was
  // already taken must not pass for one.
  if (so_error == 0) {
    sockaddr_storage peer{};
    int peer_len = sizeof peer;
    if (::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) so_error = ::WSAGetLastError();
  }
  if (so_error != 0) {
    Close();
    return Failure(Win32Error(static_cast<DWORD>(so_error)));
  }
  return {};
}

NetResult TcpSocket::SendAll(std::span<const std::uint8_t> bytes, const std::stop_token& stop) {
  if (!native_) return Failure(std::make_error_code(std::errc::not_connected));
  const SOCKET s = native_->s;
  while (!bytes.empty()) {
    // Windows raises no signal for a peer that has gone: the send fails.
    const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
    const int n = ::send(s, reinterpret_cast<const char*>(bytes.data()), chunk, 0);
    if (n > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) return {NetStatus::PeerClosed, {}, 0};
    const int error = ::WSAGetLastError();
    if (error == WSAEINTR) continue;
    if (error != WSAEWOULDBLOCK) return Failure(Win32Error(static_cast<DWORD>(error)));
    // No room yet: there is no time-out on a send, only the stop request.
    const NetResult waited = WaitFor(s, Await::kWrite, kNoTimeout, stop);
    if (!waited.ok()) return waited;
  }
  return {};
}

NetResult TcpSocket::WaitReadable(milliseconds timeout, const std::stop_token& stop) {
  if (!native_) return Failure(std::make_error_code(std::errc::not_connected));
  return WaitFor(native_->s, Await::kRead, timeout, stop);
}

NetResult TcpSocket::Receive(std::span<std::uint8_t> into) {
  if (!native_) return Failure(std::make_error_code(std::errc::not_connected));
  const int room = static_cast<int>(std::min<std::size_t>(into.size(), INT_MAX));
  for (;;) {
    const int n = ::recv(native_->s, reinterpret_cast<char*>(into.data()), room, 0);
    if (n > 0) return {NetStatus::Ok, {}, static_cast<std::size_t>(n)};
    if (n == 0) return {NetStatus::PeerClosed, {}, 0};
    const int error = ::WSAGetLastError();
    if (error == WSAEINTR) continue;
    if (error == WSAEWOULDBLOCK) return {};
    return Failure(Win32Error(static_cast<DWORD>(error)));
  }
}

bool TcpSocket::PeerHasClosed() {
  if (!native_) return true;
  char byte = 0;
  for (;;) {
    const int n = ::recv(native_->s, &byte, 1, MSG_PEEK);
    if (n > 0) return false;
    if (n == 0) return true;
    const int error = ::WSAGetLastError();
    if (error == WSAEINTR) continue;
    return error != WSAEWOULDBLOCK;
  }
}

std::uint16_t TcpSocket::LocalPort() const { return native_ ? LocalPortOf(native_->s) : 0; }

TcpListener::TcpListener() = default;
TcpListener::~TcpListener() = default;

void TcpListener::Close() { native_.reset(); }

std::error_code TcpListener::Listen(const IpAddress& address, std::uint16_t port, int backlog) {
  Close();
  SOCKET s = INVALID_SOCKET;
  if (const std::error_code error = NewSocket(address, s)) return error;
  native_ = std::make_unique<Native>(s);
  // Windows binds a port again past the TIME_WAIT of old connections without
  // any option; its SO_REUSEADDR would instead let a second program take a
  // port that is listening, and share its connections. Exclusive use makes
  // a busy port fail here, as it does on POSIX.
  const BOOL on = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  const SocketAddress sa = ToSockaddr(address, port);
  if (::bind(s, sa.get(), sa.length) != 0 || ::listen(s, backlog) != 0) {
    const std::error_code error = LastSocketError();
    Close();
    return error;
  }
  return {};
}

std::uint16_t TcpListener::LocalPort() const { return native_ ? LocalPortOf(native_->s) : 0; }

NetResult TcpListener::Accept(TcpSocket& out, milliseconds timeout, const std::stop_token& stop) {
  if (!native_) return Failure(std::make_error_code(std::errc::not_connected));
  const SOCKET listening = native_->s;
  const auto deadline = steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
    const NetResult waited = WaitFor(listening, Await::kRead, left, stop);
    if (!waited.ok()) return waited;
    const SOCKET s = ::accept(listening, nullptr, nullptr);
    if (s != INVALID_SOCKET) {
      // The accepted socket takes the listener's blocking mode; set anyway,
      // with the handle kept from child processes.
      if (const std::error_code error = MakeNonBlocking(s)) {
        ::closesocket(s);
        return Failure(error);
      }
      NoDelay(s);
      out = TcpSocket(std::make_unique<TcpSocket::Native>(s));
      return {};
    }
    // The connection may have gone again before we took it; wait for the next.
    const int error = ::WSAGetLastError();
    if (error == WSAEINTR || error == WSAEWOULDBLOCK || error == WSAECONNRESET || error == WSAECONNABORTED) continue;
    return Failure(Win32Error(static_cast<DWORD>(error)));
  }
}

}  // namespace orvent

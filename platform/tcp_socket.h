#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stop_token>
#include <string>
#include <system_error>

namespace orvent {

// An IPv4 or an IPv6 address, in network order.
struct IpAddress {
  enum class Family : std::uint8_t { V4, V6 };
  Family Kind = Family::V4;
  // The four bytes of an IPv4 address, or the sixteen of an IPv6 one.
  std::array<std::uint8_t, 16> Bytes{};
  // The interface of a link-local IPv6 address (fe80::1%2); 0 otherwise.
  std::uint32_t ScopeId = 0;

  static constexpr IpAddress V4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return {Family::V4, {a, b, c, d}, 0};
  }
  bool operator==(const IpAddress&) const = default;
};

inline constexpr IpAddress kLoopback = IpAddress::V4(127, 0, 0, 1);
inline constexpr IpAddress kLoopbackV6{IpAddress::Family::V6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 0};

// The resolver's outcomes, as codes of a category of their own: a name that
// does not resolve is not the same trouble as a host that cannot be reached.
enum class ResolveError { NameNotFound = 1, TryAgain, Failed };
const std::error_category& ResolveCategory();
inline std::error_code make_error_code(ResolveError e) { return {static_cast<int>(e), ResolveCategory()}; }

// A dotted IPv4 address or an IPv6 one (in brackets or not, with a zone
// after "%" where it has one) is taken as it is; any other text is looked
// up as a host name: its IPv4 address when it has one, as the driver has
// always connected, else its IPv6 address. The lookup is not bounded by any
// time-out of ours. A lookup that fails gives a ResolveError (or the
// system's code where it has one).
std::error_code ResolveAddress(const std::string& host, IpAddress& out);

// How a socket operation ended. `Stopped` means the caller's stop token was
// triggered while the operation waited.
enum class NetStatus { Ok, TimedOut, Stopped, PeerClosed, Failed };

struct NetResult {
  NetStatus Status = NetStatus::Ok;
  std::error_code Error;  // the system's code, set with Failed only
  std::size_t Bytes = 0;  // bytes moved, for Receive

  bool ok() const { return Status == NetStatus::Ok; }
};

// One TCP connection. Every wait is bounded by its time-out and ends early
// (within a fraction of a second) once the stop token is triggered, so a
// thread blocked here can always be stopped. Move-only; closes on destruction.
class TcpSocket {
public:
  TcpSocket();
  ~TcpSocket();
  TcpSocket(TcpSocket&& other) noexcept;
  TcpSocket& operator=(TcpSocket&& other) noexcept;
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  bool IsOpen() const { return native_ != nullptr; }

  // Connects, waiting at most `timeout`. TimedOut or Stopped leave the socket
  // closed, as does any failure.
  NetResult Connect(const IpAddress& address, std::uint16_t port, std::chrono::milliseconds timeout,
                    const std::stop_token& stop);

  // Sends the whole block, however long the peer takes to make room.
  NetResult SendAll(std::span<const std::uint8_t> bytes, const std::stop_token& stop);

  // Waits until bytes (or the peer's close) can be received.
  NetResult WaitReadable(std::chrono::milliseconds timeout, const std::stop_token& stop);

  // Receives what is there without waiting: Ok with Bytes (0 when nothing
  // yet), PeerClosed, or Failed.
  NetResult Receive(std::span<std::uint8_t> into);

  // True when, without waiting, the peer is seen to have closed (or reset)
  // the connection and no byte of it is left to read.
  bool PeerHasClosed();

  void Close();

  // The local port (listening sockets' peers and tests use it).
  std::uint16_t LocalPort() const;

private:
  friend class TcpListener;
  friend class SocketWait;
  // The system's socket, in the platform's own files; none while closed.
  struct Native;
  explicit TcpSocket(std::unique_ptr<Native> native);
  std::unique_ptr<Native> native_;
};

// A listening socket, for the message-server simulator and test servers.
class TcpListener {
public:
  TcpListener();
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // Port 0 takes any free port; LocalPort() tells which.
  std::error_code Listen(const IpAddress& address, std::uint16_t port, int backlog = 16);
  std::uint16_t LocalPort() const;

  // Waits at most `timeout` for a connection.
  NetResult Accept(TcpSocket& out, std::chrono::milliseconds timeout, const std::stop_token& stop);

  void Close();

private:
  struct Native;
  std::unique_ptr<Native> native_;
};

}  // namespace orvent

template <>
struct std::is_error_code_enum<orvent::ResolveError> : std::true_type {};

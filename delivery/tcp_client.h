#pragma once

#include <cstddef>
#include <cstdint>
#include <chrono>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <system_error>
#include <vector>

#include "platform/tcp_socket.h"

namespace orvent {

// Every failure of the TCP client is one of these; the link tells only this
// family apart from other failures. Their texts are shown nowhere.
class EIdException : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};
class EIdAlreadyConnected : public EIdException {
public:
  EIdAlreadyConnected() : EIdException("Already connected.") {}
};
class EIdHostRequired : public EIdException {
public:
  EIdHostRequired() : EIdException("A host is required.") {}
};
class EIdPortRequired : public EIdException {
public:
  EIdPortRequired() : EIdException("A port is required.") {}
};
class EIdConnectTimeout : public EIdException {
public:
  EIdConnectTimeout() : EIdException("Connect timed out.") {}
};
// Carries the system's code. A wait that ended because the client's stop
// token was triggered gives std::errc::operation_canceled.
class EIdSocketError : public EIdException {
public:
  explicit EIdSocketError(std::error_code code) : EIdException("Socket error: " + code.message()), code_(code) {}
  std::error_code Code() const { return code_; }

private:
  std::error_code code_;
};
class EIdConnectException : public EIdException {
public:
  EIdConnectException() : EIdException("Connect failed.") {}
};
class EIdReadTimeout : public EIdException {
public:
  EIdReadTimeout() : EIdException("Read timed out.") {}
};
class EIdConnClosedGracefully : public EIdException {
public:
  EIdConnClosedGracefully() : EIdException("Connection closed gracefully.") {}
};

// A small blocking TCP client, one connection per object: the link makes a
// new one for every attempt. Only one thread uses it; its handlers run on
// that thread, inside Connect and Disconnect.
class TIdTCPClient {
public:
  using Handler = std::function<void(TIdTCPClient& Sender)>;

  TIdTCPClient() = default;
  // Closes an open connection without running OnDisconnected.
  ~TIdTCPClient() = default;
  TIdTCPClient(const TIdTCPClient&) = delete;
  TIdTCPClient& operator=(const TIdTCPClient&) = delete;

  std::string Host;
  std::int32_t Port = 0;
  std::int32_t ConnectTimeout = 0;  // ms
  std::int32_t ReadTimeout = 0;     // ms; each connection starts with it
  Handler OnConnected;
  Handler OnDisconnected;
  // Ends any wait of the client early (with EIdSocketError, operation
  // canceled) once triggered, so that the owning thread can be stopped.
  std::stop_token Interrupt;

  // Establishes the connection or raises; OnConnected has run when it returns.
  void Connect();
  // Sends the whole block or raises.
  void SendBytes(std::span<const std::uint8_t> bytes);
  // Appends up to `count` received bytes to `buffer`. Returns normally with
  // `count` bytes, or with fewer when the connection was found closed before
  // a wait; raises EIdReadTimeout after ConnectionReadTimeout ms without any
  // byte, EIdConnClosedGracefully when the peer closes during a wait, and
  // EIdSocketError on a system error. Bytes that arrived are appended before
  // anything is raised; bytes beyond `count` are kept for the next call.
  void ReceiveBytes(std::vector<std::uint8_t>& buffer, std::size_t count);
  // Takes every byte that has arrived and is not read yet, without waiting,
  // and throws it away; returns how many there were. Raises as ReceiveBytes
  // on a system error.
  std::size_t DiscardWaiting();
  // True while the connection is open or received bytes remain unread.
  bool Connected();
  // Closes an open connection and then runs OnDisconnected; nothing when it
  // was never open or is already closed.
  void Disconnect();

  std::int32_t ConnectionReadTimeout() const { return connection_read_timeout_; }
  void SetConnectionReadTimeout(std::int32_t ms) { connection_read_timeout_ = ms; }
  // Past this moment every wait of ReceiveBytes ends at once with
  // EIdReadTimeout, however the bytes trickle; none when empty.
  void SetReadDeadline(std::optional<std::chrono::steady_clock::time_point> deadline) { read_deadline_ = deadline; }

private:
  // Finds a close by the peer without waiting; true while our side is open.
  bool CheckOpen();
  void MoveBuffered(std::vector<std::uint8_t>& buffer, std::size_t& moved, std::size_t count);
  [[noreturn]] void RaiseFor(const NetResult& result);

  TcpSocket socket_;
  bool open_ = false;
  bool closed_by_peer_ = false;
  std::vector<std::uint8_t> received_;  // received, not yet taken
  std::int32_t connection_read_timeout_ = 0;
  std::optional<std::chrono::steady_clock::time_point> read_deadline_;
};

}  // namespace orvent

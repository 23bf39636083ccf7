#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <system_error>
#include <type_traits>
#include <vector>

#include "platform/clock.h"
#include "platform/socket_wait.h"
#include "platform/tcp_socket.h"

namespace orvent {

// Outcomes of the client that the system has no code for. Everything else
// the client returns is a code of the system (compared against std::errc
// conditions) or one of these std::errc conditions:
//   timed_out            a connect or a read waited as long as it may
//   operation_canceled   the client's stop token ended a wait
//   already_connected    Connect on an open connection
//   not_connected        a send on a connection that we closed or never opened
enum class TcpClientError {
  HostRequired = 1,  // Connect without a host
  PortRequired,      // Connect with port 0
  ConnectFailed,     // the system refused the connect without saying why
  ClosedByPeer,      // the peer closed the connection (or it ended before); its bytes were all taken
};
const std::error_category& TcpClientCategory();
inline std::error_code make_error_code(TcpClientError e) { return {static_cast<int>(e), TcpClientCategory()}; }

// How long a read may wait, in milliseconds of the client's clock.
struct ReadLimits {
  // Each wait for more bytes; it starts again whenever bytes arrive, so
  // only silence runs it out.
  std::chrono::milliseconds Silence{0};
  // The whole read ends here (the clock's MonotonicMs), however the bytes
  // trickle; none when empty.
  std::optional<std::int64_t> DeadlineMs;
};

// A small blocking TCP client, one connection per object: the link makes a
// new one for every attempt. Only one thread uses it. Every outcome a caller
// has to handle comes back as a result; nothing is raised.
//
// A connection that the peer closes or resets, or that fails a send or a
// receive, has ended: the client closes its side at once (Ended() says so),
// returns the system's code (or ClosedByPeer) for the call that found it and
// ClosedByPeer for every later send. A time-out or a stop ends nothing.
//
// Read waits run on the injected clock. The socket is waited on in slices
// no longer than the platform's own (see kClockSlice in tcp_client.cpp) and
// the clock is read again after each, so a test can end a wait by moving a
// fake clock, while the real clock costs no more wake-ups than the socket
// layer makes anyway. The connect time-out is the socket layer's own and
// runs in real time.
class BlockingTcpClient {
public:
  // `clock` must outlive the client. `stop` ends every wait early once
  // triggered (operation_canceled), so that the owning thread can be stopped.
  explicit BlockingTcpClient(const Clock& clock, std::stop_token stop = {});
  // Closes an open connection.
  ~BlockingTcpClient() = default;
  BlockingTcpClient(const BlockingTcpClient&) = delete;
  BlockingTcpClient& operator=(const BlockingTcpClient&) = delete;

  // Resolves `host` and connects, waiting at most `timeout`. The client is
  // closed again after any failure.
  std::error_code Connect(const std::string& host, std::int32_t port, std::chrono::milliseconds timeout);
  // Sends the whole block. A failure may leave part of it sent.
  std::error_code Send(std::span<const std::uint8_t> bytes);
  // Appends up to `count` received bytes to `buffer`; success means all
  // `count` were appended. Bytes that arrived are appended whatever the
  // outcome: timed_out, ClosedByPeer (also when the close was found before a
  // wait) or a system error; bytes beyond `count` are kept for the next call.
  std::error_code Receive(std::vector<std::uint8_t>& buffer, std::size_t count, const ReadLimits& limits);
  // Takes every byte that has arrived and is not read yet, without waiting,
  // throws it away and adds their number to `discarded`. A close by the peer
  // found on the way is no error here; a system error is returned.
  std::error_code DiscardWaiting(std::size_t& discarded);
  // True while the connection is open or received bytes remain unread.
  bool Connected();
  // True once the connection was found ended (see above); a close of our
  // own is no end.
  bool Ended() const { return ended_; }
  // The owning thread's rest: until `wait` is woken, until bytes or the end
  // of the connection can be taken (at once when received bytes wait), or
  // until `timeout` has passed. Without an open connection only the wake-up
  // and the time count.
  WaitResult Rest(SocketWait& wait, std::optional<std::chrono::milliseconds> timeout);
  // Closes an open connection; true when there was one to close (a close
  // by the peer that was already found does not count).
  bool Disconnect();

  // The client's clock now, for deadlines of ReadLimits.
  std::int64_t NowMs() const { return clock_.MonotonicMs(); }

private:
  // Finds a close by the peer without waiting; true while our side is open.
  bool CheckOpen();
  // The connection has ended: our side is closed too.
  void End();
  void MoveBuffered(std::vector<std::uint8_t>& buffer, std::size_t& moved, std::size_t count);
  // Waits until bytes can be received, the limits run out or the peer closes.
  std::error_code WaitReadable(std::int64_t silence_end_ms, const ReadLimits& limits);

  const Clock& clock_;
  const std::stop_token stop_;
  TcpSocket socket_;
  bool open_ = false;
  bool ended_ = false;
  std::vector<std::uint8_t> received_;  // received, not yet taken
};

}  // namespace orvent

template <>
struct std::is_error_code_enum<orvent::TcpClientError> : std::true_type {};

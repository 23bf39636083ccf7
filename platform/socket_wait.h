#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <system_error>

#include "platform/tcp_socket.h"

namespace orvent {

// How a SocketWait ended.
enum class WaitEnd {
  Woken,        // Wake was called (before the wait or during it)
  SocketReady,  // the socket can be read without waiting: bytes, the peer's close, a reset
  TimedOut,
  Failed,       // the system's wait failed; Error says why
};

struct WaitResult {
  WaitEnd End = WaitEnd::TimedOut;
  std::error_code Error;  // with Failed only
};

// The rest of a thread that keeps one connection and takes work from other
// threads: a single wait on "the socket can be read or has ended", "another
// thread has something new", and a time limit, so that the end of a
// connection is seen the moment it comes and an idle thread makes no
// wake-ups of its own.
class SocketWait {
public:
  // Throws std::system_error when the system cannot make its wake-up.
  SocketWait();
  ~SocketWait();
  SocketWait(const SocketWait&) = delete;
  SocketWait& operator=(const SocketWait&) = delete;

  // Any thread: ends the wait under way, or the next one at once. Wakes
  // that come together end one wait.
  void Wake();

  // Waits until woken, until `socket` (when given and open) is readable or
  // has ended, or until `timeout` has passed (none: no limit). Woken takes
  // the wake-up: whatever a waker did before its Wake is there to be seen
  // once the wait has returned, and a Wake after that ends the next wait.
  // One thread waits at a time.
  WaitResult Wait(const TcpSocket* socket, std::optional<std::chrono::milliseconds> timeout);

private:
  struct Native;
  std::unique_ptr<Native> native_;
};

}  // namespace orvent

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "platform/posix/socket_native.h"
#include "platform/socket_wait.h"

namespace orvent {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// What poll reports for a socket whose reader must look: bytes, and also the
// end of the connection (the peer's close, a reset, an error).
constexpr short kReadable = POLLIN | POLLHUP | POLLERR | POLLNVAL;

}  // namespace

struct SocketWait::Native {
  int wake = -1;  // an eventfd: one descriptor, and writes that never block
};

SocketWait::SocketWait() : native_(std::make_unique<Native>()) {
  native_->wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (native_->wake < 0) throw std::system_error(errno, std::generic_category(), "socket wait wake-up");
}

SocketWait::~SocketWait() { ::close(native_->wake); }

void SocketWait::Wake() {
  const std::uint64_t one = 1;
  // EAGAIN: the counter is full, so the wait has been woken already.
  [[maybe_unused]] const ssize_t put = ::write(native_->wake, &one, sizeof one);
}

WaitResult SocketWait::Wait(const TcpSocket* socket, std::optional<milliseconds> timeout) {
  const auto deadline = timeout ? std::optional(steady_clock::now() + std::max(*timeout, milliseconds(0))) : std::nullopt;
  // Poll passes over a negative descriptor: without a socket only the
  // wake-up and the time count.
  const int fd = socket != nullptr && socket->native_ ? socket->native_->fd : -1;
  pollfd set[2] = {{native_->wake, POLLIN, 0}, {fd, POLLIN, 0}};
  for (;;) {
    int wait_ms = -1;
    if (deadline) {
      // Rounded up, so that a wait never ends a fraction of a millisecond early.
      const auto left = std::chrono::ceil<milliseconds>(*deadline - steady_clock::now());
      wait_ms = static_cast<int>(std::clamp<milliseconds::rep>(left.count(), 0, INT_MAX));
    }
    const int n = ::poll(set, 2, wait_ms);
    if (n < 0) {
      if (errno == EINTR) continue;
      return {WaitEnd::Failed, {errno, std::generic_category()}};
    }
    if ((set[0].revents & POLLIN) != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = ::read(native_->wake, &count, sizeof count);
      return {WaitEnd::Woken, {}};
    }
    if ((set[1].revents & kReadable) != 0) return {WaitEnd::SocketReady, {}};
    if (n == 0) return {WaitEnd::TimedOut, {}};
  }
}

}  // namespace orvent

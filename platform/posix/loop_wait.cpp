#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <vector>

#include "platform/loop_wait.h"

namespace orvent {
namespace {

// What poll reports for a watched descriptor that its callback must hear
// about: data, and also the end of it (hang-up, error, a closed descriptor),
// which would otherwise make poll return at once, pass after pass, with no
// one told.
constexpr short kReadyEvents = POLLIN | POLLHUP | POLLERR | POLLNVAL;

}  // namespace

struct LoopWakeup::Native {
  int fd = -1;
};

LoopWakeup::LoopWakeup() : native_(std::make_unique<Native>()) {
  native_->fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (native_->fd < 0) throw std::system_error(errno, std::system_category(), "event loop wake-up");
}

LoopWakeup::~LoopWakeup() { close(native_->fd); }

NativeWaitHandle LoopWakeup::Handle() const { return native_->fd; }

void LoopWakeup::Raise() {
  const std::uint64_t one = 1;
  // EAGAIN: the counter is full, so the loop has been woken already.
  [[maybe_unused]] const ssize_t put = write(native_->fd, &one, sizeof one);
}

void LoopWakeup::Clear() {
  std::uint64_t count = 0;
  // EAGAIN: it was cleared already; nothing else can fail on our own eventfd.
  [[maybe_unused]] const ssize_t got = read(native_->fd, &count, sizeof count);
}

struct HandleWait::Native {
  std::vector<pollfd> set;
};

HandleWait::HandleWait() : native_(std::make_unique<Native>()) {}
HandleWait::~HandleWait() = default;

void HandleWait::Clear() { native_->set.clear(); }

void HandleWait::Add(NativeWaitHandle handle) {
  // Poll passes over negative descriptors: a handle that could not be made
  // (-1) is watched harmlessly and never ready.
  const int fd = handle >= 0 && handle <= INT_MAX ? static_cast<int>(handle) : -1;
  native_->set.push_back(pollfd{fd, POLLIN, 0});
}

std::error_code HandleWait::Wait(int timeout_ms) {
  if (poll(native_->set.data(), static_cast<nfds_t>(native_->set.size()), timeout_ms) >= 0) return {};
  return {errno, std::system_category()};
}

bool HandleWait::Ready(std::size_t index) const { return (native_->set[index].revents & kReadyEvents) != 0; }

}  // namespace orvent

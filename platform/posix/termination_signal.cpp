#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "platform/termination_signal.h"

namespace orvent {

struct TerminationSignal::Native {
  int fd = -1;
};

TerminationSignal::TerminationSignal() : native_(std::make_unique<Native>()) {
  // A write into a connection the other end has closed (the display's, when
  // the desktop session ends) must fail with EPIPE, where the program can
  // still end in order, instead of ending it on the spot.
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  // A closed terminal or a logout ends the program as any request does.
  sigaddset(&set, SIGHUP);
  sigaddset(&set, SIGQUIT);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
  native_->fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

TerminationSignal::~TerminationSignal() {
  if (native_->fd >= 0) close(native_->fd);
}

std::optional<NativeWaitHandle> TerminationSignal::WaitHandle() const {
  if (native_->fd < 0) return std::nullopt;
  return native_->fd;
}

int TerminationSignal::Take() {
  signalfd_siginfo info{};
  if (native_->fd < 0 || read(native_->fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return 0;
  return static_cast<int>(info.ssi_signo);
}

}  // namespace orvent

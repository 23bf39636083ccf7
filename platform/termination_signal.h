#pragma once

namespace orvent {

// A request from outside to end the program (SIGTERM, SIGINT, SIGHUP,
// SIGQUIT), turned into a descriptor that the window's event loop can watch,
// so the program closes in order on its own thread instead of inside a
// signal handler.
class TerminationSignal {
public:
  // Must run before any thread starts: the signals are blocked for the
  // calling thread and every thread it starts afterwards. SIGPIPE is
  // ignored: a write to a closed connection fails instead.
  TerminationSignal();
  ~TerminationSignal();
  TerminationSignal(const TerminationSignal&) = delete;
  TerminationSignal& operator=(const TerminationSignal&) = delete;

  // Readable once a request has arrived; -1 when none could be set up.
  int Descriptor() const { return fd_; }
  // Takes the pending request; the signal's number, or 0 when none.
  int Take();

private:
  int fd_ = -1;
};

}  // namespace orvent

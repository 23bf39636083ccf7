#pragma once

#include <memory>
#include <optional>

#include "platform/event_loop.h"

namespace orvent {

// A request from outside to end the program, turned into a handle that the
// program's event loop can watch, so the program closes in order on its own
// thread instead of inside a signal handler. POSIX: SIGTERM, SIGINT, SIGHUP,
// SIGQUIT. Windows: the console's Ctrl+C, Ctrl+Break and close, a logoff and
// a shutdown; the system ends the process once the handler of the last three
// returns, so that handler waits (a few seconds at most) until this object is
// destroyed, which the program does after its orderly end.
class TerminationSignal {
public:
  // Must run before any thread starts: the signals are blocked for the
  // calling thread and every thread it starts afterwards. SIGPIPE is
  // ignored: a write to a closed connection fails instead.
  TerminationSignal();
  ~TerminationSignal();
  TerminationSignal(const TerminationSignal&) = delete;
  TerminationSignal& operator=(const TerminationSignal&) = delete;

  // Ready once a request has arrived; none when it could not be set up.
  std::optional<NativeWaitHandle> WaitHandle() const;
  // Takes the pending request: a number naming it (the signal's number on
  // POSIX, the control event's plus one on Windows), or 0 when none.
  int Take();

private:
  struct Native;
  std::unique_ptr<Native> native_;
};

}  // namespace orvent

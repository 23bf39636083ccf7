#pragma once

#include <functional>
#include <memory>

namespace orvent {

// Runs calls of a worker thread on the window thread, and waits for them
// where the worker needs the result, until shutdown begins: from then on
// nothing waits any more and calls not yet run are skipped. That is what lets the window thread stop a worker
// that is blocked in such a call without a deadlock.
class WindowDispatcher {
public:
  // Queues a call to run on the window thread later (in the app a queued
  // invocation on the window's event loop; in tests a direct call or a queue).
  using Poster = std::function<void(std::function<void()>)>;

  explicit WindowDispatcher(Poster post);

  // Runs `call` on the window thread and waits until it has run; what the
  // call raises is raised here. False when shutdown had begun or begins
  // meanwhile (the call then may not run).
  bool RunAndWait(std::function<void()> call);

  // Queues `call` to run on the window thread and returns at once: for what
  // a worker only reports. Skipped once shutdown has begun, also when it
  // begins before the call's turn comes.
  void Post(std::function<void()> call);

  // Wakes every waiter; every later RunAndWait returns false at once.
  void BeginShutdown();

private:
  struct State;
  Poster post_;
  std::shared_ptr<State> state_;
};

}  // namespace orvent

#pragma once

#include <functional>
#include <memory>

namespace orvent {

// Runs calls of a worker thread on the thread of the main event loop, and
// waits for them where the worker needs the result, until shutdown begins:
// from then on nothing waits any more and calls not yet run are skipped.
// That is what lets the main thread stop a worker that is blocked in such a
// call without a deadlock.
class LoopDispatcher {
public:
  // Queues a call to run on the main thread later (a post to its event loop;
  // in tests a direct call or a queue).
  using Poster = std::function<void(std::function<void()>)>;

  explicit LoopDispatcher(Poster post);

  // Runs `call` on the main thread and waits until it has run; what the
  // call raises is raised here. False when shutdown had begun or begins
  // meanwhile (the call then may not run).
  bool RunAndWait(std::function<void()> call);

  // Queues `call` to run on the main thread and returns at once: for what
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

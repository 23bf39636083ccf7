#pragma once

#include <functional>
#include <memory>

namespace orvent {

// Hands calls of a worker thread to the thread of the main event loop
// without waiting for them, until shutdown begins: from then on calls not
// yet run are skipped, so that nothing runs against a station that is ending.
class LoopDispatcher {
public:
  // Queues a call to run on the main thread later (a post to its event loop;
  // in tests a direct call or a queue).
  using Poster = std::function<void(std::function<void()>)>;

  explicit LoopDispatcher(Poster post);

  // Queues `call` to run on the main thread and returns at once: for what
  // a worker only reports. Skipped once shutdown has begun, also when it
  // begins before the call's turn comes.
  void Post(std::function<void()> call);

  // Calls not yet run, and every later one, are skipped.
  void BeginShutdown();

private:
  struct State;
  Poster post_;
  // Shared with every queued call, so that a call that runs after the
  // dispatcher has gone touches nothing that has gone.
  std::shared_ptr<State> state_;
};

}  // namespace orvent

#include "delivery/loop_dispatcher.h"

#include <condition_variable>
#include <exception>
#include <mutex>

namespace orvent {

// Shared with every queued call, so that a call that runs after its waiter
// gave up touches nothing that has gone.
struct LoopDispatcher::State {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool shutdown = false;
};

LoopDispatcher::LoopDispatcher(Poster post) : post_(std::move(post)), state_(std::make_shared<State>()) {}

bool LoopDispatcher::RunAndWait(std::function<void()> call) {
  struct Call {
    std::function<void()> body;
    bool done = false;
    std::exception_ptr failure;
  };
  auto pending = std::make_shared<Call>(Call{std::move(call), false, nullptr});
  {
    std::lock_guard lock(state_->mutex);
    if (state_->shutdown) return false;
  }
  std::weak_ptr<State> weak_state = state_;
  try {
    post_([weak_state, pending] {
      const auto state = weak_state.lock();
      if (!state) return;
      {
        std::lock_guard lock(state->mutex);
        if (state->shutdown) return;
      }
      // No lock is held while the call runs. A call that fails still counts
      // as run (its waiter must not wait for ever), and its failure goes to
      // the waiter: the main event loop has no one to tell.
      std::exception_ptr failure;
      try {
        pending->body();
      } catch (...) {
        failure = std::current_exception();
      }
      std::lock_guard lock(state->mutex);
      pending->failure = failure;
      pending->done = true;
      state->done_cv.notify_all();
    });
  } catch (...) {
    return false;
  }
  std::unique_lock lock(state_->mutex);
  state_->done_cv.wait(lock, [&] { return pending->done || state_->shutdown; });
  if (pending->failure) std::rethrow_exception(pending->failure);
  return pending->done;
}

void LoopDispatcher::Post(std::function<void()> call) {
  {
    std::lock_guard lock(state_->mutex);
    if (state_->shutdown) return;
  }
  std::weak_ptr<State> weak_state = state_;
  post_([weak_state, call = std::move(call)] {
    const auto state = weak_state.lock();
    if (!state) return;
    {
      std::lock_guard lock(state->mutex);
      if (state->shutdown) return;
    }
    call();
  });
}

void LoopDispatcher::BeginShutdown() {
  std::lock_guard lock(state_->mutex);
  state_->shutdown = true;
  state_->done_cv.notify_all();
}

}  // namespace orvent

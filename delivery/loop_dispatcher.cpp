#include "delivery/loop_dispatcher.h"

#include <mutex>

namespace orvent {

struct LoopDispatcher::State {
  std::mutex mutex;
  bool shutdown = false;
};

LoopDispatcher::LoopDispatcher(Poster post) : post_(std::move(post)), state_(std::make_shared<State>()) {}

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
}

}  // namespace orvent

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/loop_wait.h"
#include "platform/poll_event_loop.h"

namespace orvent {
namespace {

const Clock& SystemMonotonic() {
  static const SystemClock clock;
  return clock;
}

// The first due time after `now` of a timer last due at `due`: periods that
// went by meanwhile are skipped, not made up in a burst, and the timer keeps
// its phase.
std::int64_t NextDueAfter(std::int64_t due, std::int64_t period, std::int64_t now) {
  if (due > now) return due;
  return due + period * ((now - due) / period + 1);
}

// The posted calls and the loop's wake-up: the one part of the loop that
// other threads touch. Posters hold it weakly, so it goes (and its
// wake-up is closed) with the loop, apart from a Post that is under way.
class Mailbox {
public:
  Mailbox() = default;
  Mailbox(const Mailbox&) = delete;
  Mailbox& operator=(const Mailbox&) = delete;

  NativeWaitHandle WakeHandle() const { return wakeup_.Handle(); }

  void Post(std::function<void()> call) {
    if (!call) return;
    bool was_empty = false;
    {
      std::lock_guard lock(mutex_);
      if (!open_) return;
      was_empty = calls_.empty();
      calls_.push_back(std::move(call));
    }
    // Only the first call of a batch wakes the loop: the loop takes the whole
    // queue at once, after it has cleared the wake-up, so a call that finds
    // the queue not empty is taken with the one that woke it.
    if (was_empty) wakeup_.Raise();
  }

  void Quit() {
    {
      std::lock_guard lock(mutex_);
      open_ = false;
    }
    quit_.store(true);
    wakeup_.Raise();
  }
  bool QuitRequested() const { return quit_.load(); }

  // Adds the calls posted so far behind `taken`.
  void TakeInto(std::deque<std::function<void()>>& taken) {
    std::lock_guard lock(mutex_);
    if (taken.empty()) {
      taken.swap(calls_);
      return;
    }
    std::move(calls_.begin(), calls_.end(), std::back_inserter(taken));
    calls_.clear();
  }

  // Hands out the calls not yet run, to be destroyed outside the lock: a
  // call's captures may post or lock on their own when they go.
  std::deque<std::function<void()>> Close() {
    std::deque<std::function<void()>> left;
    std::lock_guard lock(mutex_);
    open_ = false;
    left.swap(calls_);
    return left;
  }

  // Clears the wake-up once the loop has seen it.
  void Drain() { wakeup_.Clear(); }

private:
  LoopWakeup wakeup_;
  std::atomic<bool> quit_{false};
  std::mutex mutex_;
  std::deque<std::function<void()>> calls_;  // guarded by mutex_
  bool open_ = true;                         // guarded by mutex_
};

// Clears a vector of the pass however the pass ends, keeping its capacity,
// so that stopped callbacks go as soon as the pass is over.
template <typename T>
class ClearOnExit {
public:
  explicit ClearOnExit(std::vector<T>& v) : v_(v) {}
  ~ClearOnExit() { v_.clear(); }
  ClearOnExit(const ClearOnExit&) = delete;
  ClearOnExit& operator=(const ClearOnExit&) = delete;

private:
  std::vector<T>& v_;
};

}  // namespace

struct PollEventLoop::State {
  // A stopped timer or watch leaves the maps at once; the pass that holds it
  // keeps it alive until the pass ends, and skips it by its flag. That is
  // what lets a callback stop itself or any other while the pass goes on.
  struct Timer {
    TimerId id;
    std::int64_t period_ms;
    std::int64_t due_ms;
    std::function<void()> callback;
    bool stopped = false;
  };
  struct Watch {
    NativeWaitHandle handle;
    std::function<void()> on_ready;
    bool stopped = false;
  };

  explicit State(const Clock& c) : clock(c), mailbox(std::make_shared<Mailbox>()) {}

  std::optional<std::int64_t> NextDueMs() const {
    std::optional<std::int64_t> next;
    for (const auto& [id, timer] : timers) {
      if (!next || timer->due_ms < *next) next = timer->due_ms;
    }
    return next;
  }

  // The wait's timeout in milliseconds: -1 without limit.
  int WaitTimeoutMs() const {
    if (!taken.empty()) return 0;
    const std::optional<std::int64_t> next = NextDueMs();
    if (!next) return -1;
    // Whole milliseconds on both sides: the wait never returns before its
    // timeout, so the timer is due when it does, and the loop does not
    // spin through the last fraction of a millisecond.
    const std::int64_t left = *next - clock.MonotonicMs();
    return static_cast<int>(std::clamp<std::int64_t>(left, 0, INT_MAX));
  }

  void BuildWaitSet() {
    wait_set.Clear();
    polled.clear();
    wait_set.Add(mailbox->WakeHandle());
    polled.push_back(nullptr);
    for (const auto& [id, watch] : watches) {
      wait_set.Add(watch->handle);
      polled.push_back(watch);
    }
  }

  void RunDueTimers() {
    const ClearOnExit clear(due);
    const std::int64_t now = clock.MonotonicMs();
    for (const auto& [id, timer] : timers) {
      if (timer->due_ms <= now) due.push_back(timer);
    }
    std::sort(due.begin(), due.end(), [](const auto& a, const auto& b) {
      return std::tie(a->due_ms, a->id) < std::tie(b->due_ms, b->id);
    });
    for (const auto& timer : due) {
      if (mailbox->QuitRequested()) return;
      if (timer->stopped) continue;
      // Set before the call, so that a callback that throws leaves its timer
      // at its next period rather than due again at once.
      timer->due_ms = NextDueAfter(timer->due_ms, timer->period_ms, now);
      if (timer->callback) timer->callback();
      if (!timer->stopped) timer->due_ms = NextDueAfter(timer->due_ms, timer->period_ms, clock.MonotonicMs());
    }
  }

  void RunReadyWatches() {
    for (std::size_t i = 1; i < polled.size(); ++i) {
      if (!wait_set.Ready(i)) continue;
      if (mailbox->QuitRequested()) return;
      if (polled[i]->stopped) continue;
      if (polled[i]->on_ready) polled[i]->on_ready();
    }
  }

  // `woken`: the wait saw the wake-up. It is cleared here, just before the queue
  // is taken, and not when the wait returns: a pass that a throwing callback
  // ended early leaves it set, so the calls it did not take wake the next Run.
  void RunPosted(bool woken) {
    if (woken) mailbox->Drain();
    mailbox->TakeInto(taken);
    while (!taken.empty()) {
      if (mailbox->QuitRequested()) return;
      // Off the queue before it runs: a call that throws is not run again.
      const std::function<void()> call = std::move(taken.front());
      taken.pop_front();
      call();
    }
  }

  void DropPosted() {
    const std::deque<std::function<void()>> left = mailbox->Close();
    taken.clear();
  }

  const Clock& clock;
  const std::shared_ptr<Mailbox> mailbox;
  std::uint64_t next_id = 1;
  std::map<TimerId, std::shared_ptr<Timer>> timers;
  std::map<WatchId, std::shared_ptr<Watch>> watches;
  // The pass's handles, the wake-up first, and the watch of each; kept
  // between passes so that an idle loop does not allocate.
  HandleWait wait_set;
  std::vector<std::shared_ptr<Watch>> polled;
  std::vector<std::shared_ptr<Timer>> due;
  // Posted calls taken from the mailbox and not yet run: those behind a call
  // that threw wait here for the next Run, ahead of anything posted later.
  std::deque<std::function<void()>> taken;
  WaitObserver wait_observer;
  bool running = false;
};

PollEventLoop::PollEventLoop() : PollEventLoop(SystemMonotonic()) {}

PollEventLoop::PollEventLoop(const Clock& clock) : state_(std::make_unique<State>(clock)) {}

PollEventLoop::~PollEventLoop() { state_->DropPosted(); }

std::error_code PollEventLoop::Run() {
  State& s = *state_;
  if (s.running) return std::make_error_code(std::errc::operation_in_progress);
  s.running = true;
  struct NotRunning {
    bool& running;
    ~NotRunning() { running = false; }
  } const not_running{s.running};

  for (;;) {
    if (s.mailbox->QuitRequested()) {
      s.DropPosted();
      return {};
    }
    const int timeout = s.WaitTimeoutMs();
    s.BuildWaitSet();
    const ClearOnExit clear_polled(s.polled);
    if (s.wait_observer) {
      s.wait_observer(timeout < 0 ? std::nullopt : std::optional(std::chrono::milliseconds(timeout)));
    }
    if (const std::error_code failed = s.wait_set.Wait(timeout)) {
      // A signal's handler ran: wait again, for what is left of the time.
      if (failed == std::errc::interrupted) continue;
      // The system's request to end (a window program's WM_QUIT).
      if (failed == std::errc::operation_canceled) {
        s.mailbox->Quit();
        continue;
      }
      return failed;
    }
    const bool woken = s.wait_set.Ready(0);
    s.RunDueTimers();
    s.RunReadyWatches();
    s.RunPosted(woken);
  }
}

void PollEventLoop::Quit() { state_->mailbox->Quit(); }

EventLoop::TimerId PollEventLoop::StartTimer(std::chrono::milliseconds period, std::function<void()> callback) {
  State& s = *state_;
  const std::int64_t period_ms = std::max<std::int64_t>(period.count(), 1);
  const TimerId id = s.next_id++;
  s.timers.emplace(id, std::make_shared<State::Timer>(
                           State::Timer{id, period_ms, s.clock.MonotonicMs() + period_ms, std::move(callback)}));
  return id;
}

void PollEventLoop::StopTimer(TimerId id) {
  const auto it = state_->timers.find(id);
  if (it == state_->timers.end()) return;
  it->second->stopped = true;
  state_->timers.erase(it);
}

void PollEventLoop::Post(std::function<void()> call) { state_->mailbox->Post(std::move(call)); }

EventLoop::WatchId PollEventLoop::WatchReadable(NativeWaitHandle handle, std::function<void()> on_ready) {
  State& s = *state_;
  const WatchId id = s.next_id++;
  s.watches.emplace(id, std::make_shared<State::Watch>(State::Watch{handle, std::move(on_ready)}));
  return id;
}

void PollEventLoop::StopWatching(WatchId id) {
  const auto it = state_->watches.find(id);
  if (it == state_->watches.end()) return;
  it->second->stopped = true;
  state_->watches.erase(it);
}

PollEventLoop::Poster PollEventLoop::MakePoster() const {
  return [mailbox = std::weak_ptr<Mailbox>(state_->mailbox)](std::function<void()> call) {
    if (const auto alive = mailbox.lock()) alive->Post(std::move(call));
  };
}

void PollEventLoop::SetWaitObserver(WaitObserver observer) { state_->wait_observer = std::move(observer); }

}  // namespace orvent

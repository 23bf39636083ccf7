#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>

#include "platform/clock.h"
#include "platform/event_loop.h"

namespace orvent {

// The event loop of orvent-service's main thread: one wait (poll() on POSIX,
// WaitForMultipleObjects on Windows) that sleeps until the next timer is
// due, a watched handle is ready or a call is posted, and never wakes for
// nothing, so an idle station costs next to no CPU.
//
// Threads: Post, Quit and the poster of MakePoster may be called from any
// thread. Everything else (the timers, the watches, Run) belongs to the
// thread that runs the loop; before Run has started, that thread may set
// things up from where it stands.
//
// Order within one pass: the timers that are due (earliest due first; those
// due at the same moment in the order they were started), then the watched
// handles that poll reported (in the order they were watched), then the calls
// posted before the pass reached them. A call posted by a callback runs in a
// later pass, so a call that posts itself again cannot starve the rest.
//
// A callback that throws ends Run with its exception, which the service lets
// reach main; the loop stays usable: a later Run goes on with what the pass
// did not get to (a throwing timer keeps its next period, calls posted behind
// a throwing call still run in their order).
class PollEventLoop final : public EventLoop {
public:
  // What a thread that may outlive the loop posts through: it keeps nothing
  // of the loop alive, and drops its calls once the loop has quit or is gone.
  using Poster = std::function<void(std::function<void()>)>;
  // Tests watch the loop's sleep through this: it is called on the loop's
  // thread just before each wait with the longest the wait may last, or
  // nothing when only a handle or a post can end it.
  using WaitObserver = std::function<void(std::optional<std::chrono::milliseconds>)>;

  // Timers run on the system's monotonic clock.
  PollEventLoop();
  // Timers run on `clock`'s monotonic count (tests pass a FakeClock); the
  // clock must outlive the loop. Throws std::system_error when the loop's
  // wake-up cannot be made (no descriptors left).
  explicit PollEventLoop(const Clock& clock);
  // Callbacks and calls still queued are destroyed here, on the caller's
  // thread, which must not be inside Run. Posters that outlive the loop drop
  // whatever they are given; Post and Quit on the loop itself must have
  // ended before (threads that may still call them are joined first).
  ~PollEventLoop() override;
  PollEventLoop(const PollEventLoop&) = delete;
  PollEventLoop& operator=(const PollEventLoop&) = delete;

  // Runs callbacks until Quit; returns at once when Quit came first. An empty
  // code after Quit; the system's error when the loop cannot wait any more
  // (poll failing other than by a signal's interruption, which is retried),
  // which no retry would mend. Not reentrant: a Run inside a callback
  // returns operation_in_progress at once.
  [[nodiscard]] std::error_code Run();

  // Ends Run after the callback running at this moment (the next callbacks
  // of the pass do not run), or before it starts. For good: calls queued and
  // not yet run are dropped, later posts too, and a later Run returns at once.
  void Quit();

  // Periods shorter than 1 ms count as 1 ms. A timer whose callback made it
  // late is not made up in a burst: it runs once, then at its next due time
  // after the callback ended, keeping its phase.
  TimerId StartTimer(std::chrono::milliseconds period, std::function<void()> callback) override;
  // Unknown or stopped ids are ignored.
  void StopTimer(TimerId id) override;

  // Safe from any thread while the loop exists (a thread that may outlive it
  // posts through MakePoster). Empty calls are ignored.
  void Post(std::function<void()> call) override;

  // `handle` is a descriptor on POSIX; on Windows a waitable handle, ready
  // while signalled (at most 63 are watched at once, 62 on a thread with
  // windows, whose messages the wait takes as well). A descriptor that
  // hung up or failed calls `on_ready` too: its read then returns 0 or fails, and the callback must
  // StopWatching (and close the descriptor if it owns it), as a watch left on
  // a dead descriptor is called again at every pass, a spinning loop. The
  // descriptor stays the caller's: close it only after StopWatching (one
  // closed while watched is reported as failed, but its number may already
  // name another file). A negative handle (one that could not be made) is
  // never ready. The same descriptor may be watched more than once; each
  // watch is called on its own.
  WatchId WatchReadable(NativeWaitHandle handle, std::function<void()> on_ready) override;
  void StopWatching(WatchId id) override;

  Poster MakePoster() const;

  void SetWaitObserver(WaitObserver observer);

private:
  // Timers, watches, the wait's handles: all of it in the .cpp file.
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace orvent

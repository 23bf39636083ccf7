#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/poll_event_loop.h"
#include "support/loop_run.h"

// What a watch of a Windows handle reports: an event while it is signalled,
// an auto-reset event once for each time it is set, a handle that could not
// be made never, and no more handles than one wait can take.
namespace orvent {
namespace {

using test::Joined;
using test::RunBounded;

// An event closed with the test.
class Event {
public:
  explicit Event(bool manual_reset, bool signalled = false)
      : handle_(::CreateEventW(nullptr, manual_reset ? TRUE : FALSE, signalled ? TRUE : FALSE, nullptr)) {}
  ~Event() {
    if (handle_ != nullptr) ::CloseHandle(handle_);
  }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  bool Valid() const { return handle_ != nullptr; }
  NativeWaitHandle Handle() const { return reinterpret_cast<NativeWaitHandle>(handle_); }
  void Set() const { ::SetEvent(handle_); }
  void Reset() const { ::ResetEvent(handle_); }

private:
  HANDLE handle_;
};

// A call posted by a callback runs in a later pass, after that pass's
// watches: "quit" ends the log once a pass has seen what was still ready.
void QuitInALaterPass(PollEventLoop& loop, std::vector<std::string>& log) {
  loop.Post([&loop, &log] {
    log.push_back("quit");
    loop.Quit();
  });
}

TEST(WatchedHandles, AManualResetEventIsReportedAtEveryPassUntilItIsReset) {
  PollEventLoop loop;
  const Event a(true, true);
  const Event b(true, true);
  ASSERT_TRUE(a.Valid() && b.Valid());
  std::vector<std::string> log;
  int a_calls = 0;
  int b_calls = 0;
  loop.WatchReadable(a.Handle(), [&] {
    log.push_back("A");
    if (++a_calls == 2) a.Reset();
  });
  loop.WatchReadable(b.Handle(), [&] {
    log.push_back("B");
    if (++b_calls == 3) {
      b.Reset();
      QuitInALaterPass(loop, log);
    }
  });
  EXPECT_FALSE(RunBounded(loop));
  // Both in one pass while both are signalled, in the order watched.
  EXPECT_EQ(Joined(log), "A B A B B quit");
}

// Two watches of one auto-reset event: the wait that takes its signal must
// call both, as a second wait on it would find it reset.
TEST(WatchedHandles, AnAutoResetEventIsReportedOnceForEachSet) {
  PollEventLoop loop;
  const Event e(false, true);
  ASSERT_TRUE(e.Valid());
  std::vector<std::string> log;
  loop.WatchReadable(e.Handle(), [&] { log.push_back("E1"); });
  loop.WatchReadable(e.Handle(), [&] { log.push_back("E2"); });
  int waits = 0;
  loop.SetWaitObserver([&](std::optional<std::chrono::milliseconds>) {
    ++waits;
    if (waits == 2) {
      log.push_back("set");
      e.Set();
    } else if (waits == 3) {
      QuitInALaterPass(loop, log);
    }
  });
  EXPECT_FALSE(RunBounded(loop));
  EXPECT_EQ(Joined(log), "E1 E2 set E1 E2 quit");
}

TEST(WatchedHandles, AHandleThatCouldNotBeMadeIsNeverReady) {
  PollEventLoop loop;
  const Event ready(true, true);
  ASSERT_TRUE(ready.Valid());
  std::vector<std::string> log;
  // -1 is also the process's own pseudo-handle, 0 fails any wait it is in.
  loop.WatchReadable(-1, [&] { log.push_back("minus one"); });
  loop.WatchReadable(0, [&] { log.push_back("zero"); });
  int passes = 0;
  EventLoop::WatchId watch = 0;
  watch = loop.WatchReadable(ready.Handle(), [&] {
    log.push_back("ready");
    if (++passes == 3) {
      loop.StopWatching(watch);
      QuitInALaterPass(loop, log);
    }
  });
  EXPECT_FALSE(RunBounded(loop));
  EXPECT_EQ(Joined(log), "ready ready ready quit");
}

// One wait takes 64 handles, the loop's wake-up among them.
TEST(WatchedHandles, SixtyThreeAreWatchedAndOneMoreFailsTheRunAtOnce) {
  std::vector<std::unique_ptr<Event>> events;
  for (int i = 0; i < 64; ++i) {
    events.push_back(std::make_unique<Event>(true));
    ASSERT_TRUE(events.back()->Valid());
  }
  {
    PollEventLoop loop;
    std::vector<std::string> log;
    for (int i = 0; i < 63; ++i) {
      loop.WatchReadable(events[static_cast<std::size_t>(i)]->Handle(), [&log, &loop, i] {
        log.push_back(std::to_string(i));
        loop.Quit();
      });
    }
    events[62]->Set();
    EXPECT_FALSE(RunBounded(loop));
    EXPECT_EQ(Joined(log), "62");
  }
  PollEventLoop loop;
  bool called = false;
  for (const auto& event : events) loop.WatchReadable(event->Handle(), [&called] { called = true; });
  events[0]->Set();
  EXPECT_EQ(RunBounded(loop), std::errc::too_many_files_open);
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace orvent

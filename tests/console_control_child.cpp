// Started by termination_signal_test.cpp in a console of its own, so that
// the Ctrl+C it sends that console reaches no other process. Its exit code
// says what came of it: the number the termination signal's Take() gave,
// or 100 and up for where it went wrong.
#include <windows.h>

#include <chrono>

#include "platform/poll_event_loop.h"
#include "platform/termination_signal.h"

int main() {
  orvent::TerminationSignal termination;
  const auto handle = termination.WaitHandle();
  if (!handle) return 100;
  orvent::PollEventLoop loop;
  int code = 101;  // nothing came in time
  loop.WatchReadable(*handle, [&] {
    code = termination.Take();
    // Taken once: the handle is no longer ready, and nothing is left.
    if (::WaitForSingleObject(reinterpret_cast<HANDLE>(*handle), 0) != WAIT_TIMEOUT) code = 102;
    if (termination.Take() != 0) code = 103;
    loop.Quit();
  });
  loop.StartTimer(std::chrono::seconds(10), [&] { loop.Quit(); });
  loop.Post([&] {
    if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
      code = 104;
      loop.Quit();
    }
  });
  if (loop.Run()) return 105;
  return code;
}

#pragma once

#include <memory>

#include "platform/event_loop.h"

namespace orvent::test {

// A handle for an event loop to watch, which the test makes ready and which
// then stays ready: a pipe with a byte in it on POSIX, a manual-reset event
// on Windows. Made not ready.
class ReadyHandle {
public:
  ReadyHandle();
  ~ReadyHandle();
  ReadyHandle(const ReadyHandle&) = delete;
  ReadyHandle& operator=(const ReadyHandle&) = delete;

  // False when the system could not make it.
  bool Valid() const;
  NativeWaitHandle Handle() const;
  // False when it could not be made ready.
  [[nodiscard]] bool MakeReady();

private:
  struct Native;
  std::unique_ptr<Native> native_;
};

}  // namespace orvent::test

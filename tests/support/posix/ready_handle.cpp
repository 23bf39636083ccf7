#include <fcntl.h>
#include <unistd.h>

#include "support/ready_handle.h"

namespace orvent::test {

// The read end is watched; a byte that nobody reads keeps it readable.
struct ReadyHandle::Native {
  int read_end = -1;
  int write_end = -1;
};

ReadyHandle::ReadyHandle() : native_(std::make_unique<Native>()) {
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
    native_->read_end = fds[0];
    native_->write_end = fds[1];
  }
}

ReadyHandle::~ReadyHandle() {
  if (native_->read_end >= 0) ::close(native_->read_end);
  if (native_->write_end >= 0) ::close(native_->write_end);
}

bool ReadyHandle::Valid() const { return native_->read_end >= 0; }

NativeWaitHandle ReadyHandle::Handle() const { return native_->read_end; }

bool ReadyHandle::MakeReady() {
  const char byte = 'x';
  return ::write(native_->write_end, &byte, 1) == 1;
}

}  // namespace orvent::test

#include <winsock2.h>
#include <windows.h>

#include <algorithm>

#include "platform/socket_wait.h"
#include "platform/win32/socket_native.h"
#include "platform/win32/win32_error.h"

namespace orvent {
namespace {

using std::chrono::milliseconds;

// Whether the socket can be read now (bytes, or the end of the connection),
// without waiting.
bool ReadableNow(SOCKET s) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval none{};
  return ::select(0, &readable, nullptr, nullptr, &none) > 0;
}

}  // namespace

struct SocketWait::Native {
  // Manual reset: raised until a wait takes it, however many wakes came.
  HANDLE wake = nullptr;
  // Signalled by Winsock for the socket of the wait under way.
  HANDLE socket_event = nullptr;
};

SocketWait::SocketWait() : native_(std::make_unique<Native>()) {
  native_->wake = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  native_->socket_event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (native_->wake == nullptr || native_->socket_event == nullptr) {
    const std::error_code error = LastWin32Error();
    if (native_->wake != nullptr) ::CloseHandle(native_->wake);
    if (native_->socket_event != nullptr) ::CloseHandle(native_->socket_event);
    throw std::system_error(error, "socket wait wake-up");
  }
}

SocketWait::~SocketWait() {
  ::CloseHandle(native_->wake);
  ::CloseHandle(native_->socket_event);
}

void SocketWait::Wake() { ::SetEvent(native_->wake); }

WaitResult SocketWait::Wait(const TcpSocket* socket, std::optional<milliseconds> timeout) {
  const DWORD wait_ms =
      timeout ? static_cast<DWORD>(std::clamp<milliseconds::rep>(timeout->count(), 0, INFINITE - 1)) : INFINITE;
  const SOCKET s = socket != nullptr && socket->native_ ? socket->native_->s : INVALID_SOCKET;
  HANDLE handles[2] = {native_->wake, native_->socket_event};
  DWORD count = 1;
  if (s != INVALID_SOCKET) {
    // Winsock signals the event when bytes arrive or the connection ends.
    // It signals a close only once, and bytes only again after a read, so
    // what came before the selection is asked for directly, after it: then
    // nothing falls between the two.
    if (::WSAEventSelect(s, native_->socket_event, FD_READ | FD_CLOSE) != 0) {
      return {WaitEnd::Failed, Win32Error(static_cast<DWORD>(::WSAGetLastError()))};
    }
    count = 2;
  }
  const DWORD result = count == 2 && ReadableNow(s) ? WAIT_OBJECT_0 + 1
                                                    : ::WaitForMultipleObjects(count, handles, FALSE, wait_ms);
  const std::error_code failure = result == WAIT_FAILED ? LastWin32Error() : std::error_code{};
  if (count == 2) {
    // The socket goes back to plain non-blocking use for the reads and
    // sends that follow.
    ::WSAEventSelect(s, nullptr, 0);
    ::ResetEvent(native_->socket_event);
  }
  if (result == WAIT_OBJECT_0) {
    ::ResetEvent(native_->wake);
    return {WaitEnd::Woken, {}};
  }
  if (result == WAIT_OBJECT_0 + 1) return {WaitEnd::SocketReady, {}};
  if (result == WAIT_TIMEOUT) return {WaitEnd::TimedOut, {}};
  return {WaitEnd::Failed, failure ? failure : std::make_error_code(std::errc::io_error)};
}

}  // namespace orvent

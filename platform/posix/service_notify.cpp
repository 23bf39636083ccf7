#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/service_notify.h"

namespace orvent {

struct ServiceNotifier::Native {
  int fd = -1;
  sockaddr_un address{};
  socklen_t length = 0;
};

ServiceNotifier::ServiceNotifier()
    : ServiceNotifier(ParseServiceNotifySettings(std::getenv("NOTIFY_SOCKET"), std::getenv("WATCHDOG_USEC"),
                                                 std::getenv("WATCHDOG_PID"), ::getpid())) {}

ServiceNotifier::ServiceNotifier(const ServiceNotifySettings& settings) : native_(std::make_unique<Native>()) {
  const std::string& name = settings.Socket;
  // A path ends with its NUL inside sun_path; an abstract name is a leading
  // NUL and exactly its bytes, with none after them.
  if (name.empty() || name.size() >= sizeof native_->address.sun_path) return;
  native_->address.sun_family = AF_UNIX;
  std::memcpy(native_->address.sun_path, name.data(), name.size());
  std::size_t used = name.size() + 1;
  if (name[0] == '@') {
    native_->address.sun_path[0] = '\0';
    used = name.size();
  }
  native_->length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + used);
  // Non-blocking: a full queue at the manager costs a notification, not the
  // loop's time. One socket for the program's life, as notifications come
  // every few seconds at most.
  native_->fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (native_->fd >= 0) watchdog_ = settings.Watchdog;
}

ServiceNotifier::~ServiceNotifier() {
  if (native_->fd >= 0) ::close(native_->fd);
}

bool ServiceNotifier::Listening() const { return native_->fd >= 0; }

std::error_code ServiceNotifier::Notify(std::string_view message) {
  if (native_->fd < 0) return {};
  const ssize_t sent = ::sendto(native_->fd, message.data(), message.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&native_->address), native_->length);
  if (sent < 0) return std::error_code(errno, std::generic_category());
  return {};
}

}  // namespace orvent

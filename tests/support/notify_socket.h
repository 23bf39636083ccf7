#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// A datagram socket of the test's own in the place of the service manager's:
// what a program sends to NOTIFY_SOCKET arrives here. POSIX only.
namespace orvent::test {

class NotifySocket {
public:
  // `name` is a path, or an abstract name behind '@', as NOTIFY_SOCKET gives it.
  explicit NotifySocket(std::string name) : name_(std::move(name)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (name_.size() >= sizeof address.sun_path) throw std::runtime_error("notify socket name too long");
    std::memcpy(address.sun_path, name_.data(), name_.size());
    std::size_t used = name_.size() + 1;
    if (name_[0] == '@') {
      address.sun_path[0] = '\0';
      used = name_.size();
    }
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 ||
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&address),
               static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + used)) != 0) {
      if (fd_ >= 0) ::close(fd_);
      throw std::runtime_error("cannot bind the notify socket " + name_);
    }
  }
  ~NotifySocket() {
    ::close(fd_);
    if (name_[0] == '/') ::unlink(name_.c_str());
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  const std::string& Name() const { return name_; }

  // The next datagram, or nullopt when none comes within the limit.
  std::optional<std::string> Receive(std::chrono::milliseconds limit) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) return std::nullopt;
    std::string message(buffer, static_cast<std::size_t>(n));
    received_.push_back(message);
    return message;
  }

  // Receives until a datagram starts with `prefix` and returns it; nullopt
  // when none does within the limit. Every datagram goes to Received().
  std::optional<std::string> WaitFor(const std::string& prefix, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      const auto message = Receive(left);
      if (message && message->rfind(prefix, 0) == 0) return message;
    }
  }

  // Every datagram received so far, one a line, for failure messages.
  std::string ReceivedText() const {
    std::string all;
    for (const std::string& m : received_) all += m + "\n";
    return all;
  }
  const std::vector<std::string>& Received() const { return received_; }

private:
  std::string name_;
  int fd_ = -1;
  std::vector<std::string> received_;
};

}  // namespace orvent::test

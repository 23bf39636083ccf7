#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <string_view>

namespace orvent::test {

// A pseudo-terminal standing in for a serial line. The test plays the
// receiver on the master; the code under test opens the slave by its path.
// The test keeps its own slave descriptor, so it can see what waits on the
// code's side of the line and read the line settings the code applied.
class PtyPair {
public:
  PtyPair() {
    char name[256] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
    path_ = name;
    termios t{};
    ::tcgetattr(slave_, &t);
    // Raw until the code under test takes over: no echo of test bytes.
    ::cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~PtyPair() {
    CloseMaster();
    if (slave_ >= 0) ::close(slave_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0 && slave_ >= 0; }
  const std::string& path() const { return path_; }
  int slave() const { return slave_; }

  // Sends bytes towards the code under test.
  bool Write(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(master_, bytes.data(), bytes.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  // Bytes waiting on the code's side of the line.
  int Waiting() const {
    int n = -1;
    ::ioctl(slave_, FIONREAD, &n);
    return n;
  }

  // A pseudo-terminal moves bytes to the other side asynchronously; waits,
  // bounded, until `count` bytes wait there.
  bool WaitUntilWaiting(int count, std::chrono::milliseconds limit = std::chrono::seconds(5)) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Waiting() < count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      ::poll(nullptr, 0, 1);
    }
    return Waiting() == count;
  }

  // What the code under test sent, collected until `count` bytes or the limit.
  std::string Read(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (got.size() < count) {
      char buffer[4096];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n > 0) {
        got.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{master_, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(left.count()));
    }
    return got;
  }

  // The receiver's end goes away, as an unplugged adapter does.
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace orvent::test

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/poll_event_loop.h"
#include "support/loop_run.h"

// What a watch of a POSIX descriptor reports: a pipe's data, its hang-up,
// and a descriptor closed while watched.
namespace orvent {
namespace {

using namespace std::chrono_literals;
using test::Joined;
using test::RunBounded;

// A pipe whose read end the loop watches; both ends non-blocking.
struct Pipe {
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
      read_end = fds[0];
      write_end = fds[1];
    }
  }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  void Write(const std::string& bytes) const {
    ASSERT_EQ(write(write_end, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void CloseRead() {
    if (read_end >= 0) close(read_end);
    read_end = -1;
  }
  void CloseWrite() {
    if (write_end >= 0) close(write_end);
    write_end = -1;
  }

  int read_end = -1;
  int write_end = -1;
};

enum class PipeEvent { kDataThenHangUp, kHangUp, kClosedWhileWatched };

struct WatchCase {
  const char* name;
  PipeEvent event;
  const char* expected;
};

void PrintTo(const WatchCase& c, std::ostream* os) { *os << c.name; }

class WatchedPipe : public ::testing::TestWithParam<WatchCase> {};

// One read per call, as a watch's callback would do: the end of the data is
// seen as a read of 0 bytes or a failure, after which the callback stops
// watching. A loop that did not report the end would spin without a call
// until the bound.
TEST_P(WatchedPipe, ReportsDataAndTheEndOfIt) {
  const WatchCase& c = GetParam();
  PollEventLoop loop;
  Pipe pipe;
  ASSERT_GE(pipe.read_end, 0);
  std::vector<std::string> log;
  const int fd = pipe.read_end;
  EventLoop::WatchId watch = 0;
  watch = loop.WatchReadable(fd, [&] {
    char buffer[64];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      log.emplace_back(buffer, static_cast<std::size_t>(got));
      return;
    }
    if (got < 0 && errno == EAGAIN) {
      log.emplace_back("nothing");
      return;
    }
    log.emplace_back(got == 0 ? "end" : "failed");
    loop.StopWatching(watch);
    loop.Quit();
  });
  std::promise<void> asleep;
  bool told = false;
  loop.SetWaitObserver([&](std::optional<std::chrono::milliseconds>) {
    if (!std::exchange(told, true)) asleep.set_value();
  });
  std::jthread writer;
  if (c.event == PipeEvent::kClosedWhileWatched) {
    // Poll does not wake for a descriptor closed while it sleeps: closed first.
    pipe.CloseRead();
  } else {
    writer = std::jthread([&, sleeping = asleep.get_future()] {
      if (sleeping.wait_for(3s) != std::future_status::ready) return;
      if (c.event == PipeEvent::kDataThenHangUp) pipe.Write("abc");
      pipe.CloseWrite();
    });
  }
  EXPECT_FALSE(RunBounded(loop));
  EXPECT_EQ(Joined(log), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WatchedPipe,
    ::testing::Values(WatchCase{"DataThenHangUp", PipeEvent::kDataThenHangUp, "abc end"},
                      WatchCase{"HangUp", PipeEvent::kHangUp, "end"},
                      WatchCase{"ClosedWhileWatched", PipeEvent::kClosedWhileWatched, "failed"}),
    [](const ::testing::TestParamInfo<WatchCase>& info_) { return std::string(info_.param.name); });

}  // namespace
}  // namespace orvent

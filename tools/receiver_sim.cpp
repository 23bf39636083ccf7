// receiver-sim: a simulated alarm receiver. It sends receiver lines on a
// pseudo-terminal (or a given serial device), waits for the ACK byte after
// each one as a receiver does, resends a line that goes unacknowledged, and
// prints the acknowledgement latency of every line and a summary.
//
// Lines come from the arguments, a file, a generator and, with --stdin, from
// standard input as they arrive, so a script can pace them.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/command_line_refusal.h"
#include "common/program_version.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr char kDC4 = 20;
constexpr char kACK = 6;
// Longer than the driver's 80 ms packet time-out.
constexpr auto kAfterOpen = std::chrono::milliseconds(120);

constexpr char kProgram[] = "receiver-sim";
constexpr char kUsage[] =
    "usage: receiver-sim [options] [LINE...]\n"
    "       receiver-sim --help | --version\n"
    "  LINE              a receiver line to send; DC4 is appended\n"
    "  --file PATH       send the lines of a text file, one line per message\n"
    "  --count M         send M generated event lines (default 10 when no line is given)\n"
    "  --rate N          start at most N lines a second (default: each right after the last ACK)\n"
    "  --timeout MS      resend a line not acknowledged within MS ms (default 1000)\n"
    "  --retries N       give a line up after N resends (default 3)\n"
    "  --device PATH     use this serial device instead of a new pseudo-terminal\n"
    "  --no-wait         on a pseudo-terminal, send at once instead of waiting for the\n"
    "                    driver to open the port\n"
    "  --stdin           after the other lines, send each line read from standard input\n"
    "                    as it arrives; the summary follows the end of the input\n"
    "  --stamp           add sent_us T to every line report: CLOCK_MONOTONIC microseconds\n"
    "                    of the line's first write, comparable with msgserver-sim --stamp\n"
    "  --noise N         write N random bytes together with each line's first try (not with\n"
    "                    its resends), as line noise would put them in front of it\n"
    "  --seed S          the noise's seed (default 1)\n"
    "  --burst           write every line back to back as fast as the line takes them,\n"
    "                    without waiting for ACKs; count the ACKs until none comes for\n"
    "                    --quiet MS (default 3000) and print one burst report\n";

struct Options {
  bool help = false;
  bool version = false;
  std::vector<std::string> lines;
  std::string file;
  std::optional<long> count;
  double rate = 0;
  long timeout_ms = 1000;
  long retries = 3;
  std::string device;
  bool wait_for_open = true;
  bool from_stdin = false;
  bool stamp = false;
  long noise = 0;
  long seed = 1;
  bool burst = false;
  long quiet_ms = 3000;
};

bool ParseNumber(const char* text, long min, long& out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < min) return false;
  out = v;
  return true;
}

// Why the command line is refused, naming the argument; nullopt when it is not.
std::optional<std::string> ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    // A refusal of the option's value, or of its absence.
    std::optional<std::string> refusal;
    const auto text = [&](std::string& out) {
      if (const char* v = value()) {
        out = v;
      } else {
        refusal = "\"" + arg + "\" wants a value";
      }
    };
    const auto number = [&](long min, long& out) {
      const char* v = value();
      if (v == nullptr) {
        refusal = "\"" + arg + "\" wants a number";
      } else if (!ParseNumber(v, min, out)) {
        refusal = "\"" + arg + "\" wants a whole number of at least " + std::to_string(min) + ", not \"" + v + "\"";
      }
    };
    long n = 0;
    if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg == "--version") {
      o.version = true;
    } else if (arg == "--file") {
      text(o.file);
    } else if (arg == "--count") {
      number(0, n);
      o.count = n;
    } else if (arg == "--rate") {
      number(1, n);
      o.rate = static_cast<double>(n);
    } else if (arg == "--timeout") {
      number(1, o.timeout_ms);
    } else if (arg == "--retries") {
      number(0, o.retries);
    } else if (arg == "--device") {
      text(o.device);
    } else if (arg == "--no-wait") {
      o.wait_for_open = false;
    } else if (arg == "--stdin") {
      o.from_stdin = true;
    } else if (arg == "--stamp") {
      o.stamp = true;
    } else if (arg == "--noise") {
      number(0, o.noise);
    } else if (arg == "--seed") {
      number(0, o.seed);
    } else if (arg == "--burst") {
      o.burst = true;
    } else if (arg == "--quiet") {
      number(1, o.quiet_ms);
    } else if (arg.starts_with("--")) {
      refusal = orvent::UnknownArgument(arg);
    } else {
      o.lines.emplace_back(arg);
    }
    if (refusal) return refusal;
  }
  return std::nullopt;
}

// A 21-byte event line whose account, event code, partition and zone vary
// with the line's index, so a run exercises the decoder's fields.
std::string GeneratedLine(long i) {
  static constexpr const char* kEvents[] = {"1130", "3130", "1401", "3401", "1602"};
  char text[32];
  std::snprintf(text, sizeof text, "5011 18%04ld%s%02ld%03ld", 1000 + (i * 7) % 9000, kEvents[i % 5], 1 + i % 8,
                1 + (i * 13) % 999);
  return text;
}

std::optional<std::vector<std::string>> Messages(const Options& o) {
  std::vector<std::string> lines = o.lines;
  if (!o.file.empty()) {
    std::ifstream in(o.file, std::ios::binary);
    if (!in) return std::nullopt;
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) lines.push_back(line);
    }
  }
  const long generated = o.count.value_or(lines.empty() && o.file.empty() && !o.from_stdin ? 10 : 0);
  for (long i = 0; i < generated; ++i) lines.push_back(GeneratedLine(i));
  for (std::string& line : lines) {
    if (line.empty() || line.back() != kDC4) line += kDC4;
  }
  return lines;
}

// The next line of standard input with DC4 appended; blank lines are skipped.
std::optional<std::string> NextInputLine() {
  for (std::string line; std::getline(std::cin, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line.back() != kDC4) line += kDC4;
    return line;
  }
  return std::nullopt;
}

// CLOCK_MONOTONIC in microseconds, the clock msgserver-sim stamps with too.
long long MonotonicUs() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

void MakeRaw(int fd) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return;
  ::cfmakeraw(&t);
  ::cfsetispeed(&t, B9600);
  ::cfsetospeed(&t, B9600);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  ::tcsetattr(fd, TCSANOW, &t);
}

// The receiver's end of the line. On a pseudo-terminal the master runs in
// packet mode, which reports the driver's purge at open as a status byte:
// that is how the simulator knows the port has been opened.
class Line {
public:
  bool OpenPty() {
    int slave = -1;
    char name[256] = {};
    if (::openpty(&fd_, &slave, name, nullptr, nullptr) != 0) return false;
    // Raw, so nothing is echoed back before the driver configures the port;
    // the slave stays open here so that the master keeps working while the
    // driver closes and reopens it.
    MakeRaw(slave);
    slave_ = slave;
    path_ = name;
    int on = 1;
    packet_mode_ = ::ioctl(fd_, TIOCPKT, &on) == 0;
    return SetNonBlocking();
  }

  bool OpenDevice(const std::string& path) {
    // Non-blocking, so a port without carrier does not hold the open.
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return false;
    MakeRaw(fd_);
    path_ = path;
    return true;
  }

  ~Line() {
    if (fd_ >= 0) ::close(fd_);
    if (slave_ >= 0) ::close(slave_);
  }

  const std::string& path() const { return path_; }
  bool packet_mode() const { return packet_mode_; }

  // Writes everything, as fast as the line takes it; with `acks`, counts the
  // ACKs that come meanwhile.
  bool Write(std::string_view bytes, long* acks = nullptr) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return false;
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, acks != nullptr ? 5 : 100);
        if (acks != nullptr) *acks += CountAcks(std::chrono::milliseconds(0));
        continue;
      }
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  // Waits until the deadline for input. Returns whether an ACK arrived and
  // notes whether the driver purged the line meanwhile.
  bool WaitForAck(SteadyClock::time_point deadline, bool& purged) {
    for (;;) {
      char buffer[512];
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n > 0) {
        if (Scan(buffer, static_cast<std::size_t>(n), purged)) return true;
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) return false;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
      if (left <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
      // With no one on the other end, a pseudo-terminal reports a hang-up at
      // once; pause so the wait does not spin.
      if (p.revents & (POLLHUP | POLLERR)) ::poll(nullptr, 0, 5);
    }
  }

  // Drops whatever waits, so a late ACK of the previous line is not taken
  // for the next one.
  void Drain() {
    char buffer[512];
    while (::read(fd_, buffer, sizeof buffer) > 0) {
    }
  }

  // The ACKs that have arrived, waiting at most `wait` for the first.
  long CountAcks(std::chrono::milliseconds wait) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0 || !(p.revents & POLLIN)) return 0;
    long acks = 0;
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) return acks;
      std::size_t at = 0;
      if (packet_mode_) {
        if (buffer[0] != TIOCPKT_DATA) continue;
        at = 1;
      }
      acks += std::count(buffer + at, buffer + n, kACK);
    }
  }

private:
  bool SetNonBlocking() {
    const int flags = ::fcntl(fd_, F_GETFL);
    return flags >= 0 && ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) == 0;
  }

  bool Scan(const char* bytes, std::size_t n, bool& purged) const {
    if (packet_mode_ && n > 0) {
      // The first byte of every read is 0 before data, a status otherwise.
      if (bytes[0] != TIOCPKT_DATA) {
        if (bytes[0] & TIOCPKT_FLUSHREAD) purged = true;
        return false;
      }
      ++bytes;
      --n;
    }
    return std::memchr(bytes, kACK, n) != nullptr;
  }

  int fd_ = -1;
  int slave_ = -1;
  std::string path_;
  bool packet_mode_ = false;
};

double Percentile(std::vector<double> sorted, double q) {
  if (sorted.empty()) return 0;
  std::sort(sorted.begin(), sorted.end());
  const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
  return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

double MsSince(SteadyClock::time_point t) {
  return std::chrono::duration<double, std::milli>(SteadyClock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options options;
  if (const auto refusal = ParseOptions(argc, argv, options)) return orvent::RefuseCommandLine(kProgram, *refusal);
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("%s %s\n", kProgram, orvent::ProgramVersion().c_str());
    return 0;
  }
  auto messages = Messages(options);
  if (!messages) {
    std::fprintf(stderr, "receiver-sim: cannot read %s\n", options.file.c_str());
    return 2;
  }

  Line line;
  const bool opened = options.device.empty() ? line.OpenPty() : line.OpenDevice(options.device);
  if (!opened) {
    std::fprintf(stderr, "receiver-sim: cannot open %s: %s\n",
                 options.device.empty() ? "a pseudo-terminal" : options.device.c_str(), std::strerror(errno));
    return 2;
  }
  std::printf("device %s\n", line.path().c_str());

  if (line.packet_mode() && options.wait_for_open) {
    bool purged = false;
    while (!purged) line.WaitForAck(SteadyClock::now() + std::chrono::seconds(1), purged);
    // A receiver does not see the port open. Bytes that reach the driver
    // within its packet time-out of the opening may be the rest of a line
    // that was already on its way, and are not acknowledged; the first line
    // comes after that, as a waiting receiver's next try would.
    std::this_thread::sleep_for(kAfterOpen);
  }

  const auto timeout = std::chrono::milliseconds(options.timeout_ms);
  const auto spacing = options.rate > 0 ? std::chrono::duration_cast<SteadyClock::duration>(
                                              std::chrono::duration<double>(1.0 / options.rate))
                                        : SteadyClock::duration::zero();
  if (options.burst) {
    std::string all;
    for (const std::string& message : *messages) all += message;
    long acks = 0;
    const auto start = SteadyClock::now();
    if (!line.Write(all, &acks)) {
      std::fprintf(stderr, "receiver-sim: write failed: %s\n", std::strerror(errno));
      return 2;
    }
    const double write_ms = MsSince(start);
    double last_ack_ms = 0;
    while (acks < static_cast<long>(messages->size())) {
      const long more = line.CountAcks(std::chrono::milliseconds(options.quiet_ms));
      if (more == 0) break;
      acks += more;
      last_ack_ms = MsSince(start);
    }
    if (last_ack_ms == 0 && acks > 0) last_ack_ms = MsSince(start);
    std::printf("burst lines %zu acked %ld write_ms %.1f last_ack_ms %.1f alarms_per_s %.0f\n", messages->size(), acks,
                write_ms, last_ack_ms, last_ack_ms > 0 ? static_cast<double>(acks) * 1000.0 / last_ack_ms : 0.0);
    return 0;
  }

  std::mt19937 noise_bytes(static_cast<std::mt19937::result_type>(options.seed));
  std::vector<double> latencies;
  long resends = 0;
  auto next_start = SteadyClock::now();

  for (std::size_t i = 0;; ++i) {
    if (i == messages->size()) {
      const auto more = options.from_stdin ? NextInputLine() : std::nullopt;
      if (!more) break;
      messages->push_back(*more);
    }
    std::this_thread::sleep_until(next_start);
    next_start = SteadyClock::now() + spacing;

    bool acked = false;
    long tries = 0;
    double latency = 0;
    long long first_sent_us = 0;
    while (!acked && tries <= options.retries) {
      line.Drain();
      if (tries > 0) ++resends;
      ++tries;
      const auto sent = SteadyClock::now();
      if (tries == 1) first_sent_us = MonotonicUs();
      std::string bytes;
      if (tries == 1) {
        for (long n = 0; n < options.noise; ++n) bytes += static_cast<char>(noise_bytes() & 0xFF);
      }
      bytes += (*messages)[i];
      if (!line.Write(bytes)) {
        std::fprintf(stderr, "receiver-sim: write failed: %s\n", std::strerror(errno));
        return 2;
      }
      bool purged = false;
      acked = line.WaitForAck(sent + timeout, purged);
      latency = MsSince(sent);
    }
    char stamp[48] = "";
    if (options.stamp) std::snprintf(stamp, sizeof stamp, " sent_us %lld", first_sent_us);
    if (acked) {
      latencies.push_back(latency);
      std::printf("line %zu ack_ms %.1f tries %ld%s\n", i + 1, latency, tries, stamp);
    } else {
      std::printf("line %zu lost tries %ld%s\n", i + 1, tries, stamp);
    }
  }

  const double max = latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end());
  std::printf("summary count %zu acked %zu resends %ld p50_ms %.1f p99_ms %.1f max_ms %.1f\n", messages->size(),
              latencies.size(), resends, Percentile(latencies, 0.50), Percentile(latencies, 0.99), max);
  return latencies.size() == messages->size() ? 0 : 1;
}

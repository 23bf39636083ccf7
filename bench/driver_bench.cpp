// Figures of the whole driver process, printed: the built orvent-driver in a
// temporary folder, receiver-sim on a pseudo-terminal, msgserver-sim on
// loopback, all with --stamp so that times taken in different processes
// compare (CLOCK_MONOTONIC).
//
//  - start-up: spawning the driver to the server's receipt of the version
//    frame, the last of the handshake (the acceptance has been read by then);
//    and SIGTERM to the process's exit;
//  - a receiver line to its ACK, and to the server's receipt of its event,
//    with an accepted link;
//  - the CPU of an idle driver (accepted link, silent receiver) and its peak
//    memory;
//  - a receiver line to its ACK while the server is away and every record is
//    spooled.
//
// usage: driver_bench [--lines N] [--starts N] [--idle-seconds S]

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "delivery/event_record.h"
#include "platform/fake_clock.h"
#include "receiver/message_decoder.h"
#include "support/driver_process.h"
#include "support/pty_pair.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;

constexpr double kStartLimitMs = 300;
constexpr double kStopLimitMs = 2000;
constexpr double kAckP50LimitMs = 112;
constexpr double kAckP99LimitMs = 130;
constexpr double kReceiptP50LimitMs = 115;
constexpr double kIdleCpuLimitPercent = 1.0;

struct Options {
  int Lines = 100;
  int Starts = 10;
  int IdleSeconds = 10;
};

long long MonotonicUs() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(v.size())));
  return v[std::clamp<std::size_t>(rank, 1, v.size()) - 1];
}

double Max(const std::vector<double>& v) { return v.empty() ? -1 : *std::max_element(v.begin(), v.end()); }

// The integer after "key" (as "key=V" or "key V") in a line; nullopt if absent.
std::optional<long long> Field(const std::string& line, const std::string& key) {
  for (const char sep : {'=', ' '}) {
    const std::string lead = " " + key + sep;
    const auto at = line.find(lead);
    if (at != std::string::npos) return std::atoll(line.c_str() + at + lead.size());
  }
  return std::nullopt;
}

double FieldDouble(const std::string& line, const std::string& key) {
  const auto at = line.find(" " + key + " ");
  return at == std::string::npos ? -1 : std::atof(line.c_str() + at + key.size() + 2);
}

// An event line whose account, code, partition and zone vary with i, so
// every line decodes to its own object number.
std::string AlarmLine(int i) {
  static constexpr const char* kCodes[] = {"1130", "3130", "1401", "3401", "1602"};
  char text[32];
  std::snprintf(text, sizeof text, "5011 18%04d%s%02d%03d", 1000 + i, kCodes[i % 5], 1 + i % 8, 1 + (i * 13) % 999);
  return text;
}

std::int32_t DecodedNumber(const std::string& line) {
  FakeClock clock;
  std::int32_t number = -1;
  DecoderOutlets out;
  out.StoreEvent = [&](const SoobBytes& bytes) {
    number = DeserializeSoob(bytes)->Number;
    return true;
  };
  MessageDecoder decoder(DecoderSettings{}, clock, ".", out);
  const std::string packet = line + static_cast<char>(kDC4);
  decoder.HandlePacket(reinterpret_cast<const std::uint8_t*>(packet.data()), static_cast<std::uint32_t>(packet.size()));
  return number;
}

// CPU time of every thread of a process, in seconds by thread name, from
// /proc/PID/task/TID/schedstat (nanoseconds on a CPU; finer than the clock
// ticks of /proc/PID/stat).
std::map<std::string, double> ThreadCpuSeconds(pid_t pid) {
  std::map<std::string, double> by_name;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream stat(task.path() / "schedstat");
    std::ifstream comm(task.path() / "comm");
    long long ns = 0;
    std::string name;
    if (!(stat >> ns)) continue;
    std::getline(comm, name);
    const std::string tid = task.path().filename().string();
    // The process's first thread runs the window and its timers.
    if (tid == std::to_string(pid)) name = "window";
    by_name[name + " (" + tid + ")"] += static_cast<double>(ns) / 1e9;
  }
  return by_name;
}

double Total(const std::map<std::string, double>& by_name) {
  double total = 0;
  for (const auto& [name, seconds] : by_name) total += seconds;
  return total;
}

// A "VmHWM:" style value of /proc/PID/status, in KiB.
long StatusKiB(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
  }
  return -1;
}

bool verdict_ok = true;

void Verdict(bool ok, const char* what) {
  if (!ok) {
    verdict_ok = false;
    std::printf("  OUT OF LIMITS: %s\n", what);
  }
}

// Spawn to handshake, and SIGTERM to exit, over several starts against one
// server; each start in a fresh folder, its port a pseudo-terminal.
bool StartUp(const Options& o) {
  test::MsgServerSim server({"--stamp"});
  std::vector<double> start_ms;
  std::vector<double> stop_ms;
  for (int run = 0; run < o.Starts; ++run) {
    test::TempDir dir;
    test::PtyPair line;
    const long long spawned_us = MonotonicUs();
    test::DriverProcess driver(dir.path(), {line.path(), server.Port()});
    const auto version = test::WaitFrame(server, "cmd_version", 10s);
    const auto received_us = version ? Field(*version, "mono_us") : std::nullopt;
    if (!received_us) {
      std::printf("start-up: run %d: no handshake\n", run + 1);
      return false;
    }
    start_ms.push_back(static_cast<double>(*received_us - spawned_us) / 1000.0);
    const auto t0 = std::chrono::steady_clock::now();
    const auto code = driver.Terminate(5s);
    stop_ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    if (code != 0) {
      std::printf("start-up: run %d: the driver did not exit with 0 after SIGTERM\n", run + 1);
      return false;
    }
  }
  std::printf("start-up: spawn to completed handshake, %d starts: p50 %.1f ms, max %.1f ms (limit %.0f)\n", o.Starts,
              Percentile(start_ms, 0.5), Max(start_ms), kStartLimitMs);
  Verdict(Max(start_ms) <= kStartLimitMs, "start-up");
  std::printf("shutdown: SIGTERM to exit, %d stops: p50 %.1f ms, max %.1f ms (limit %.0f)\n", o.Starts,
              Percentile(stop_ms, 0.5), Max(stop_ms), kStopLimitMs);
  Verdict(Max(stop_ms) <= kStopLimitMs, "shutdown");
  return true;
}

// Lines at 7 a second (a period that is not a multiple of the 20 ms poll, so
// they meet every phase of it) once the link is accepted; then the idle cost.
bool Live(const Options& o) {
  test::TempDir dir;
  test::MsgServerSim server({"--stamp"});
  test::ReceiverSim receiver({"--stdin", "--stamp", "--rate", "7", "--timeout", "2000"});
  test::DriverProcess driver(dir.path(), {receiver.Device(), server.Port()});
  if (!test::WaitFrame(server, "cmd_version", 10s)) {
    std::printf("live: no handshake\n");
    return false;
  }
  std::map<std::int32_t, long long> sent_us;  // by object number
  std::vector<std::int32_t> numbers;
  for (int i = 0; i < o.Lines; ++i) {
    const std::string text = AlarmLine(i);
    numbers.push_back(DecodedNumber(text));
    if (!receiver.Send(text)) return false;
  }
  std::vector<std::string> reports;
  const bool all_acked = receiver.WaitAcked(static_cast<std::size_t>(o.Lines), std::chrono::seconds(o.Lines + 30), &reports);
  std::vector<double> ack_ms;
  for (const std::string& r : reports) {
    int n = 0;
    const auto sent = Field(r, "sent_us");
    if (std::sscanf(r.c_str(), "line %d ack_ms", &n) != 1 || !sent || n < 1 || n > o.Lines) continue;
    ack_ms.push_back(FieldDouble(r, "ack_ms"));
    sent_us[numbers[static_cast<std::size_t>(n - 1)]] = *sent;
  }
  // Every event's first receipt by the server.
  std::map<std::int32_t, long long> received_us;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (received_us.size() < sent_us.size() && std::chrono::steady_clock::now() < deadline) {
    const auto frame = test::WaitFrame(server, "cmd_event", 10s);
    if (!frame) break;
    const auto number = Field(*frame, "number");
    const auto at = Field(*frame, "mono_us");
    if (number && at) received_us.emplace(static_cast<std::int32_t>(*number), *at);
  }
  std::vector<double> receipt_ms;
  for (const auto& [number, sent] : sent_us) {
    if (const auto it = received_us.find(number); it != received_us.end()) {
      receipt_ms.push_back(static_cast<double>(it->second - sent) / 1000.0);
    }
  }
  std::printf("line to ACK, %d lines, accepted link: p50 %.1f ms (limit %.0f), p99 %.1f ms (limit %.0f), max %.1f ms%s\n",
              o.Lines, Percentile(ack_ms, 0.5), kAckP50LimitMs, Percentile(ack_ms, 0.99), kAckP99LimitMs, Max(ack_ms),
              all_acked ? "" : " (NOT ALL ACKNOWLEDGED)");
  Verdict(all_acked && Percentile(ack_ms, 0.5) <= kAckP50LimitMs && Percentile(ack_ms, 0.99) <= kAckP99LimitMs,
          "line to ACK");
  std::printf("line to server receipt, %zu of %d events: p50 %.1f ms (limit %.0f), p99 %.1f ms, max %.1f ms\n",
              receipt_ms.size(), o.Lines, Percentile(receipt_ms, 0.5), kReceiptP50LimitMs,
              Percentile(receipt_ms, 0.99), Max(receipt_ms));
  Verdict(receipt_ms.size() == static_cast<std::size_t>(o.Lines) && Percentile(receipt_ms, 0.5) <= kReceiptP50LimitMs,
          "line to server receipt");

  // The receiver stays, silent; the link keeps itself alive.
  const pid_t pid = driver.Process().Pid();
  std::this_thread::sleep_for(1s);
  const auto cpu0 = ThreadCpuSeconds(pid);
  const auto t0 = std::chrono::steady_clock::now();
  int keepalives = 0;
  const auto until = t0 + std::chrono::seconds(o.IdleSeconds);
  while (std::chrono::steady_clock::now() < until) {
    // Reading keeps the server's output pipe from filling.
    if (const auto l = server.ReadLine(200ms)) keepalives += l->rfind("cmd_keepalive", 0) == 0;
  }
  const auto cpu1 = ThreadCpuSeconds(pid);
  const double cpu = Total(cpu1) - Total(cpu0);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("idle (accepted link, silent receiver): %.2f %% of one core over %.0f s (limit %.0f %%), %d keep-alives\n",
              100.0 * cpu / wall, wall, kIdleCpuLimitPercent, keepalives);
  for (const auto& [name, seconds] : cpu1) {
    const auto before = cpu0.find(name);
    const double used = seconds - (before == cpu0.end() ? 0 : before->second);
    if (used > 0) std::printf("  thread %s: %.3f %%\n", name.c_str(), 100.0 * used / wall);
  }
  Verdict(100.0 * cpu / wall <= kIdleCpuLimitPercent, "idle CPU");
  std::printf("memory: peak resident (VmHWM) %.1f MiB, resident now (VmRSS) %.1f MiB\n",
              static_cast<double>(StatusKiB(pid, "VmHWM")) / 1024.0, static_cast<double>(StatusKiB(pid, "VmRSS")) / 1024.0);
  return driver.Terminate(5s) == 0;
}

// The server is away: every record is written to a spool file on the window
// thread, between one line's ACK and the next poll.
bool Spooling(const Options& o) {
  test::TempDir dir;
  std::uint16_t port = 0;
  {
    test::MsgServerSim gone({});
    port = gone.Port();
    gone.Process().Signal(SIGTERM);
    gone.Process().WaitExit(5s);
  }
  const int lines = std::max(1, o.Lines / 2);
  test::ReceiverSim receiver({"--stdin", "--rate", "7", "--timeout", "2000"});
  test::DriverProcess driver(dir.path(), {receiver.Device(), port});
  for (int i = 0; i < lines; ++i) {
    if (!receiver.Send(AlarmLine(i))) return false;
  }
  std::vector<std::string> reports;
  const bool all_acked = receiver.WaitAcked(static_cast<std::size_t>(lines), std::chrono::seconds(lines + 30), &reports);
  std::vector<double> ack_ms;
  for (const std::string& r : reports) {
    if (r.find(" ack_ms ") != std::string::npos) ack_ms.push_back(FieldDouble(r, "ack_ms"));
  }
  std::printf("line to ACK, %d lines, server away (spooling): p50 %.1f ms, p99 %.1f ms, max %.1f ms%s\n", lines,
              Percentile(ack_ms, 0.5), Percentile(ack_ms, 0.99), Max(ack_ms), all_acked ? "" : " (NOT ALL ACKNOWLEDGED)");
  return driver.Terminate(5s) == 0;
}

bool ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (value < 1) return false;
    if (arg == "--lines") {
      o.Lines = value;
    } else if (arg == "--starts") {
      o.Starts = value;
    } else if (arg == "--idle-seconds") {
      o.IdleSeconds = value;
    } else {
      return false;
    }
  }
  return argc % 2 == 1;
}

}  // namespace
}  // namespace orvent

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  orvent::Options options;
  if (!orvent::ParseOptions(argc, argv, options)) {
    std::fputs("usage: driver_bench [--lines N] [--starts N] [--idle-seconds S]\n", stderr);
    return 2;
  }
  bool ran = orvent::StartUp(options);
  ran = orvent::Live(options) && ran;
  ran = orvent::Spooling(options) && ran;
  const bool ok = ran && orvent::verdict_ok;
  std::printf("driver bench: %s\n", ok ? "within limits" : "OUT OF LIMITS");
  return ok ? 0 : 1;
}

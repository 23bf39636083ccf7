// Figures of the whole driver process, printed: the built orvent-driver in a
// temporary folder, receiver-sim on a pseudo-terminal, msgserver-sim on
// loopback, all with --stamp so that times taken in different processes
// compare (CLOCK_MONOTONIC). Each scenario prints its figures with the limit
// it is held to:
//
//  start       spawning the driver to the server's receipt of the version
//              frame, the last of the handshake (the acceptance has been read
//              by then); and SIGTERM to the process's exit;
//  live        a receiver line to its ACK, to the server's receipt of its
//              event, and the ACK's arrival to that receipt, with an accepted
//              link; then the CPU of an idle driver (accepted link, silent
//              receiver) and its peak memory;
//  spooling    a receiver line to its ACK while the server is away and every
//              record is spooled;
//  drain       a folder of ready spool files drained into a server that
//              answers at once: files per second from the completed handshake
//              to the last file gone, every record checked at the server;
//  spool-start start-up with a large spool: spawn to completed handshake, and
//              the peak memory after a few seconds of running;
//  burst       2,000 event lines written back to back as fast as the line
//              takes them, with the disk quiet and with another program
//              keeping it busy (synced writes), QuickAck on and off: lines,
//              ACKs, distinct records at the server, records that no line
//              carried, alarms acknowledged per second.
//
// --quick-ack runs start, live and spooling with QuickAck=1, held to the
// limits of an ACK at the DC4.
// usage: driver_bench [--program driver|service] [--run LIST] [--lines N] [--starts N] [--idle-seconds S]
//                     [--drain-files N] [--drain-timeout S] [--spool-files N] [--burst-lines N]
//                     [--quick-ack]
//   --run LIST  scenarios separated by commas, or "all" (default: start,live,spooling)

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/process_bench.h"
#include "support/alarm_ledger.h"
#include "support/burst_run.h"
#include "support/busy_disk.h"
#include "delivery/event_record.h"
#include "support/driver_process.h"
#include "support/proc_stats.h"
#include "support/pty_pair.h"
#include "support/sample_records.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;
using namespace bench;
using test::StatusKiB;
using test::ThreadCpuSeconds;
using test::Total;

constexpr double kStartLimitMs = 300;
constexpr double kStopLimitMs = 2000;
constexpr double kReceiptP50LimitMs = 93;
constexpr double kAckToReceiptP50LimitMs = 3;
constexpr double kDrainLimitFilesPerSecond = 300;
constexpr double kSpoolStartLimitMs = 1000;
constexpr double kSpoolStartMemoryLimitMiB = 40;

// How long the driver runs on a large spool before its peak memory is read.
constexpr auto kSpoolStartRun = 3s;

const std::set<std::string, std::less<>> kScenarios = {"start", "live", "spooling", "drain", "spool-start", "burst"};

// Bursts with QuickAck=1: alarms acknowledged per second.
constexpr double kBurstBusyLimitPerSecond = 200;
constexpr double kBurstQuietLimitPerSecond = 1000;
// With QuickAck=1 a single line's ACK waits only for its record's write.
constexpr double kQuickAckP50LimitMs = 3;
constexpr double kQuickAckP99LimitMs = 25;

// orvent-service is held to tighter figures than the window program.
constexpr double kServiceStartP50LimitMs = 20;
constexpr double kServiceIdleMemoryLimitMiB = 8;

struct Options {
  std::set<std::string, std::less<>> Run = {"start", "live", "spooling"};
  bool Service = false;  // orvent-service instead of the window program
  std::string Program = ORVENT_DRIVER;
  int Lines = 100;
  int Starts = 10;
  int IdleSeconds = 10;
  int DrainFiles = 10000;
  int DrainTimeoutSeconds = 120;
  int SpoolFiles = 100000;
  int BurstLines = 2000;
  bool QuickAck = false;
};

// The settings file of a run: QuickAck=1 when asked for.
test::DriverIni Ini(const Options& o, const std::string& port, std::uint16_t server_port) {
  test::DriverIni ini(port, server_port);
  if (o.QuickAck) ini.MainKeys = {"QuickAck=1"};
  return ini;
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
    test::DriverProcess driver(dir.path(), {line.path(), server.Port()}, {}, o.Program);
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
  if (o.Service) {
    std::printf("start-up: spawn to completed handshake, %d starts: p50 %.1f ms (limit %.0f), max %.1f ms\n", o.Starts,
                Percentile(start_ms, 0.5), kServiceStartP50LimitMs, Max(start_ms));
    Verdict(Percentile(start_ms, 0.5) <= kServiceStartP50LimitMs, "start-up");
  } else {
    std::printf("start-up: spawn to completed handshake, %d starts: p50 %.1f ms, max %.1f ms (limit %.0f)\n", o.Starts,
                Percentile(start_ms, 0.5), Max(start_ms), kStartLimitMs);
    Verdict(Max(start_ms) <= kStartLimitMs, "start-up");
  }
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
  test::DriverProcess driver(dir.path(), Ini(o, receiver.Device(), server.Port()), {}, o.Program);
  if (!test::WaitFrame(server, "cmd_version", 10s)) {
    std::printf("live: no handshake\n");
    return false;
  }
  std::map<std::int32_t, long long> sent_us;  // by object number
  // When the ACK reached the receiver, by object number: the first write
  // plus the ACK's latency (to 0.1 ms), for lines acknowledged at the first
  // try, whose latency runs from that write.
  std::map<std::int32_t, long long> acked_us;
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
    const double ack = FieldDouble(r, "ack_ms");
    const std::int32_t number = numbers[static_cast<std::size_t>(n - 1)];
    ack_ms.push_back(ack);
    sent_us[number] = *sent;
    if (Field(r, "tries") == 1) acked_us[number] = *sent + std::llround(ack * 1000.0);
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
  // Negative where the record reached the server before the ACK reached the
  // receiver.
  std::vector<double> after_ack_ms;
  for (const auto& [number, acked] : acked_us) {
    if (const auto it = received_us.find(number); it != received_us.end()) {
      after_ack_ms.push_back(static_cast<double>(it->second - acked) / 1000.0);
    }
  }
  const double p50_limit = o.QuickAck ? kQuickAckP50LimitMs : kAckP50LimitMs;
  const double p99_limit = o.QuickAck ? kQuickAckP99LimitMs : kAckP99LimitMs;
  std::printf("line to ACK, %d lines, accepted link%s: p50 %.1f ms (limit %.0f), p99 %.1f ms (limit %.0f), max %.1f ms%s\n",
              o.Lines, o.QuickAck ? ", QuickAck=1" : "", Percentile(ack_ms, 0.5), p50_limit, Percentile(ack_ms, 0.99),
              p99_limit, Max(ack_ms), all_acked ? "" : " (NOT ALL ACKNOWLEDGED)");
  Verdict(all_acked && Percentile(ack_ms, 0.5) <= p50_limit && Percentile(ack_ms, 0.99) <= p99_limit, "line to ACK");
  std::printf("line to server receipt, %zu of %d events: p50 %.1f ms (limit %.0f), p99 %.1f ms, max %.1f ms\n",
              receipt_ms.size(), o.Lines, Percentile(receipt_ms, 0.5), kReceiptP50LimitMs,
              Percentile(receipt_ms, 0.99), Max(receipt_ms));
  Verdict(receipt_ms.size() == static_cast<std::size_t>(o.Lines) && Percentile(receipt_ms, 0.5) <= kReceiptP50LimitMs,
          "line to server receipt");
  std::printf("ACK at the receiver to server receipt, %zu events acknowledged at the first try: p50 %.2f ms (limit %.0f), "
              "p99 %.2f ms, max %.2f ms\n",
              after_ack_ms.size(), Percentile(after_ack_ms, 0.5), kAckToReceiptP50LimitMs, Percentile(after_ack_ms, 0.99),
              Max(after_ack_ms));
  Verdict(!after_ack_ms.empty() && Percentile(after_ack_ms, 0.5) <= kAckToReceiptP50LimitMs, "ACK to server receipt");

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
  std::printf("idle (accepted link, silent receiver): %.2f %% of one core over %.0f s (limit %.2f %%), %d keep-alives\n",
              100.0 * cpu / wall, wall, kIdleCpuLimitPercent, keepalives);
  for (const auto& [name, seconds] : cpu1) {
    const auto before = cpu0.find(name);
    const double used = seconds - (before == cpu0.end() ? 0 : before->second);
    if (used > 0) std::printf("  thread %s: %.3f %%\n", name.c_str(), 100.0 * used / wall);
  }
  Verdict(100.0 * cpu / wall <= kIdleCpuLimitPercent, "idle CPU");
  const double peak_mib = static_cast<double>(StatusKiB(pid, "VmHWM")) / 1024.0;
  std::printf("memory: peak resident (VmHWM) %.1f MiB, resident now (VmRSS) %.1f MiB", peak_mib,
              static_cast<double>(StatusKiB(pid, "VmRSS")) / 1024.0);
  if (o.Service) {
    std::printf(" (limit %.0f)\n", kServiceIdleMemoryLimitMiB);
    Verdict(peak_mib > 0 && peak_mib <= kServiceIdleMemoryLimitMiB, "idle memory");
  } else {
    std::printf("\n");
  }
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
  test::DriverProcess driver(dir.path(), {receiver.Device(), port}, {}, o.Program);
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

// Ready spool files as the driver writes them: named by a number in
// upper-case hexadecimal without leading zeros (from the 1st of a month at
// 00:00:00.000 on, one millisecond apart), each holding the event command and
// a record of its own object number.
constexpr std::uint32_t kFirstSpoolName = 0x5265C00;
constexpr std::int32_t kFirstSpoolNumber = 1'000'000;

SoobBytes SpooledRecord(int i) { return Serialize(test::SampleSoob(kFirstSpoolNumber + i)); }

std::string HexBytes(std::span<const std::uint8_t> bytes) {
  std::string text;
  char byte[4];
  for (const std::uint8_t b : bytes) {
    std::snprintf(byte, sizeof byte, text.empty() ? "%02X" : " %02X", b);
    text += byte;
  }
  return text;
}

// Plain open, write and close, no flush: a hundred thousand files take
// seconds, not minutes.
bool WriteSpoolFiles(const std::string& dir, int count) {
  // The event command, 0x03000020, little-endian.
  static constexpr std::uint8_t kEventCommand[] = {0x20, 0x00, 0x00, 0x03};
  std::uint8_t bytes[sizeof kEventCommand + stru_soob::kSize];
  std::copy(std::begin(kEventCommand), std::end(kEventCommand), bytes);
  char name[32];
  for (int i = 0; i < count; ++i) {
    const SoobBytes record = SpooledRecord(i);
    std::copy(record.begin(), record.end(), bytes + sizeof kEventCommand);
    std::snprintf(name, sizeof name, "/%X.dd8", kFirstSpoolName + static_cast<unsigned>(i));
    const int fd = ::open((dir + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = ::write(fd, bytes, sizeof bytes) == static_cast<ssize_t>(sizeof bytes);
    if (::close(fd) != 0 || !written) return false;
  }
  return true;
}

std::size_t SpoolFilesLeft(const std::string& dir) {
  std::size_t left = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    left += entry.path().extension() == ".dd8";
  }
  return left;
}

// Counts the spooled records that reached the server byte for byte, from its
// event log; a record altered on the way counts as missing.
std::size_t IntactRecords(const std::string& events_file, int files, std::size_t* repeats) {
  std::ifstream in(events_file);
  std::set<int> seen;
  *repeats = 0;
  for (std::string line; std::getline(in, line);) {
    const long long number = std::atoll(JsonField(line, "number").c_str());
    const long long i = number - kFirstSpoolNumber;
    if (i < 0 || i >= files) continue;
    const SoobBytes expected = SpooledRecord(static_cast<int>(i));
    if (JsonField(line, "record") != HexBytes(expected)) continue;
    if (!seen.insert(static_cast<int>(i)).second) ++*repeats;
  }
  return seen.size();
}

// A folder of ready spool files, the server answering at once: from the
// completed handshake to the last file gone, with every record checked in
// the server's event log. Gives up after the time-out with what it saw.
bool Drain(const Options& o) {
  const int files = o.DrainFiles;
  test::TempDir dir;
  test::TempDir server_dir;
  const auto write_start = std::chrono::steady_clock::now();
  if (!WriteSpoolFiles(dir.path(), files)) {
    std::printf("drain: could not write %d spool files\n", files);
    return false;
  }
  const double write_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - write_start).count();
  const std::string events = server_dir.File("events.jsonl");
  test::MsgServerSim server({"--stamp", "--events", events});
  test::PtyPair line;
  test::DriverProcess driver(dir.path(), {line.path(), server.Port()}, {}, o.Program);
  const auto version = test::WaitFrame(server, "cmd_version", 10s);
  const auto handshake_us = version ? Field(*version, "mono_us") : std::nullopt;
  if (!handshake_us) {
    std::printf("drain: no handshake\n");
    return false;
  }

  // The first receipt of each record, from the server's frame lines (read in
  // any case, so that its output pipe never fills).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.DrainTimeoutSeconds);
  std::set<long long> received;
  long long last_receipt_us = *handshake_us;
  while (received.size() < static_cast<std::size_t>(files) && std::chrono::steady_clock::now() < deadline) {
    const auto frame = server.ReadLine(200ms);
    if (!frame) {
      if (server.Process().OutputEnded()) break;
      continue;
    }
    if (frame->rfind("cmd_event ", 0) != 0) continue;
    const auto number = Field(*frame, "number");
    const auto at = Field(*frame, "mono_us");
    if (number && at && *number >= kFirstSpoolNumber && *number < kFirstSpoolNumber + files &&
        received.insert(*number).second) {
      last_receipt_us = *at;
    }
  }
  // The last file goes when its acknowledgement has been read.
  std::optional<long long> empty_us;
  const auto folder_deadline = std::max(deadline, std::chrono::steady_clock::now() + 5s);
  while (received.size() == static_cast<std::size_t>(files) && std::chrono::steady_clock::now() < folder_deadline) {
    if (SpoolFilesLeft(dir.path()) == 0) {
      empty_us = MonotonicUs();
      break;
    }
    (void)server.ReadLine(10ms);
    if (server.Process().OutputEnded()) std::this_thread::sleep_for(10ms);
  }

  const std::size_t left = SpoolFilesLeft(dir.path());
  const auto code = driver.Terminate(10s);
  std::size_t repeats = 0;
  const std::size_t intact = IntactRecords(events, files, &repeats);
  std::printf("drain: %d spool files written in %.2f s\n", files, write_s);
  if (!empty_us) {
    const double elapsed_s = static_cast<double>(MonotonicUs() - *handshake_us) / 1e6;
    const double pace = static_cast<double>(received.size()) / elapsed_s;
    std::printf("drain: GAVE UP after %d s (--drain-timeout): %zu of %d records received, %zu files left; "
                "%.1f files/s (limit %.0f), the whole spool would take about %.0f s at that pace\n",
                o.DrainTimeoutSeconds, received.size(), files, left, pace, kDrainLimitFilesPerSecond,
                pace > 0 ? files / pace : 0.0);
    Verdict(false, "drain");
  } else {
    const double drain_s = static_cast<double>(*empty_us - *handshake_us) / 1e6;
    const double receipt_s = static_cast<double>(last_receipt_us - *handshake_us) / 1e6;
    std::printf("drain: %d files, handshake to the last file gone %.2f s: %.1f files/s (limit %.0f); "
                "last record received after %.2f s\n",
                files, drain_s, files / drain_s, kDrainLimitFilesPerSecond, receipt_s);
    Verdict(files / drain_s >= kDrainLimitFilesPerSecond, "drain");
  }
  std::printf("drain: %zu of %d records arrived intact at the server, %zu repeated\n", intact, files, repeats);
  Verdict(intact == static_cast<std::size_t>(files) || !empty_us, "drain: records missing at the server");
  return code == 0;
}

// Start-up with a large spool in the driver's folder: spawn to completed
// handshake, then the peak memory after a few seconds of running (the
// driver works through the spool meanwhile).
bool SpoolStart(const Options& o) {
  test::TempDir dir;
  const auto write_start = std::chrono::steady_clock::now();
  if (!WriteSpoolFiles(dir.path(), o.SpoolFiles)) {
    std::printf("spool-start: could not write %d spool files\n", o.SpoolFiles);
    return false;
  }
  std::printf("spool-start: %d spool files written in %.2f s\n", o.SpoolFiles,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - write_start).count());
  test::MsgServerSim server({"--stamp"});
  test::PtyPair line;
  const long long spawned_us = MonotonicUs();
  test::DriverProcess driver(dir.path(), {line.path(), server.Port()}, {}, o.Program);
  const auto version = test::WaitFrame(server, "cmd_version", 30s);
  const auto received_us = version ? Field(*version, "mono_us") : std::nullopt;
  if (!received_us) {
    std::printf("spool-start: no handshake within 30 s\n");
    return false;
  }
  const double start_ms = static_cast<double>(*received_us - spawned_us) / 1000.0;
  const pid_t pid = driver.Process().Pid();
  const double cpu0 = Total(ThreadCpuSeconds(pid));
  const auto until = std::chrono::steady_clock::now() + kSpoolStartRun;
  while (std::chrono::steady_clock::now() < until) (void)server.ReadLine(100ms);
  const double cpu = Total(ThreadCpuSeconds(pid)) - cpu0;
  const double peak_mib = static_cast<double>(StatusKiB(pid, "VmHWM")) / 1024.0;
  const std::size_t left = SpoolFilesLeft(dir.path());
  const auto code = driver.Terminate(10s);
  std::printf("spool-start: %d spool files, spawn to completed handshake %.1f ms (limit %.0f)\n", o.SpoolFiles, start_ms,
              kSpoolStartLimitMs);
  Verdict(start_ms <= kSpoolStartLimitMs, "start-up with a large spool");
  std::printf("spool-start: peak resident (VmHWM) after %lld s %.1f MiB (limit %.0f), %zu files left; "
              "CPU meanwhile %.1f %% of one core\n",
              static_cast<long long>(kSpoolStartRun.count()), peak_mib, kSpoolStartMemoryLimitMiB, left,
              100.0 * cpu / std::chrono::duration<double>(kSpoolStartRun).count());
  Verdict(peak_mib > 0 && peak_mib <= kSpoolStartMemoryLimitMiB, "memory with a large spool");
  return code == 0;
}

bool BurstRun(const Options& o, bool busy_disk, bool quick_ack) {
  test::TempDir dir;
  test::TempDir side;
  test::AlarmLedger ledger;
  test::WriteBurstFile(ledger, side.File("burst.txt"), static_cast<std::size_t>(o.BurstLines));
  const std::string events = side.File("events.jsonl");
  test::MsgServerSim server({"--events", events});
  test::ReceiverSim receiver({"--burst", "--file", side.File("burst.txt"), "--quiet", "5000"});
  test::DriverIni ini(receiver.Device(), server.Port());
  if (quick_ack) ini.MainKeys = {"QuickAck=1"};
  std::optional<test::BusyDisk> busy;
  if (busy_disk) busy.emplace(dir.File("busy.bin"));
  test::DriverProcess driver(dir.path(), ini, {}, o.Program);
  test::BurstReader reader(receiver, std::chrono::seconds(o.BurstLines / 50 + 60));
  const std::optional<test::BurstReport> report = reader.Wait(server);
  if (!report) {
    std::printf("burst: no report from receiver-sim\n");
    return false;
  }
  // Every acknowledged line reaches the server.
  const test::AlarmTally t = test::WaitDeliveredTally(ledger, server, events, dir.path(), report->acked, 60s);
  const long lost = std::max<long>(0, report->acked - static_cast<long>(t.Delivered));
  const char* disk = busy_disk ? "busy disk" : "quiet disk";
  std::printf("burst, %s, QuickAck=%d: lines %ld, ACKs %ld, distinct records at the server %zu, lost %ld, "
              "invented %zu, %.0f alarms/s",
              disk, quick_ack ? 1 : 0, report->lines, report->acked, t.Delivered, lost, t.Faults.size(), report->per_s);
  bool ok = lost == 0 && t.Faults.empty() && report->acked == report->lines;
  if (quick_ack) {
    const double limit = busy_disk ? kBurstBusyLimitPerSecond : kBurstQuietLimitPerSecond;
    std::printf(" (limit %.0f)", limit);
    ok = ok && report->per_s >= limit;
  }
  std::printf("\n");
  Verdict(ok, (std::string("burst, ") + disk + (quick_ack ? ", QuickAck=1" : ", default")).c_str());
  return driver.Terminate(5s) == 0;
}

bool Burst(const Options& o) {
  bool ran = true;
  for (const bool busy : {false, true}) {
    for (const bool quick : {true, false}) ran = BurstRun(o, busy, quick) && ran;
  }
  return ran;
}

bool ParseRun(const std::string& list, Options& o) {
  o.Run.clear();
  std::stringstream in(list);
  for (std::string name; std::getline(in, name, ',');) {
    if (name == "all") {
      o.Run = kScenarios;
    } else if (kScenarios.contains(name)) {
      o.Run.insert(name);
    } else {
      return false;
    }
  }
  return !o.Run.empty();
}

bool ParseOptions(int argc, char** argv, Options& o) {
  const std::map<std::string, int*, std::less<>> counts = {
      {"--lines", &o.Lines},          {"--starts", &o.Starts},
      {"--idle-seconds", &o.IdleSeconds}, {"--drain-files", &o.DrainFiles},
      {"--drain-timeout", &o.DrainTimeoutSeconds}, {"--spool-files", &o.SpoolFiles},
      {"--burst-lines", &o.BurstLines}};
  int i = 1;
  for (; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--quick-ack") {
      o.QuickAck = true;
      --i;
      continue;
    }
    if (arg == "--run") {
      if (!ParseRun(argv[i + 1], o)) return false;
      continue;
    }
    if (arg == "--program") {
      const std::string program = argv[i + 1];
      if (program != "driver" && program != "service") return false;
      o.Service = program == "service";
      o.Program = o.Service ? ORVENT_SERVICE : ORVENT_DRIVER;
      continue;
    }
    const auto it = counts.find(arg);
    const int value = std::atoi(argv[i + 1]);
    if (it == counts.end() || value < 1) return false;
    *it->second = value;
  }
  if (i < argc && std::string(argv[i]) == "--quick-ack") {
    o.QuickAck = true;
    ++i;
  }
  return i == argc;
}

}  // namespace
}  // namespace orvent

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  orvent::Options options;
  if (!orvent::ParseOptions(argc, argv, options)) {
    std::fputs(
        "usage: driver_bench [--program driver|service] [--run LIST] [--lines N] [--starts N] [--idle-seconds S]\n"
        "                    [--drain-files N] [--drain-timeout S] [--spool-files N] [--burst-lines N]\n"
        "                    [--quick-ack]\n"
        "  --run LIST  scenarios separated by commas: start, live, spooling, drain, spool-start,\n"
        "              burst, or all (default: start,live,spooling)\n"
        "  --quick-ack QuickAck=1 for start, live and spooling\n",
        stderr);
    return 2;
  }
  const std::pair<const char*, bool (*)(const orvent::Options&)> scenarios[] = {
      {"start", orvent::StartUp},  {"live", orvent::Live},        {"spooling", orvent::Spooling},
      {"drain", orvent::Drain},    {"spool-start", orvent::SpoolStart}, {"burst", orvent::Burst}};
  bool ran = true;
  for (const auto& [name, run] : scenarios) {
    if (options.Run.contains(name)) ran = run(options) && ran;
  }
  const bool ok = ran && orvent::bench::VerdictOk();
  std::printf("driver bench: %s\n", ok ? "within limits" : "OUT OF LIMITS");
  return ok ? 0 : 1;
}

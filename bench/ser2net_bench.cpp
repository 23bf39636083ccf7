// The driver side by side with ser2net, a generic serial-to-TCP forwarder,
// in one run: the same receiver-sim lines on the same kind of pseudo-terminal,
// the same loopback, the same clock (CLOCK_MONOTONIC, stamped by the
// simulators and by this program). ser2net only moves bytes, so it is the
// floor under what a serial line to TCP can cost on this machine; the driver
// also decodes the line, writes its record to disk and frames it for the
// server. Each figure is printed with its limit, and the ratio driver /
// ser2net where the two do comparable work:
//
//  latency  a line's first write into the pseudo-terminal to its arrival at
//           the far end: for ser2net the last byte of the line at a TCP
//           client of its port (this program, which answers each line with
//           the ACK so that receiver-sim goes on); for the driver the event
//           frame at msgserver-sim. The driver runs twice, with its default
//           settings (where its ACK is held to limits too) and with
//           QuickAck=1 (held to ser2net's pace);
//  burst    QuickAck=1, alarms sent as fast as the ACKs allow: alarms per
//           second from the first line's write to the last record's
//           receipt, every alarm acknowledged and at the server;
//  idle     ser2net with its client connected and a silent line, and both
//           driver programs with an accepted link and a silent receiver:
//           CPU, wake-ups per second of all threads together, peak memory.
//
// ser2net is not a build dependency: bench/ser2net_bench.sh installs the
// Debian package when it is missing and runs this program.
//
// usage: ser2net_bench [--run LIST] [--program driver|service] [--lines N] [--rate N] [--alarms N]
//                      [--burst-timeout S] [--idle-seconds S] [--idle-settings default|quickack]
//                      [--ser2net PATH] [--ser2net-chardelay on|off]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/process_bench.h"
#include "support/driver_process.h"
#include "support/proc_stats.h"
#include "support/temp_dir.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;
using namespace bench;
using SteadyClock = std::chrono::steady_clock;

// With QuickAck=1 the driver is to hand a line to the server about as fast as
// a forwarder that does nothing with it.
constexpr double kQuickReceiptP50LimitMs = 3;
constexpr double kQuickReceiptRatioLimit = 1.0;
constexpr double kBurstLimitPerSecond = 200;
// Each driver program, idle (its CPU limit is shared with driver_bench).
constexpr double kIdleWakeupsLimitPerSecond = 10;

// How long the arrival of what was sent is waited for after the last ACK.
constexpr auto kArrivalWait = 10s;
// How long a program has to start listening, or to open the line.
constexpr auto kStartWait = 10s;
// receiver-sim sends a line again when its ACK has not come within this.
constexpr char kResendMs[] = "2000";

const std::set<std::string, std::less<>> kScenarios = {"latency", "burst", "idle"};

struct Options {
  std::set<std::string, std::less<>> Run = kScenarios;
  std::string Program = ORVENT_DRIVER;
  std::string ProgramName = "orvent-driver";
  int Lines = 100;
  // Lines a second: a period that is not a multiple of the driver's 20 ms
  // poll, so the lines meet every phase of it.
  int Rate = 7;
  int Alarms = 2000;
  int BurstTimeoutSeconds = 30;
  int IdleSeconds = 10;
  bool IdleQuickAck = false;
  std::string Ser2net;
  bool Ser2netCharDelay = true;  // ser2net as it comes
};

// driver / ser2net, with the digits that matter near a limit of 1.
std::string Ratio(double driver, double ser2net) {
  if (driver < 0 || ser2net <= 0) return "n/a";
  const double ratio = driver / ser2net;
  char text[32];
  std::snprintf(text, sizeof text, ratio < 10 ? "%.2f" : ratio < 100 ? "%.1f" : "%.0f", ratio);
  return text;
}

// ser2net's YAML for one connection from a loopback TCP port to the
// receiver's pseudo-terminal:
//  - accepter tcp on 127.0.0.1, port 0 (any free one, found afterwards in
//    /proc): raw bytes both ways, no telnet layer, no banner;
//  - connector serialdev at 9600n81, local: the driver's line settings, the
//    modem lines ignored (no flow control; a pseudo-terminal has none);
//  - chardelay as ser2net comes (unless --ser2net-chardelay off): it waits
//    about two characters' time after bytes come in (at least 1 ms; on this
//    line about 3 ms more per line) in case more follow, to send fewer
//    packets; that is the generic forwarder the driver is held against. Off,
//    ser2net passes each read on at once (a pseudo-terminal brings a line in
//    one read): ser2net at its fastest, which forwards bytes without writing
//    anything to disk, for comparison;
//  - timeout 0: a silent connection stays open (the idle figures need it).
std::string Ser2netConfig(const std::string& device, bool chardelay) {
  return "%YAML 1.1\n"
         "---\n"
         "connection: &orvent\n"
         "  accepter: tcp,127.0.0.1,0\n"
         "  timeout: 0\n"
         "  connector: serialdev," + device + ",9600n81,local\n"
         "  options:\n"
         "    kickolduser: false\n"
         "    max-connections: 1\n"
         "    chardelay: " + std::string(chardelay ? "true" : "false") + "\n";
}

// The inodes of the sockets a process holds.
std::set<std::string> SocketInodes(pid_t pid) {
  std::set<std::string> inodes;
  std::error_code error;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
    const std::string lead = "socket:[";
    if (!error && target.rfind(lead, 0) == 0) inodes.insert(target.substr(lead.size(), target.size() - lead.size() - 1));
  }
  return inodes;
}

// The IPv4 port a process listens on, from /proc/PID/net/tcp.
std::optional<std::uint16_t> ListeningPort(pid_t pid) {
  const std::set<std::string> inodes = SocketInodes(pid);
  std::ifstream table("/proc/" + std::to_string(pid) + "/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  constexpr char kListen[] = "0A";
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    const auto colon = local.find(':');
    if (state == kListen && inodes.contains(inode) && colon != std::string::npos) {
      return static_cast<std::uint16_t>(std::stoul(local.substr(colon + 1), nullptr, 16));
    }
  }
  return std::nullopt;
}

// Whether a process holds `path` open.
bool HoldsOpen(pid_t pid, const std::string& path) {
  std::error_code error;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    if (std::filesystem::read_symlink(fd.path(), error) == path && !error) return true;
  }
  return false;
}

// ser2net in the foreground (-n) on a configuration file of its own, never
// the system's; its log goes to its standard output (-d), read only when
// something goes wrong. -u: no UUCP lock file in /var/lock (the driver
// takes none either).
class Ser2net {
public:
  Ser2net(const Options& o, const std::string& device, const test::TempDir& dir) {
    const std::string config = dir.File("ser2net.yaml");
    std::ofstream(config) << Ser2netConfig(device, o.Ser2netCharDelay);
    test::ChildOptions options;
    options.MergeStderr = true;
    process_.emplace(o.Ser2net, std::vector<std::string>{"-n", "-d", "-u", "-c", config}, options);
    const auto deadline = SteadyClock::now() + kStartWait;
    while (!port_ && SteadyClock::now() < deadline && !process_->Ended()) {
      port_ = ListeningPort(process_->Pid());
      if (!port_) ::poll(nullptr, 0, 10);
    }
  }

  // 0 when ser2net did not come to listen.
  std::uint16_t Port() const { return port_.value_or(0); }
  pid_t Pid() const { return process_->Pid(); }

  // ser2net opens the line only when a client connects.
  bool WaitOpened(const std::string& device) {
    const auto deadline = SteadyClock::now() + kStartWait;
    while (!HoldsOpen(Pid(), device)) {
      if (SteadyClock::now() >= deadline || process_->Ended()) return false;
      ::poll(nullptr, 0, 10);
    }
    return true;
  }

  // What it has logged, and how it ended if it has, for a failure message.
  std::string Log() {
    std::string text;
    while (const auto line = process_->ReadLine(0ms)) text += "  ser2net: " + *line + "\n";
    return text + "  ser2net: " + process_->EndText() + "\n";
  }

private:
  std::optional<test::ChildProcess> process_;
  std::optional<std::uint16_t> port_;
};

// A TCP client of ser2net's port in a thread of its own. It notes when the
// last byte (DC4) of each line arrives and answers the line with the ACK, as
// the driver would, so that receiver-sim goes on to the next.
class LineClient {
public:
  explicit LineClient(std::uint16_t port)
      : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), wake_(::eventfd(0, EFD_CLOEXEC)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (socket_ < 0 || wake_ < 0 ||
        ::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      return;
    }
    // The ACK goes out alone, at once.
    const int on = 1;
    ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    thread_ = std::thread([this] { Run(); });
  }
  ~LineClient() {
    if (thread_.joinable()) {
      const std::uint64_t one = 1;
      (void)!::write(wake_, &one, sizeof one);
      thread_.join();
    }
    if (socket_ >= 0) ::close(socket_);
    if (wake_ >= 0) ::close(wake_);
  }
  LineClient(const LineClient&) = delete;
  LineClient& operator=(const LineClient&) = delete;

  bool Connected() const { return thread_.joinable(); }
  // ser2net ended the connection.
  bool Closed() const { return closed_; }

  // CLOCK_MONOTONIC µs of each line's first arrival, by its text without DC4.
  std::map<std::string, long long> Arrivals() const {
    const std::lock_guard lock(mutex_);
    return arrivals_;
  }

private:
  void Run() {
    std::string pending;
    for (;;) {
      pollfd fds[2] = {{socket_, POLLIN, 0}, {wake_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents != 0) return;
      char bytes[512];
      const ssize_t n = ::recv(socket_, bytes, sizeof bytes, 0);
      const long long at = MonotonicUs();
      if (n <= 0) {
        closed_ = true;
        return;
      }
      pending.append(bytes, static_cast<std::size_t>(n));
      for (auto end = pending.find(static_cast<char>(kDC4)); end != std::string::npos;
           end = pending.find(static_cast<char>(kDC4))) {
        {
          const std::lock_guard lock(mutex_);
          arrivals_.emplace(pending.substr(0, end), at);
        }
        pending.erase(0, end + 1);
        const char ack = static_cast<char>(kACK);
        ::send(socket_, &ack, 1, MSG_NOSIGNAL);
      }
    }
  }

  int socket_;
  int wake_;
  std::atomic<bool> closed_ = false;
  mutable std::mutex mutex_;
  std::map<std::string, long long> arrivals_;
  std::thread thread_;
};

// Reads msgserver-sim's output in a thread of its own while the driver runs,
// so that its pipe never fills and stalls the server; the receipts are taken
// from its --events file instead.
class ServerDrain {
public:
  explicit ServerDrain(test::MsgServerSim& server)
      : thread_([this, &server](const std::stop_token& stop) {
          while (!stop.stop_requested()) {
            const auto line = server.ReadLine(200ms);
            if (line && line->rfind("cmd_keepalive", 0) == 0) ++keepalives_;
            if (!line && server.Process().OutputEnded()) return;
          }
        }) {}

  int KeepAlives() const { return keepalives_; }

private:
  std::atomic<int> keepalives_ = 0;
  std::jthread thread_;
};

// One `line N ...` report of receiver-sim --stamp.
struct LineReport {
  std::size_t Index = 0;  // into the lines sent
  bool Acked = false;
  double AckMs = -1;      // from the line's last write
  long long Tries = 0;
  long long SentUs = 0;   // the line's first write
  long long ReadUs = 0;   // when this program read the report
};

std::optional<LineReport> ParseLineReport(const std::string& text) {
  std::size_t number = 0;
  if (std::sscanf(text.c_str(), "line %zu", &number) != 1 || number == 0) return std::nullopt;
  const auto sent = Field(text, "sent_us");
  const auto tries = Field(text, "tries");
  if (!sent || !tries) return std::nullopt;
  LineReport r;
  r.Index = number - 1;
  r.Acked = text.find(" ack_ms ") != std::string::npos;
  r.AckMs = FieldDouble(text, "ack_ms");
  r.Tries = *tries;
  r.SentUs = *sent;
  r.ReadUs = MonotonicUs();
  return r;
}

// Gives receiver-sim (--stdin --stamp) the lines a few at a time and reads
// its reports until every line has one or the deadline passes. It takes a
// line from its input only when the one before has been acknowledged or given
// up, so a few lines ahead keep it busy while neither its input nor its
// output pipe can fill however many lines there are.
std::vector<LineReport> SendLines(test::ReceiverSim& receiver, const std::vector<std::string>& lines,
                                  SteadyClock::time_point deadline) {
  constexpr std::size_t kAhead = 16;
  std::vector<LineReport> reports;
  std::size_t given = 0;
  while (reports.size() < lines.size()) {
    while (given < lines.size() && given < reports.size() + kAhead) {
      if (!receiver.Send(lines[given])) return reports;
      ++given;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
    const auto text = left.count() > 0 ? receiver.ReadLine(left) : std::nullopt;
    if (!text) break;
    if (const auto report = ParseLineReport(*text); report && report->Index < lines.size()) reports.push_back(*report);
  }
  return reports;
}

std::vector<std::string> AlarmLines(int count) {
  std::vector<std::string> lines;
  for (int i = 0; i < count; ++i) lines.push_back(AlarmLine(i));
  return lines;
}

// The first receipt of every object number in msgserver-sim's event log
// (--events, --stamp), and how many records came again.
struct Receipts {
  std::map<std::int32_t, long long> FirstUs;
  std::size_t Repeats = 0;
};

Receipts ReadReceipts(const std::string& events_file) {
  Receipts r;
  std::ifstream in(events_file);
  for (std::string line; std::getline(in, line);) {
    // The server may be writing the last line right now.
    if (line.empty() || line.back() != '}') continue;
    const std::string number = JsonField(line, "number");
    const std::string at = JsonField(line, "mono_us");
    if (number.empty() || at.empty()) continue;
    if (!r.FirstUs.emplace(static_cast<std::int32_t>(std::atoll(number.c_str())), std::atoll(at.c_str())).second) {
      ++r.Repeats;
    }
  }
  return r;
}

// Reads the event log until every one of `numbers` is in it or the wait ends.
Receipts WaitReceipts(const std::string& events_file, const std::set<std::int32_t>& numbers) {
  const auto deadline = SteadyClock::now() + kArrivalWait;
  for (;;) {
    Receipts r = ReadReceipts(events_file);
    std::size_t in = 0;
    for (const std::int32_t n : numbers) in += r.FirstUs.contains(n);
    if (in == numbers.size() || SteadyClock::now() >= deadline) return r;
    ::poll(nullptr, 0, 20);
  }
}

// A line's way from its first write to the far end, and its ACK.
struct LineFigures {
  std::size_t Lines = 0;
  std::size_t Acked = 0;
  std::size_t Arrived = 0;
  std::vector<double> AckMs;
  std::vector<double> ArrivalMs;
};

std::string Percentiles(const std::vector<double>& ms) {
  char text[96];
  std::snprintf(text, sizeof text, "p50 %.2f ms, p99 %.2f ms, max %.2f ms", Percentile(ms, 0.5), Percentile(ms, 0.99),
                Max(ms));
  return text;
}

std::string Ser2netDescription(const Options& o) {
  return std::string("ser2net (raw TCP, 9600n81 local, chardelay ") + (o.Ser2netCharDelay ? "on" : "off") + ")";
}

// Lines through ser2net to this program's client.
std::optional<LineFigures> Ser2netLines(const Options& o) {
  test::TempDir dir;
  test::ReceiverSim receiver({"--stdin", "--stamp", "--no-wait", "--rate", std::to_string(o.Rate), "--timeout", kResendMs});
  Ser2net ser2net(o, receiver.Device(), dir);
  if (ser2net.Port() == 0) {
    std::printf("latency: ser2net did not listen\n%s", ser2net.Log().c_str());
    return std::nullopt;
  }
  LineClient client(ser2net.Port());
  // receiver-sim cannot tell when ser2net opens the line (ser2net does not
  // purge it, as the driver does), so the lines wait until it has.
  if (!client.Connected() || !ser2net.WaitOpened(receiver.Device())) {
    std::printf("latency: ser2net took no client or did not open %s\n%s", receiver.Device().c_str(),
                ser2net.Log().c_str());
    return std::nullopt;
  }
  const std::vector<std::string> lines = AlarmLines(o.Lines);
  const auto reports = SendLines(receiver, lines, SteadyClock::now() + std::chrono::seconds(o.Lines + 30));
  if (reports.size() < lines.size()) {
    std::printf("latency: receiver-sim reported %zu of %zu lines through ser2net (receiver-sim: %s; the client's "
                "connection %s)\n%s",
                reports.size(), lines.size(), receiver.Process().EndText().c_str(),
                client.Closed() ? "closed by ser2net" : "open", ser2net.Log().c_str());
  }
  const auto deadline = SteadyClock::now() + kArrivalWait;
  auto arrivals = client.Arrivals();
  while (arrivals.size() < lines.size() && SteadyClock::now() < deadline) {
    ::poll(nullptr, 0, 20);
    arrivals = client.Arrivals();
  }
  LineFigures f;
  f.Lines = lines.size();
  for (const LineReport& r : reports) {
    if (!r.Acked) continue;
    ++f.Acked;
    f.AckMs.push_back(r.AckMs);
  }
  for (const LineReport& r : reports) {
    if (const auto it = arrivals.find(lines[r.Index]); it != arrivals.end()) {
      ++f.Arrived;
      f.ArrivalMs.push_back(static_cast<double>(it->second - r.SentUs) / 1000.0);
    }
  }
  return f;
}

test::DriverIni Ini(const std::string& device, std::uint16_t port, bool quick_ack) {
  test::DriverIni ini(device, port);
  if (quick_ack) ini.MainKeys.push_back("QuickAck=1");
  return ini;
}

// Lines through the driver to msgserver-sim.
std::optional<LineFigures> DriverLines(const Options& o, bool quick_ack) {
  test::TempDir dir;
  test::TempDir server_dir;
  const std::string events = server_dir.File("events.jsonl");
  test::MsgServerSim server({"--stamp", "--events", events});
  test::ReceiverSim receiver({"--stdin", "--stamp", "--rate", std::to_string(o.Rate), "--timeout", kResendMs});
  test::DriverProcess driver(dir.path(), Ini(receiver.Device(), server.Port(), quick_ack), {}, o.Program);
  if (!test::WaitFrame(server, "cmd_version", kStartWait)) {
    std::printf("latency: %s: no handshake\n", o.ProgramName.c_str());
    return std::nullopt;
  }
  ServerDrain drain(server);
  const std::vector<std::string> lines = AlarmLines(o.Lines);
  const auto reports = SendLines(receiver, lines, SteadyClock::now() + std::chrono::seconds(o.Lines + 30));
  if (reports.size() < lines.size()) {
    std::printf("latency: receiver-sim reported %zu of %zu lines through %s (receiver-sim: %s; %s: %s)\n",
                reports.size(), lines.size(), o.ProgramName.c_str(), receiver.Process().EndText().c_str(),
                o.ProgramName.c_str(), driver.Process().EndText().c_str());
  }
  std::set<std::int32_t> numbers;
  for (const LineReport& r : reports) numbers.insert(DecodedNumber(lines[r.Index]));
  const Receipts receipts = WaitReceipts(events, numbers);
  LineFigures f;
  f.Lines = lines.size();
  for (const LineReport& r : reports) {
    if (r.Acked) {
      ++f.Acked;
      f.AckMs.push_back(r.AckMs);
    }
    if (const auto it = receipts.FirstUs.find(DecodedNumber(lines[r.Index])); it != receipts.FirstUs.end()) {
      ++f.Arrived;
      f.ArrivalMs.push_back(static_cast<double>(it->second - r.SentUs) / 1000.0);
    }
  }
  if (driver.Terminate(5s) != 0) std::printf("latency: %s did not end in order\n", o.ProgramName.c_str());
  return f;
}

// Every line acknowledged and at the far end.
bool Complete(const LineFigures& f) { return f.Acked == f.Lines && f.Arrived == f.Lines; }

std::string Counts(const LineFigures& f) {
  if (Complete(f)) return "";
  char text[96];
  std::snprintf(text, sizeof text, " (ONLY %zu of %zu acknowledged, %zu arrived)", f.Acked, f.Lines, f.Arrived);
  return text;
}

bool Latency(const Options& o) {
  std::printf("latency: %d lines at %d a second, from each line's first write into the pseudo-terminal\n", o.Lines,
              o.Rate);
  const auto s2n = Ser2netLines(o);
  double s2n_p50 = -1;
  double s2n_p99 = -1;
  if (s2n) {
    s2n_p50 = Percentile(s2n->ArrivalMs, 0.5);
    s2n_p99 = Percentile(s2n->ArrivalMs, 0.99);
    std::printf("  %s, to its client's receipt of the line:\n    %s%s\n", Ser2netDescription(o).c_str(),
                Percentiles(s2n->ArrivalMs).c_str(), Counts(*s2n).c_str());
    std::printf("    (line to ACK, the client's ACK back through ser2net: %s)\n", Percentiles(s2n->AckMs).c_str());
  }
  Verdict(s2n && Complete(*s2n), "ser2net's figures (no ratio without them)");

  bool ran = true;
  for (const bool quick : {false, true}) {
    const auto d = DriverLines(o, quick);
    if (!d) {
      ran = false;
      continue;
    }
    const double p50 = Percentile(d->ArrivalMs, 0.5);
    const double p99 = Percentile(d->ArrivalMs, 0.99);
    const double ack_p50 = Percentile(d->AckMs, 0.5);
    const double ack_p99 = Percentile(d->AckMs, 0.99);
    std::printf("  %s, %s:%s\n", o.ProgramName.c_str(), quick ? "QuickAck=1" : "default settings", Counts(*d).c_str());
    if (quick) {
      std::printf("    line to ACK: %s\n", Percentiles(d->AckMs).c_str());
      std::printf("    line to the server's receipt: p50 %.2f ms (limit %.0f), p99 %.2f ms, max %.2f ms\n", p50,
                  kQuickReceiptP50LimitMs, p99, Max(d->ArrivalMs));
      std::printf("    driver / ser2net: p50 %s (limit %.1f), p99 %s\n", Ratio(p50, s2n_p50).c_str(),
                  kQuickReceiptRatioLimit, Ratio(p99, s2n_p99).c_str());
      Verdict(Complete(*d), "QuickAck=1: lines not acknowledged or not delivered");
      Verdict(p50 >= 0 && p50 <= kQuickReceiptP50LimitMs, "QuickAck=1: line to the server's receipt");
      Verdict(s2n_p50 > 0 && p50 >= 0 && p50 / s2n_p50 <= kQuickReceiptRatioLimit,
              "QuickAck=1: line to the server's receipt against ser2net");
    } else {
      std::printf("    line to ACK: p50 %.2f ms (limit %.0f), p99 %.2f ms (limit %.0f), max %.2f ms\n", ack_p50,
                  kAckP50LimitMs, ack_p99, kAckP99LimitMs, Max(d->AckMs));
      std::printf("    line to the server's receipt: %s\n", Percentiles(d->ArrivalMs).c_str());
      std::printf("    driver / ser2net: p50 %s, p99 %s\n", Ratio(p50, s2n_p50).c_str(), Ratio(p99, s2n_p99).c_str());
      Verdict(Complete(*d), "default settings: lines not acknowledged or not delivered");
      Verdict(ack_p50 >= 0 && ack_p50 <= kAckP50LimitMs && ack_p99 <= kAckP99LimitMs, "default settings: line to ACK");
    }
  }
  return s2n.has_value() && ran;
}

// QuickAck=1: alarms as fast as the ACKs allow, until they are all through
// or the time-out.
bool Burst(const Options& o) {
  test::TempDir dir;
  test::TempDir server_dir;
  const std::string events = server_dir.File("events.jsonl");
  test::MsgServerSim server({"--stamp", "--events", events});
  test::ReceiverSim receiver({"--stdin", "--stamp", "--timeout", kResendMs});
  test::DriverProcess driver(dir.path(), Ini(receiver.Device(), server.Port(), true), {}, o.Program);
  if (!test::WaitFrame(server, "cmd_version", kStartWait)) {
    std::printf("burst: %s: no handshake\n", o.ProgramName.c_str());
    return false;
  }
  ServerDrain drain(server);
  const std::vector<std::string> lines = AlarmLines(o.Alarms);
  const auto reports = SendLines(receiver, lines, SteadyClock::now() + std::chrono::seconds(o.BurstTimeoutSeconds));
  std::set<std::int32_t> acked;
  std::size_t lost = 0;
  long long resends = 0;
  long long last_ack_us = 0;
  for (const LineReport& r : reports) {
    resends += r.Tries - 1;
    if (!r.Acked) {
      ++lost;
      continue;
    }
    acked.insert(DecodedNumber(lines[r.Index]));
    // The ACK's arrival is known to the 0.1 ms for a line acknowledged at its
    // first write; otherwise the report's reading stands in for it.
    last_ack_us = std::max(last_ack_us, r.Tries == 1 ? r.SentUs + std::llround(r.AckMs * 1000.0) : r.ReadUs);
  }
  const Receipts receipts = WaitReceipts(events, acked);
  std::size_t delivered = 0;
  long long last_receipt_us = 0;
  for (const std::int32_t n : acked) {
    if (const auto it = receipts.FirstUs.find(n); it != receipts.FirstUs.end()) {
      ++delivered;
      last_receipt_us = std::max(last_receipt_us, it->second);
    }
  }
  const auto code = driver.Terminate(5s);

  const long long first_us = reports.empty() ? 0 : reports.front().SentUs;
  const double to_receipt_s = static_cast<double>(last_receipt_us - first_us) / 1e6;
  const double to_ack_s = static_cast<double>(last_ack_us - first_us) / 1e6;
  const double pace = delivered > 0 && to_receipt_s > 0 ? static_cast<double>(delivered) / to_receipt_s : 0;
  const bool finished = reports.size() == lines.size();
  std::printf("burst: %s, QuickAck=1, %d alarms as fast as the ACKs allow\n", o.ProgramName.c_str(), o.Alarms);
  if (!finished) std::printf("  GAVE UP after %d s (--burst-timeout)\n", o.BurstTimeoutSeconds);
  std::printf("  %zu of %d acknowledged, %zu lost, %lld resent; %zu of them at the server, %zu records repeated\n",
              acked.size(), o.Alarms, lost, resends, delivered, receipts.Repeats);
  std::printf("  first write to the last record's receipt %.2f s: %.1f alarms/s (limit %.0f); "
              "to the last ACK %.2f s: %.1f alarms/s\n",
              to_receipt_s, pace, kBurstLimitPerSecond, to_ack_s,
              to_ack_s > 0 ? static_cast<double>(acked.size()) / to_ack_s : 0.0);
  if (!finished && pace > 0) {
    std::printf("  the whole burst would take about %.0f s at that pace\n", o.Alarms / pace);
  }
  Verdict(finished && lost == 0 && acked.size() == lines.size(), "burst: alarms not acknowledged");
  Verdict(delivered == acked.size(), "burst: acknowledged alarms missing at the server");
  Verdict(pace >= kBurstLimitPerSecond, "burst: alarms per second");
  return code == 0;
}

// What an idle process costs over a window of time.
struct IdleCost {
  double Seconds = 0;
  double CpuPercent = -1;
  double WakeupsPerSecond = -1;
  double PeakMiB = -1;
  int KeepAlives = -1;
  std::map<std::string, double> ThreadCpuPercent;
  std::map<std::string, double> ThreadWakeupsPerSecond;
};

// The process is left alone for the window: this program only sleeps
// meanwhile (its own threads wait on their descriptors).
IdleCost MeasureIdle(pid_t pid, int seconds) {
  const auto cpu0 = test::ThreadCpuSeconds(pid);
  const auto switches0 = test::ThreadSwitches(pid);
  const auto t0 = SteadyClock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const auto cpu1 = test::ThreadCpuSeconds(pid);
  const auto switches1 = test::ThreadSwitches(pid);
  IdleCost c;
  c.Seconds = std::chrono::duration<double>(SteadyClock::now() - t0).count();
  for (const auto& [thread, used] : test::Growth(cpu0, cpu1)) c.ThreadCpuPercent[thread] = 100.0 * used / c.Seconds;
  for (const auto& [thread, n] : test::Growth(switches0, switches1)) {
    c.ThreadWakeupsPerSecond[thread] = static_cast<double>(n) / c.Seconds;
  }
  c.CpuPercent = test::Total(c.ThreadCpuPercent);
  c.WakeupsPerSecond = test::Total(c.ThreadWakeupsPerSecond);
  c.PeakMiB = static_cast<double>(test::StatusKiB(pid, "VmHWM")) / 1024.0;
  return c;
}

// ser2net with its client connected and one line through, then silence.
std::optional<IdleCost> Ser2netIdle(const Options& o) {
  test::TempDir dir;
  test::ReceiverSim receiver({"--stdin", "--stamp", "--no-wait", "--timeout", kResendMs});
  Ser2net ser2net(o, receiver.Device(), dir);
  if (ser2net.Port() == 0) {
    std::printf("idle: ser2net did not listen\n%s", ser2net.Log().c_str());
    return std::nullopt;
  }
  LineClient client(ser2net.Port());
  if (!client.Connected() || !ser2net.WaitOpened(receiver.Device()) ||
      SendLines(receiver, AlarmLines(1), SteadyClock::now() + kStartWait).size() != 1) {
    std::printf("idle: no line through ser2net\n%s", ser2net.Log().c_str());
    return std::nullopt;
  }
  std::this_thread::sleep_for(1s);
  return MeasureIdle(ser2net.Pid(), o.IdleSeconds);
}

// A driver program with an accepted link and one line through, then a
// silent receiver.
std::optional<IdleCost> DriverIdle(const Options& o, const std::string& program, const std::string& name) {
  test::TempDir dir;
  test::MsgServerSim server({"--stamp"});
  test::ReceiverSim receiver({"--stdin", "--stamp", "--timeout", kResendMs});
  test::DriverProcess driver(dir.path(), Ini(receiver.Device(), server.Port(), o.IdleQuickAck), {}, program);
  if (!test::WaitFrame(server, "cmd_version", kStartWait)) {
    std::printf("idle: %s: no handshake\n", name.c_str());
    return std::nullopt;
  }
  ServerDrain drain(server);
  const auto reports = SendLines(receiver, AlarmLines(1), SteadyClock::now() + kStartWait);
  if (reports.size() != 1 || !reports.front().Acked) {
    std::printf("idle: %s did not acknowledge a line\n", name.c_str());
    return std::nullopt;
  }
  std::this_thread::sleep_for(1s);
  const int keepalives = drain.KeepAlives();
  IdleCost c = MeasureIdle(driver.Process().Pid(), o.IdleSeconds);
  c.KeepAlives = drain.KeepAlives() - keepalives;
  if (driver.Terminate(5s) != 0) std::printf("idle: %s did not end in order\n", name.c_str());
  return c;
}

void PrintThreads(const IdleCost& c) {
  for (const auto& [thread, percent] : c.ThreadCpuPercent) {
    const auto w = c.ThreadWakeupsPerSecond.find(thread);
    std::printf("      thread %s: %.3f %%, %.1f wake-ups/s\n", thread.c_str(), percent,
                w == c.ThreadWakeupsPerSecond.end() ? 0.0 : w->second);
  }
}

bool Idle(const Options& o) {
  std::printf("idle: %d s each; ser2net with its client connected and a silent line, the driver with an accepted "
              "link and a silent receiver (%s)\n",
              o.IdleSeconds, o.IdleQuickAck ? "QuickAck=1" : "default settings");
  const auto s2n = Ser2netIdle(o);
  if (s2n) {
    std::printf("  %s: CPU %.3f %% of one core, %.1f wake-ups/s, peak memory (VmHWM) %.1f MiB\n",
                Ser2netDescription(o).c_str(), s2n->CpuPercent, s2n->WakeupsPerSecond, s2n->PeakMiB);
    PrintThreads(*s2n);
  }
  Verdict(s2n.has_value(), "ser2net's idle figures (no ratio without them)");
  bool ran = s2n.has_value();
  const std::pair<std::string, std::string> programs[] = {{ORVENT_DRIVER, "orvent-driver (offscreen)"},
                                                          {ORVENT_SERVICE, "orvent-service"}};
  for (const auto& [program, name] : programs) {
    const auto d = DriverIdle(o, program, name);
    if (!d) {
      ran = false;
      continue;
    }
    const double s2n_cpu = s2n ? s2n->CpuPercent : -1;
    const double s2n_wakeups = s2n ? s2n->WakeupsPerSecond : -1;
    const double s2n_peak = s2n ? s2n->PeakMiB : -1;
    std::printf("  %s: CPU %.3f %% of one core (limit %.2f; driver / ser2net %s), %.1f wake-ups/s (limit %.0f; "
                "driver / ser2net %s), peak memory (VmHWM) %.1f MiB (driver / ser2net %s); %d keep-alives\n",
                name.c_str(), d->CpuPercent, kIdleCpuLimitPercent, Ratio(d->CpuPercent, s2n_cpu).c_str(),
                d->WakeupsPerSecond, kIdleWakeupsLimitPerSecond, Ratio(d->WakeupsPerSecond, s2n_wakeups).c_str(),
                d->PeakMiB, Ratio(d->PeakMiB, s2n_peak).c_str(), d->KeepAlives);
    PrintThreads(*d);
    Verdict(d->CpuPercent <= kIdleCpuLimitPercent, (name + ": idle CPU").c_str());
    Verdict(d->WakeupsPerSecond <= kIdleWakeupsLimitPerSecond, (name + ": idle wake-ups").c_str());
  }
  return ran;
}

// ser2net on the search path, or where Debian puts it.
std::string FindSer2net() {
  std::vector<std::string> dirs;
  if (const char* path = std::getenv("PATH")) {
    std::stringstream in(path);
    for (std::string dir; std::getline(in, dir, ':');) dirs.push_back(dir);
  }
  dirs.insert(dirs.end(), {"/usr/sbin", "/usr/local/sbin"});
  for (const std::string& dir : dirs) {
    const std::string candidate = dir + "/ser2net";
    if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// The version ser2net -v gives ("/usr/sbin/ser2net version 4.3.11"); empty
// when it does not say, or is older than 4, whose YAML configuration this
// program writes.
std::string Ser2netVersion(const std::string& path) {
  test::ChildOptions options;
  options.MergeStderr = true;
  test::ChildProcess version(path, {"-v"}, options);
  const auto line = version.ReadLine(5s);
  version.WaitExit(5s);
  const std::string lead = " version ";
  const auto at = line ? line->find(lead) : std::string::npos;
  if (at == std::string::npos || std::atoi(line->c_str() + at + lead.size()) < 4) return {};
  return line->substr(at + lead.size());
}

bool ParseOptions(int argc, char** argv, Options& o) {
  const std::map<std::string, int*, std::less<>> counts = {
      {"--lines", &o.Lines},       {"--rate", &o.Rate},
      {"--alarms", &o.Alarms},     {"--burst-timeout", &o.BurstTimeoutSeconds},
      {"--idle-seconds", &o.IdleSeconds}};
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    const std::string value = argv[i + 1];
    if (arg == "--run") {
      o.Run.clear();
      std::stringstream in(value);
      for (std::string name; std::getline(in, name, ',');) {
        if (!kScenarios.contains(name)) return false;
        o.Run.insert(name);
      }
      if (o.Run.empty()) return false;
    } else if (arg == "--program") {
      if (value != "driver" && value != "service") return false;
      o.Program = value == "driver" ? ORVENT_DRIVER : ORVENT_SERVICE;
      o.ProgramName = "orvent-" + value;
    } else if (arg == "--idle-settings") {
      if (value != "default" && value != "quickack") return false;
      o.IdleQuickAck = value == "quickack";
    } else if (arg == "--ser2net") {
      o.Ser2net = value;
    } else if (arg == "--ser2net-chardelay") {
      if (value != "on" && value != "off") return false;
      o.Ser2netCharDelay = value == "on";
    } else {
      const auto it = counts.find(arg);
      const int n = std::atoi(value.c_str());
      if (it == counts.end() || n < 1) return false;
      *it->second = n;
    }
  }
  // Distinct object numbers run out at 9,000 lines.
  return argc % 2 == 1 && o.Lines <= 9000 && o.Alarms <= 9000;
}

}  // namespace
}  // namespace orvent

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  orvent::Options o;
  const bool help = argc == 2 && std::string(argv[1]) == "--help";
  if (help || !orvent::ParseOptions(argc, argv, o)) {
    std::fputs(
        "usage: ser2net_bench [--run LIST] [--program driver|service] [--lines N] [--rate N] [--alarms N]\n"
        "                     [--burst-timeout S] [--idle-seconds S] [--idle-settings default|quickack]\n"
        "                     [--ser2net PATH] [--ser2net-chardelay on|off]\n"
        "  --run LIST  latency, burst, idle separated by commas (default: all three)\n"
        "  --program   the driver program of the latency and burst runs (default: driver);\n"
        "              the idle run measures both\n"
        "  N up to 9,000 for --lines and --alarms\n",
        help ? stdout : stderr);
    return help ? 0 : 2;
  }
  if (o.Ser2net.empty()) o.Ser2net = orvent::FindSer2net();
  const std::string version = o.Ser2net.empty() ? std::string() : orvent::Ser2netVersion(o.Ser2net);
  if (version.empty()) {
    std::fprintf(stderr,
                 "ser2net_bench: no ser2net 4.x found%s%s; bench/ser2net_bench.sh installs the Debian package "
                 "and runs this program\n",
                 o.Ser2net.empty() ? "" : " at ", o.Ser2net.c_str());
    return 2;
  }
  std::printf("ser2net %s (%s); latency and burst of %s\n", version.c_str(), o.Ser2net.c_str(),
              o.ProgramName.c_str());
  const std::pair<const char*, bool (*)(const orvent::Options&)> scenarios[] = {
      {"latency", orvent::Latency}, {"burst", orvent::Burst}, {"idle", orvent::Idle}};
  bool ran = true;
  for (const auto& [name, run] : scenarios) {
    if (o.Run.contains(name)) ran = run(o) && ran;
  }
  const bool ok = ran && orvent::bench::VerdictOk();
  std::printf("ser2net bench: %s\n", ok ? "within limits" : "OUT OF LIMITS");
  return ok ? 0 : 1;
}

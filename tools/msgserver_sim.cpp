// msgserver-sim: a message server for tests, benchmarks and the demo. It
// serves one driver connection at a time, answers every frame with exactly
// one message (unless told to misbehave), and prints every frame it receives
// on one line of standard output, the first line naming the port it listens on.

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "common/command_line_refusal.h"
#include "common/parse_int.h"
#include "common/program_version.h"
#include "delivery/commands.h"
#include "delivery/event_record.h"
#include "delivery/frame_protocol.h"
#include "platform/clock.h"
#include "platform/tcp_socket.h"

namespace orvent {
namespace {

using namespace std::chrono_literals;

struct Options {
  bool Help = false;
  bool Version = false;
  std::string Host = "127.0.0.1";
  std::int32_t Port = 12543;
  bool NoAccept = false;
  bool Deny = false;
  bool NoAck = false;
  bool Silent = false;
  std::int32_t DisconnectAfter = 0;  // 0: never
  std::int32_t DropAfter = 0;
  std::int32_t CloseAfter = 0;
  std::int32_t AckDelayMs = 0;
  std::string EventsFile;
  bool Stamp = false;
  // Hostile servers: acknowledgements sent at the connection's start without
  // reading a frame (then silence), or every reply sent twice.
  bool AckUnread = false;
  bool AnswerTwice = false;
};

constexpr char kProgram[] = "msgserver-sim";
constexpr char kUsage[] =
    "usage: msgserver-sim [--host ADDR] [--port N] [--no-accept | --deny] [--no-ack] [--silent]\n"
    "                     [--disconnect-after N] [--drop-after N] [--close-after N]\n"
    "                     [--ack-delay MS] [--events FILE] [--stamp] [--ack-unread | --answer-twice]\n"
    "       msgserver-sim --help | --version\n"
    "  --host ADDR             listen on ADDR, IPv4 or IPv6 (::1 or [::1]), or the address\n"
    "                          of a host name (default 127.0.0.1)\n"
    "  --port N                listen on port N (default 12543; 0: any free port)\n"
    "  --no-accept             never accept the driver's registration\n"
    "  --deny                  refuse the driver's registration\n"
    "  --no-ack                acknowledge no event\n"
    "  --silent                answer nothing\n"
    "  --disconnect-after N    send the disconnect command as the N-th answer of a connection\n"
    "  --drop-after N          send the drop command as the N-th answer of a connection\n"
    "  --close-after N         close the connection instead of its N-th answer\n"
    "  --ack-delay MS          wait MS ms before each event acknowledgement\n"
    "  --events FILE           append one JSON line per event to FILE\n"
    "  --stamp                 add mono_us T to every frame line and event: CLOCK_MONOTONIC\n"
    "                          microseconds when the whole frame was in, comparable with\n"
    "                          receiver-sim --stamp\n"
    "  --ack-unread            at each connection, send an acceptance and 100 event\n"
    "                          acknowledgements before reading anything, then read frames\n"
    "                          and answer none\n"
    "  --answer-twice          send every reply twice\n";

// Why the command line is refused, naming the argument; nullopt when it is not.
std::optional<std::string> ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    // A refusal of the option's value, or of its absence.
    std::optional<std::string> refusal;
    const auto text = [&](std::string& out) {
      if (i + 1 < argc) {
        out = argv[++i];
      } else {
        refusal = "\"" + arg + "\" wants a value";
      }
    };
    const auto number = [&](std::int32_t& out, std::int32_t max) {
      if (i + 1 >= argc) {
        refusal = "\"" + arg + "\" wants a number";
        return;
      }
      const std::string v = argv[++i];
      const auto n = TryParseInt(v);
      if (!n || *n < 0 || *n > max) {
        refusal = "\"" + arg + "\" wants a number from 0 to " + std::to_string(max) + ", not \"" + v + "\"";
        return;
      }
      out = *n;
    };
    constexpr std::int32_t kAnyCount = std::numeric_limits<std::int32_t>::max();
    if (arg == "--help" || arg == "-h") {
      o.Help = true;
    } else if (arg == "--version") {
      o.Version = true;
    } else if (arg == "--host") {
      text(o.Host);
    } else if (arg == "--port") {
      number(o.Port, 65535);
    } else if (arg == "--no-accept") {
      o.NoAccept = true;
    } else if (arg == "--deny") {
      o.Deny = true;
    } else if (arg == "--no-ack") {
      o.NoAck = true;
    } else if (arg == "--silent") {
      o.Silent = true;
    } else if (arg == "--disconnect-after") {
      number(o.DisconnectAfter, kAnyCount);
    } else if (arg == "--drop-after") {
      number(o.DropAfter, kAnyCount);
    } else if (arg == "--close-after") {
      number(o.CloseAfter, kAnyCount);
    } else if (arg == "--ack-delay") {
      number(o.AckDelayMs, kAnyCount);
    } else if (arg == "--events") {
      text(o.EventsFile);
    } else if (arg == "--stamp") {
      o.Stamp = true;
    } else if (arg == "--ack-unread") {
      o.AckUnread = true;
    } else if (arg == "--answer-twice") {
      o.AnswerTwice = true;
    } else {
      refusal = UnknownArgument(arg);
    }
    if (refusal) return refusal;
  }
  if (o.NoAccept && o.Deny) return "\"--no-accept\" and \"--deny\" exclude each other";
  if (o.AckUnread && o.AnswerTwice) return "\"--ack-unread\" and \"--answer-twice\" exclude each other";
  return std::nullopt;
}

std::string Hex(std::span<const std::uint8_t> bytes) {
  std::string out;
  char buf[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
    out += buf;
  }
  return out;
}

std::string TimeText(double t) {
  // Only a plausible date is decoded; anything else is shown as the number.
  if (!std::isfinite(t) || t < 0 || t > 2958465.0) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", t);
    return buf;
  }
  const CivilTime c = DecodeDateTime(t);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", c.year, c.month, c.day, c.hour, c.minute,
                c.second, c.millisecond);
  return buf;
}

long long MonotonicUs() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

std::string ZoneText(const stru_soob& r) {
  const std::size_t n = std::min<std::size_t>(r.ZoneLength, stru_soob::kZoneCapacity);
  return std::string(r.ZoneChars.begin(), r.ZoneChars.begin() + static_cast<std::ptrdiff_t>(n));
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (const unsigned char ch : s) {
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += static_cast<char>(ch);
    } else if (ch < 0x20 || ch >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", ch);
      out += buf;
    } else {
      out += static_cast<char>(ch);
    }
  }
  return out + "\"";
}

class Server {
public:
  Server(const Options& options, std::FILE* events) : o_(options), events_(events) {}

  int Run(const std::stop_token& stop) {
    IpAddress address;
    if (const auto error = ResolveAddress(o_.Host, address)) {
      std::fprintf(stderr, "msgserver-sim: cannot resolve %s: %s\n", o_.Host.c_str(), error.message().c_str());
      return 1;
    }
    if (const auto error = listener_.Listen(address, static_cast<std::uint16_t>(o_.Port))) {
      std::fprintf(stderr, "msgserver-sim: cannot listen on %s:%d: %s\n", o_.Host.c_str(), o_.Port,
                   error.message().c_str());
      return 1;
    }
    // An IPv6 address in brackets, so that the port after the last colon
    // stands apart.
    const bool bare_v6 = address.Kind == IpAddress::Family::V6 && !o_.Host.starts_with('[');
    const std::string shown = bare_v6 ? "[" + o_.Host + "]" : o_.Host;
    std::printf("listening %s:%u\n", shown.c_str(), listener_.LocalPort());
    std::fflush(stdout);
    while (!stop.stop_requested()) {
      TcpSocket connection;
      if (!listener_.Accept(connection, 1000ms, stop).ok()) continue;
      std::fprintf(stderr, "msgserver-sim: connection opened\n");
      Serve(connection, stop);
      std::fprintf(stderr, "msgserver-sim: connection closed\n");
    }
    return 0;
  }

private:
  // Reads exactly n bytes; false when the peer closes or a stop comes first.
  static bool ReadExactly(TcpSocket& s, std::uint8_t* out, std::size_t n, const std::stop_token& stop) {
    std::size_t have = 0;
    while (have < n) {
      const NetResult waited = s.WaitReadable(1000ms, stop);
      if (waited.Status == NetStatus::TimedOut) continue;
      if (!waited.ok()) return false;
      const NetResult got = s.Receive(std::span(out + have, n - have));
      if (got.Status != NetStatus::Ok) return false;
      have += got.Bytes;
    }
    return true;
  }

  void Serve(TcpSocket& connection, const std::stop_token& stop) {
    std::int32_t count = 0;
    if (o_.AckUnread) {
      constexpr int kUnreadAcks = 100;
      if (!Reply(connection, cmd_accepted, stop)) return;
      for (int i = 0; i < kUnreadAcks; ++i) {
        if (!Reply(connection, cmd_event_ack, stop)) return;
      }
    }
    std::array<std::uint8_t, block_prefix::kSize> prefix{};
    while (ReadExactly(connection, prefix.data(), prefix.size(), stop)) {
      const auto parsed = ParsePrefix(prefix);
      if (!parsed || parsed->Length < 0 || parsed->Length > kMaxReplyLength) {
        std::fprintf(stderr, "msgserver-sim: bad block prefix %s\n", Hex(prefix).c_str());
        return;
      }
      std::vector<std::uint8_t> frame(static_cast<std::size_t>(parsed->Length));
      if (!ReadExactly(connection, frame.data(), frame.size(), stop)) return;
      const long long received_us = MonotonicUs();
      ++count;
      const auto header = InterpretReply(frame);
      if (!header) {
        std::printf("bad-frame len=%zu %s\n", frame.size(), Hex(frame).c_str());
        std::fflush(stdout);
        if (!o_.Silent && !Reply(connection, cmd_keepalive, stop)) return;
        continue;
      }
      Print(*header, frame, received_us);
      if (o_.Silent || o_.AckUnread) continue;
      if (o_.CloseAfter && count == o_.CloseAfter) return;
      std::uint32_t answer = cmd_keepalive;
      if (o_.DisconnectAfter && count == o_.DisconnectAfter) {
        answer = cmd_disconnect;
      } else if (o_.DropAfter && count == o_.DropAfter) {
        answer = cmd_drop;
      } else if (header->Header.Command == cmd_register) {
        answer = o_.Deny ? cmd_denied : o_.NoAccept ? cmd_keepalive : cmd_accepted;
      } else if (header->Header.Command == cmd_event && !o_.NoAck) {
        answer = cmd_event_ack;
        if (!Pause(o_.AckDelayMs, stop)) return;
      }
      if (!Reply(connection, answer, stop)) return;
      if (o_.AnswerTwice && !Reply(connection, answer, stop)) return;
    }
  }

  static bool Pause(std::int32_t ms, const std::stop_token& stop) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
      if (stop.stop_requested()) return false;
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
          until - std::chrono::steady_clock::now(), 20ms));
    }
    return true;
  }

  static bool Reply(TcpSocket& connection, std::uint32_t command, const std::stop_token& stop) {
    const auto block = BuildBlock(BuildFrame(command, {}, 0));
    return connection.SendAll(block, stop).ok();
  }

  void Print(const ReplyFrame& frame, const std::vector<std::uint8_t>& raw, long long received_us) {
    const char* name = CommandName(frame.Header.Command);
    char code[16];
    std::snprintf(code, sizeof code, "0x%08" PRIX32, frame.Header.Command);
    std::string line = std::string(name ? name : code) + " seq=" + std::to_string(frame.Header.Sequence);
    const std::span<const std::uint8_t> payload(raw.data() + arb_header::kSize, raw.size() - arb_header::kSize);
    const auto record = frame.Header.Command == cmd_event ? DeserializeSoob(payload) : std::nullopt;
    if (record) {
      line += " number=" + std::to_string(record->Number) + " zone=" + ZoneText(*record) +
              " partition=" + std::to_string(record->Razdel) + " kind=" + std::to_string(record->Kind) +
              " time=" + TimeText(record->RecvTime);
      WriteEvent(frame.Header.Sequence, *record, payload, received_us);
    } else if (!payload.empty()) {
      line += " payload=" + Hex(payload);
    }
    if (o_.Stamp) line += " mono_us=" + std::to_string(received_us);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }

  void WriteEvent(std::uint64_t sequence, const stru_soob& r, std::span<const std::uint8_t> bytes,
                  long long received_us) {
    if (!events_) return;
    const std::string stamp = o_.Stamp ? ",\"mono_us\":" + std::to_string(received_us) : "";
    std::fprintf(events_,
                 "{\"seq\":%" PRIu64 ",\"number\":%" PRId32 ",\"zone\":%s,\"partition\":%u,\"kind\":%u,"
                 "\"time\":%s,\"mark\":%u,\"record\":\"%s\"%s}\n",
                 sequence, r.Number, JsonString(ZoneText(r)).c_str(), r.Razdel, r.Kind,
                 JsonString(TimeText(r.RecvTime)).c_str(), r.Mark, Hex(bytes).c_str(), stamp.c_str());
    std::fflush(events_);
  }

  const Options& o_;
  std::FILE* events_;
  TcpListener listener_;
};

}  // namespace
}  // namespace orvent

int main(int argc, char** argv) {
  orvent::Options options;
  if (const auto refusal = orvent::ParseOptions(argc, argv, options)) {
    return orvent::RefuseCommandLine(orvent::kProgram, *refusal);
  }
  if (options.Help) {
    std::fputs(orvent::kUsage, stdout);
    return 0;
  }
  if (options.Version) {
    std::printf("%s %s\n", orvent::kProgram, orvent::ProgramVersion().c_str());
    return 0;
  }
  std::FILE* events = nullptr;
  if (!options.EventsFile.empty()) {
    events = std::fopen(options.EventsFile.c_str(), "a");
    if (!events) {
      std::fprintf(stderr, "msgserver-sim: cannot open %s: %s\n", options.EventsFile.c_str(), std::strerror(errno));
      return 1;
    }
  }
  // SIGTERM and SIGINT are taken by one thread that asks the server to stop,
  // so every wait of the server ends cleanly instead of the process dying.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::stop_source stop;
  std::thread([signals, stop]() mutable {
    siginfo_t info{};
    while (sigwaitinfo(&signals, &info) < 0) {
    }
    // Who ended it: a simulator that vanishes in the middle of a run is
    // otherwise hard to account for.
    std::fprintf(stderr, "msgserver-sim: %s from process %d, stopping\n", strsignal(info.si_signo),
                 static_cast<int>(info.si_pid));
    stop.request_stop();
  }).detach();

  orvent::Server server(options, events);
  const int rc = server.Run(stop.get_token());
  if (events) std::fclose(events);
  return rc;
}

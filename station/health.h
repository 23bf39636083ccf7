#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "platform/clock.h"

namespace orvent {

// The station's health, as a monitoring check gives it: one level and one
// line of reasons. Every face shows this value and nothing else decides it.
enum class HealthLevel {
  Working,    // green: alarms are taken, kept and delivered
  Attention,  // amber: they still flow, but something needs a look
  Stopped,    // red: alarms do not flow
};

struct Health {
  HealthLevel Level = HealthLevel::Working;
  // The causes in words, the most severe first, joined by "; "; for a
  // working station what works.
  std::string Reason;
  bool operator==(const Health&) const = default;
};

// A moment on both clocks: the monotonic one to measure how long something
// lasts, the wall clock to say since when.
struct Moment {
  std::int64_t Ms = 0;
  TDateTime At = 0.0;
  bool operator==(const Moment&) const = default;
};

// How the receiver's port stands, as far as health is concerned.
enum class PortHealth {
  NotConfigured,      // no `ComPort` (or COM255): nothing is opened
  Open,
  NotStarted,         // a port was chosen and not started
  StoppedByOperator,  // closed with the close code
  WontOpen,           // it failed to open and is tried again
  Lost,               // its line went away and it is tried again
};

// What the station sees, in the terms the verdict is decided in. The texts
// are worded already (the port's failure, the reason a line got no ACK...).
struct HealthFacts {
  Moment Now;

  PortHealth Port = PortHealth::Open;
  std::string PortName;
  std::string PortFailure;  // why it does not open: "нет такого устройства"

  // The receiver: not heard within its attention time (on an open port).
  bool ReceiverQuiet = false;
  TDateTime ReceiverLastHeard = 0.0;
  // The first line left without an ACK since the last ACK written, and why.
  std::optional<Moment> UnansweredSince;
  std::string UnansweredWhy;

  // The raw log refuses entries: why.
  std::string RawLogFailure;

  // The spool cannot keep records on disk (its folder or its writes).
  bool DiskRefuses = false;

  // The server link: whether the server takes events now; since when it has
  // not (the start, or the end of the last accepted connection); whether an
  // attempt has failed or a connection ended since then, and the words of
  // the last such failure.
  bool ServerTakesEvents = false;
  Moment ServerAwaySince;
  bool ServerFailed = false;
  std::string ServerFailure;
  std::string ServerAddress;  // "127.0.0.1:12543"
  // Sent records go unacknowledged.
  bool ServerNotAcknowledging = false;

  // The receive time of the oldest record waiting for the server.
  std::optional<TDateTime> OldestWaiting;

  // The settings file can no longer be read; the last good settings hold.
  std::string SettingsFailure;
};

// Limits of the verdict, on the monotonic clock.
// Lines left without an ACK this long mean the receiver cannot get through:
// its own resends (a second or so apart) would have been answered by now.
inline constexpr std::int64_t kUnansweredLimitMs = 5000;
// A server away longer than its first retry (5 s after the last attempt,
// which may take 2.5 s to time out), with a little to spare.
inline constexpr std::int64_t kServerAwayLimitMs = 8000;
// A record older than this still waiting, while the server takes events.
inline constexpr std::int64_t kOldBacklogMs = 3 * 60 * 1000;

struct HealthVerdict {
  Health Verdict;
  // When time alone may change the verdict (monotonic ms); none: only a new fact.
  std::optional<std::int64_t> RecheckAtMs;
};

// The one decision.
HealthVerdict DecideHealth(const HealthFacts& facts);

// The level as people read it: "работает", "внимание", "тревоги не проходят".
const char* HealthWord(HealthLevel level);
// "Тревоги не проходят: порт COM1 не открывается (нет такого устройства)".
std::string HealthLine(const Health& health);

// "10:14:03" of a date-time.
std::string ClockText(TDateTime t);

std::ostream& operator<<(std::ostream& out, HealthLevel level);
std::ostream& operator<<(std::ostream& out, const Health& health);

}  // namespace orvent

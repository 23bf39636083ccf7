#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace orvent {

// What the service manager tells a program it starts, through the
// environment: where notifications go and how often its watchdog wants to
// hear that the program is alive.
struct ServiceNotifySettings {
  // NOTIFY_SOCKET: a datagram socket's path ("/run/systemd/notify") or an
  // abstract name ("@name"); empty when nobody listens.
  std::string Socket;
  // WATCHDOG_USEC, when WATCHDOG_PID is unset or names this process.
  std::optional<std::chrono::microseconds> Watchdog;

  bool operator==(const ServiceNotifySettings&) const = default;
};

// The settings for the values of NOTIFY_SOCKET, WATCHDOG_USEC and
// WATCHDOG_PID (null: unset) in the process `own_pid`. A value that cannot
// be read counts as unset: a program started by hand, or by anyone else
// than the manager, sends nothing and keeps no watchdog.
ServiceNotifySettings ParseServiceNotifySettings(const char* notify_socket, const char* watchdog_usec,
                                                 const char* watchdog_pid, std::int64_t own_pid);

// Whether standard error is the journal's stream: systemd names the stream
// it connected in JOURNAL_STREAM ("<device>:<inode>"), and only a program
// whose standard error is still that stream (not redirected since) may put a
// priority ("<3>") in front of its lines. `journal_stream` null: unset.
bool JournalStreamMatches(const char* journal_stream, unsigned long long device, unsigned long long inode);

// A line as the journal files it from a stream: "<N>" and the text, N the
// syslog priority (3 error, 4 warning, 6 information).
std::string JournalLine(int syslog_priority, std::string_view text);

// Notifications to the service manager (systemd's notify protocol: one
// datagram of "KEY=VALUE" lines to the socket it named). Without a socket,
// or on Windows, nothing is sent and nothing fails. Sending never blocks: a
// manager that does not keep up loses a notification, never the loop's time.
class ServiceNotifier {
public:
  // From this process's environment.
  ServiceNotifier();
  explicit ServiceNotifier(const ServiceNotifySettings& settings);
  ~ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  // Whether notifications go anywhere.
  bool Listening() const;
  // How often the manager's watchdog wants to hear from the program; none
  // when it keeps no watchdog, or nobody listens.
  std::optional<std::chrono::microseconds> WatchdogInterval() const;

  // Sends `message` ("KEY=VALUE" lines) as one datagram; no error when
  // nobody listens.
  std::error_code Notify(std::string_view message);
  // The program is up: "READY=1".
  void Ready();
  // One line for the manager to show with the unit ("STATUS="); line breaks
  // become blanks, as a break would begin a key of its own.
  void Status(const std::string& text);
  // "WATCHDOG=1": the program is alive.
  void WatchdogPing();
  // "STOPPING=1": the orderly end has begun.
  void Stopping();

private:
  struct Native;
  std::unique_ptr<Native> native_;
  std::optional<std::chrono::microseconds> watchdog_;
};

}  // namespace orvent

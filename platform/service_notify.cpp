#include "platform/service_notify.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace orvent {
namespace {

// A positive decimal number and nothing else; none for anything else (signs,
// blanks, units, a number past the 64-bit range).
std::optional<std::int64_t> PositiveDecimal(const char* text) {
  if (text == nullptr) return std::nullopt;
  const char* end = text + std::strlen(text);
  std::int64_t value = 0;
  const auto [stop, error] = std::from_chars(text, end, value);
  if (error != std::errc{} || stop != end || stop == text || value <= 0) return std::nullopt;
  return value;
}

}  // namespace

ServiceNotifySettings ParseServiceNotifySettings(const char* notify_socket, const char* watchdog_usec,
                                                 const char* watchdog_pid, std::int64_t own_pid) {
  ServiceNotifySettings settings;
  // A path or an abstract name; other kinds of address (a virtual machine's
  // socket, say) are not ours to serve.
  if (notify_socket != nullptr && (notify_socket[0] == '/' || notify_socket[0] == '@') && notify_socket[1] != '\0') {
    settings.Socket = notify_socket;
  }
  // The manager names the process it means: a child that inherited the
  // variables from the program it was meant for keeps no watchdog.
  const bool ours = watchdog_pid == nullptr || PositiveDecimal(watchdog_pid) == own_pid;
  if (const auto usec = PositiveDecimal(watchdog_usec); usec && ours) {
    settings.Watchdog = std::chrono::microseconds(*usec);
  }
  return settings;
}

std::optional<std::chrono::microseconds> ServiceNotifier::WatchdogInterval() const { return watchdog_; }

// A notification that fails is lost: nobody could be told of it but the
// manager whose socket failed, and the driver's work goes on regardless.

void ServiceNotifier::Ready() { Notify("READY=1"); }

void ServiceNotifier::Status(const std::string& text) {
  std::string message = "STATUS=" + text;
  for (char& c : message) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  Notify(message);
}

void ServiceNotifier::WatchdogPing() { Notify("WATCHDOG=1"); }

void ServiceNotifier::Stopping() { Notify("STOPPING=1"); }

bool JournalStreamMatches(const char* journal_stream, unsigned long long device, unsigned long long inode) {
  if (journal_stream == nullptr) return false;
  char* end = nullptr;
  const unsigned long long want_device = std::strtoull(journal_stream, &end, 10);
  if (end == journal_stream || *end != ':') return false;
  const char* rest = end + 1;
  const unsigned long long want_inode = std::strtoull(rest, &end, 10);
  if (end == rest || *end != '\0') return false;
  return want_device == device && want_inode == inode;
}

std::string JournalLine(int syslog_priority, std::string_view text) {
  return "<" + std::to_string(syslog_priority) + ">" + std::string(text);
}

}  // namespace orvent

#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/event_loop.h"

namespace orvent {

// Windows' service control manager, from both sides: a program it starts as
// a service reports its state to it and hears its stop requests through a
// ServiceSession, and an administrator's command registers the program as a
// service or removes it. POSIX has no such manager here (systemd speaks
// through ServiceNotifier): no program runs as a service, and registering
// one is not supported.

// The stop requests and the state reports of a running service. Every call
// comes on the thread that runs the service's body.
class ServiceSession {
public:
  virtual ~ServiceSession() = default;
  // Ready once the manager asked the service to end (a stop, or the system
  // shutting down); it stays ready.
  virtual NativeWaitHandle StopRequest() const = 0;
  // The service is up: the manager may report it running and send stops.
  virtual void Running() = 0;
  // One more step of the orderly end is done, so the manager keeps waiting.
  virtual void Stopping() = 0;
};

// Runs `body` as the service `name` when the manager started this process
// as that service: the manager hears "start pending" first and "stopped",
// with the body's result (0, or a service-specific error), once the body has
// returned. Gives that result then. Gives nullopt, without calling the body,
// when the process was started otherwise (from a console, by the Task
// Scheduler, or anywhere on POSIX).
std::optional<int> RunAsService(const std::string& name, const std::function<int(ServiceSession&)>& body);

// How a service is registered: it starts with the system, runs this program
// with `Arguments` after its own path, and is started again `RestartDelay`
// after a failure (its process ending without saying "stopped", or stopping
// with an error); failures count from nothing again after `ResetPeriod`.
struct ServiceDefinition {
  std::string Name;
  std::string DisplayName;
  std::string Description;
  std::vector<std::string> Arguments;
  std::chrono::seconds RestartDelay{60};
  std::chrono::seconds ResetPeriod{24 * 60 * 60};
};

// Registers this program as the service. std::errc::permission_denied when
// the caller may not (not an administrator), std::errc::file_exists when a
// service of that name is registered already, std::errc::not_supported on
// POSIX. A recovery setting that the system refuses leaves the service
// registered; `warning` says which.
std::error_code InstallService(const ServiceDefinition& service, std::string& warning);

// Stops the service when it runs (waiting at most `stop_limit`) and removes
// it. std::errc::permission_denied, std::errc::no_such_file_or_directory
// when no service of that name is registered, std::errc::timed_out when it
// did not stop in time (it is removed once it stops), std::errc::not_supported
// on POSIX.
std::error_code UninstallService(const std::string& name, std::chrono::milliseconds stop_limit);

// The folder `name` for a service to keep its files in when not told one:
// %ProgramData%\<name> on Windows. Empty on POSIX.
std::string ServiceDataFolder(const std::string& name);

}  // namespace orvent

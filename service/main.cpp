// orvent-service: the receiver driver without a window, for stations that
// nobody watches. It works in the folder it is started in (kelmora.ini, the
// spool, kelmora.log, error.txt), opens the configured port at once, writes
// its status lines with their time to standard error, and ends in order on
// a request to end (SIGTERM, SIGINT, SIGHUP or SIGQUIT; on Windows the
// console's Ctrl+C and close, a logoff or a shutdown) with exit status 0.
// Started by systemd as a notify service, it tells the manager when it is
// up, shows its backlog as the unit's status, feeds the watchdog while its
// loop and its server link both come round, and says when it ends.

#include <cstdio>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "platform/poll_event_loop.h"
#include "platform/service_notify.h"
#include "platform/termination_signal.h"
#include "station/backlog_report.h"
#include "station/command_line.h"
#include "station/service_watchdog.h"
#include "station/station.h"

namespace orvent {
namespace {

// Status lines and warnings on standard error, each with the local date
// and time, and the backlog's line as often as BacklogReport says. Nobody
// can be asked for the close code here; the rest of the view is told by the
// status lines already.
class StandardErrorFace final : public StationFace {
public:
  StandardErrorFace(const Clock& clock, BacklogReport& backlog) : clock_(clock), backlog_(backlog) {}

  void ShowView(const StationView& view) override { backlog_.Show(view); }
  void ShowStatus(TDateTime at, const std::string& text) override { WriteLine(at, text); }
  void ShowWarning(TDateTime at, const std::string& text) override { WriteLine(at, text); }
  void ShowFailure(const std::string& text) override { WriteLine(clock_.Now(), text); }
  std::optional<std::string> AskCloseCode() override { return std::nullopt; }

  static void WriteLine(TDateTime at, const std::string& text) {
    std::fprintf(stderr, "%s %s\n", StampText(at).c_str(), text.c_str());
    std::fflush(stderr);
  }

private:
  const Clock& clock_;
  BacklogReport& backlog_;
};

}  // namespace
}  // namespace orvent

int main(int argc, char** argv) {
  if (const auto done = orvent::HandleCommandLine(argc, argv, "orvent-service",
                                                  "The receiver driver without a window, for a station that runs "
                                                  "unattended; status lines go to standard error.")) {
    return *done;
  }
  // Before any thread starts, so that no thread takes these signals itself.
  orvent::TerminationSignal termination;
  orvent::PrepareConsoleOutput();
  orvent::SystemClock clock;
  orvent::PollEventLoop loop;
  // systemd's notify socket; started otherwise, nobody is told anything.
  orvent::ServiceNotifier manager;
  orvent::BacklogReport backlog(loop, clock, [&](const std::string& line) {
    orvent::StandardErrorFace::WriteLine(clock.Now(), line);
    manager.Status(line);
  });
  orvent::StandardErrorFace face(clock, backlog);
  // Nobody picks a port here: the configured one is opened, no other is probed.
  orvent::Station station(
      orvent::StationEnvironment{orvent::CurrentDirectory(), &loop, &clock, nullptr, {}, /*OffersPortChoice=*/false},
      face);
  std::optional<orvent::ServiceWatchdog> watchdog;
  // The manager hears that the end begins before it does: the watchdog
  // stops with the link it watches.
  const auto end = [&] {
    if (station.Ended()) return;
    watchdog.reset();
    manager.Stopping();
    station.End();
  };
  if (const auto handle = termination.WaitHandle()) {
    loop.WatchReadable(*handle, [&] {
      if (termination.Take() == 0) return;
      end();
      loop.Quit();
    });
  }
  station.Start();
  // The spool and the server link run now; a port that failed is retried.
  manager.Ready();
  if (const auto interval = manager.WatchdogInterval(); interval && station.Link() != nullptr) {
    watchdog.emplace(loop, *station.Link(), *interval, [&manager] { manager.WatchdogPing(); });
  }
  const std::error_code failed = loop.Run();
  if (failed) face.ShowStatus(clock.Now(), "Сбой цикла событий: " + failed.message());
  end();
  return failed ? 1 : 0;
}

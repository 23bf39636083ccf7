// orvent-service: the receiver driver without a window, for stations that
// nobody watches. It works in the folder it is started in (kelmora.ini, the
// spool, kelmora.log, error.txt), opens the configured port at once, writes
// its status lines with their time to standard error, and ends in order on
// a request to end (SIGTERM, SIGINT, SIGHUP or SIGQUIT; on Windows the
// console's Ctrl+C and close, a logoff or a shutdown) with exit status 0.

#include <cstdio>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "platform/poll_event_loop.h"
#include "platform/termination_signal.h"
#include "station/command_line.h"
#include "station/station.h"

namespace orvent {
namespace {

// Status lines and warnings on standard error, each with the local date
// and time. Nobody can be asked for the close code here, and the view is
// told by the status lines already.
class StandardErrorFace final : public StationFace {
public:
  explicit StandardErrorFace(const Clock& clock) : clock_(clock) {}

  void ShowView(const StationView&) override {}
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
  orvent::StandardErrorFace face(clock);
  // Nobody picks a port here: the configured one is opened, no other is probed.
  orvent::Station station(
      orvent::StationEnvironment{orvent::CurrentDirectory(), &loop, &clock, nullptr, {}, /*OffersPortChoice=*/false},
      face);
  if (const auto handle = termination.WaitHandle()) {
    loop.WatchReadable(*handle, [&] {
      if (termination.Take() == 0) return;
      station.End();
      loop.Quit();
    });
  }
  station.Start();
  const std::error_code failed = loop.Run();
  if (failed) face.ShowStatus(clock.Now(), "Сбой цикла событий: " + failed.message());
  station.End();
  return failed ? 1 : 0;
}

// orvent-service: the receiver driver without a window, for stations that
// nobody watches. It works in the folder it is started in, or the one
// --workdir names (kelmora.ini, the spool, kelmora.log, error.txt), opens
// the configured port at once, writes its status lines with their time to
// standard error, and ends in order on a request to end (SIGTERM, SIGINT,
// SIGHUP or SIGQUIT; on Windows the console's Ctrl+C and close, a logoff or
// a shutdown) with exit status 0.
// Started by systemd as a notify service, it tells the manager when it is
// up, shows its health and backlog as the unit's status, feeds the watchdog
// while its loop and its server link both come round, and says when it
// ends; each line carries its priority for the journal.
// Started by Windows' service manager, it reports its start and its stop
// there, ends in order on the manager's stop or the system's shutdown, works
// in %ProgramData%\orvent unless told a folder, and writes its status lines
// to status.txt there, as it has no console. --install and --uninstall
// register and remove that service.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/poll_event_loop.h"
#include "platform/service_control.h"
#include "platform/service_notify.h"
#include "platform/termination_signal.h"
#include "station/backlog_report.h"
#include "station/command_line.h"
#include "station/rotating_log.h"
#include "station/service_watchdog.h"
#include "station/station.h"

namespace orvent {
namespace {

constexpr char kProgram[] = "orvent-service";
constexpr char kServiceName[] = "orvent-service";
// The service's folder under %ProgramData% when it is not told one.
constexpr char kDataFolderName[] = "orvent";
// The installer gives the service the same texts (packaging/windows/make-msi.sh).
constexpr char kDisplayName[] = "Драйвер приёмника тревожных сообщений";
constexpr char kDescription[] =
    "Принимает сообщения приёмника тревог с COM-порта, подтверждает каждое и передаёт их серверу сообщений; "
    "пока сервер недоступен, сообщения ждут в очереди на диске.";

// The status file of the service: a few days of lines at the least, and a
// few megabytes at the most on a disk nobody watches.
constexpr char kStatusStem[] = "status";
constexpr std::uint64_t kStatusFileBytes = 1 << 20;
constexpr int kStatusFilesKept = 3;

// How long --uninstall waits for a running service to end in order.
constexpr std::chrono::milliseconds kStopLimit{30000};

// The exit statuses of --install and --uninstall; 2 is a refused command line.
constexpr int kFailed = 1;
constexpr int kNotAllowed = 3;
constexpr int kAlreadyInstalled = 4;
constexpr int kNotInstalled = 5;
// The exit status of a run refused because another program works in its folder.
constexpr int kFolderTaken = 6;

// Where the status lines go, each stamped already, with its priority:
// standard error, or the service's status file.
using LineSink = std::function<void(Priority, const std::string&)>;

// Status lines with the local date and time, the backlog's line as often as
// BacklogReport says, and the verdict with the backlog as the unit's status.
// A warning is a status line already; nobody can be asked for the close code.
class StatusLineFace final : public StationFace {
public:
  StatusLineFace(const Clock& clock, BacklogReport& backlog, ServiceNotifier& manager, const LineSink& write)
      : clock_(clock), backlog_(backlog), manager_(manager), write_(write) {}

  void ShowView(const StationView& view) override {
    backlog_.Show(view);
    std::string status = SupervisorStatus(view);
    if (status == status_) return;
    status_ = std::move(status);
    manager_.Status(status_);
  }
  void ShowStatus(TDateTime at, Priority priority, const std::string& text) override {
    write_(priority, StampText(at) + " " + text);
  }
  void ShowWarning(TDateTime, const std::string&) override {}
  void ShowFailure(const std::string& text) override { write_(Priority::Error, StampText(clock_.Now()) + " " + text); }
  std::optional<std::string> AskCloseCode() override { return std::nullopt; }

private:
  const Clock& clock_;
  BacklogReport& backlog_;
  ServiceNotifier& manager_;
  const LineSink& write_;
  std::string status_;
};

int SyslogPriority(Priority priority) {
  switch (priority) {
    case Priority::Error: return 3;
    case Priority::Warning: return 4;
    case Priority::Info: break;
  }
  return 6;
}

// Standard error, with each line's priority in front when it goes to the
// journal (so that `journalctl -p warning` finds the problems).
LineSink StandardErrorLines() {
  const bool journal = StandardErrorIsJournal();
  return [journal](Priority priority, const std::string& line) {
    const std::string text = journal ? JournalLine(SyslogPriority(priority), line) : line;
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
  };
}

// A request to end: a handle the loop watches, and what takes the request
// once the handle is ready (false: nothing was pending after all).
struct EndRequest {
  std::optional<NativeWaitHandle> Handle;
  std::function<bool()> Take;
};

// The station in `folder` from its start to its orderly end; `session` is
// Windows' service manager when it started the program.
int RunStation(const std::string& folder, const LineSink& write, const EndRequest& request,
               ServiceSession* session) {
  SystemClock clock;
  PollEventLoop loop;
  // systemd's notify socket; started otherwise, nobody is told anything.
  ServiceNotifier manager;
  BacklogReport backlog(loop, clock,
                        [&](const std::string& line) { write(Priority::Info, StampText(clock.Now()) + " " + line); });
  StatusLineFace face(clock, backlog, manager, write);
  // Nobody picks a port here: the configured one is opened, no other is probed.
  Station station(StationEnvironment{folder, &loop, &clock, nullptr, {}, /*OffersPortChoice=*/false}, face);
  std::optional<ServiceWatchdog> watchdog;
  // The managers hear that the end begins before it does: the watchdog
  // stops with the link it watches.
  const auto end = [&] {
    if (station.Ended()) return;
    watchdog.reset();
    manager.Stopping();
    if (session != nullptr) session->Stopping();
    station.End();
  };
  if (request.Handle) {
    loop.WatchReadable(*request.Handle, [&] {
      if (!request.Take()) return;
      end();
      loop.Quit();
    });
  }
  if (!station.Start()) {
    // Another program works in this folder; it goes on, this one ends.
    manager.Stopping();
    return kFolderTaken;
  }
  // The spool and the server link run now; a port that failed is retried.
  manager.Ready();
  if (session != nullptr) session->Running();
  if (const auto interval = manager.WatchdogInterval(); interval && station.Link() != nullptr) {
    watchdog.emplace(loop, *station.Link(), *interval, [&manager] { manager.WatchdogPing(); });
  }
  const std::error_code failed = loop.Run();
  if (failed) face.ShowStatus(clock.Now(), Priority::Error, "Сбой цикла событий: " + failed.message());
  end();
  return failed ? 1 : 0;
}

// Run by the service manager: there is no console, and the working folder
// is the system's until it is set here.
int RunService(const ServiceCommand& command, ServiceSession& session) {
  std::string folder = command.WorkDir;
  if (folder.empty()) {
    folder = ServiceDataFolder(kDataFolderName);
    // Its parent, %ProgramData%, is always there.
    if (MakeFolder(folder)) return kFailed;
  }
  if (ChangeCurrentDirectory(folder)) return kFailed;
  const std::string work_dir = CurrentDirectory();
  RotatingLog log(work_dir, kStatusStem, kStatusFileBytes, kStatusFilesKept);
  const LineSink write = [&log](Priority, const std::string& line) { log.Write(line); };
  const EndRequest request{session.StopRequest(), [] { return true; }};
  return RunStation(work_dir, write, request, &session);
}

// The folder a service is told, as a full path when it is there: a service
// starts in the Windows folder, where a relative one would lead. One that is
// not there is told as it was given; the service says so when it starts.
std::optional<std::string> FullFolderPath(const std::string& folder) {
  if (!IsFolder(folder)) return folder;
  const std::string here = CurrentDirectory();
  if (const std::error_code error = ChangeCurrentDirectory(folder)) {
    std::fprintf(stderr, "Папка \"%s\" недоступна: %s\n", folder.c_str(), error.message().c_str());
    return std::nullopt;
  }
  std::string full = CurrentDirectory();
  ChangeCurrentDirectory(here);
  return full;
}

// What the registration and the removal answer alike when the service
// manager refuses: `act` and `to_act` name the action ("установку",
// "установить").
int ManagerRefusal(const std::error_code& error, const char* act, const char* to_act) {
  if (error == std::errc::permission_denied) {
    std::fprintf(stderr, "Нет прав на %s службы: запустите от имени администратора.\n", act);
    return kNotAllowed;
  }
  if (error == std::errc::not_supported) {
    std::fprintf(stderr, "Службы Windows здесь нет: на Linux драйвер запускает systemd.\n");
    return kFailed;
  }
  std::fprintf(stderr, "Не удалось %s службу: %s\n", to_act, error.message().c_str());
  return kFailed;
}

int Install(const ServiceCommand& command) {
  ServiceDefinition service;
  service.Name = kServiceName;
  service.DisplayName = kDisplayName;
  service.Description = kDescription;
  std::string folder = ServiceDataFolder(kDataFolderName);
  if (!command.WorkDir.empty()) {
    const std::optional<std::string> full = FullFolderPath(command.WorkDir);
    if (!full) return kFailed;
    folder = *full;
    service.Arguments = {"--workdir", folder};
  }
  std::string warning;
  const std::error_code error = InstallService(service, warning);
  const std::string name = std::string("Служба ") + kServiceName;
  if (error == std::errc::file_exists) {
    std::fprintf(stderr, "%s уже установлена.\n", name.c_str());
    return kAlreadyInstalled;
  }
  if (error) return ManagerRefusal(error, "установку", "установить");
  std::printf("%s установлена (%s), запускается вместе с системой. Рабочая папка: %s\n", name.c_str(), kDisplayName,
              folder.c_str());
  if (!warning.empty()) std::printf("Перезапуск после сбоя не настроен: %s\n", warning.c_str());
  return 0;
}

int Uninstall() {
  const std::error_code error = UninstallService(kServiceName, kStopLimit);
  const std::string name = std::string("Служба ") + kServiceName;
  if (error == std::errc::no_such_file_or_directory) {
    std::fprintf(stderr, "%s не установлена.\n", name.c_str());
    return kNotInstalled;
  }
  if (error == std::errc::timed_out) {
    std::fprintf(stderr, "%s не остановилась за %lld с; она будет удалена, когда остановится.\n", name.c_str(),
                 static_cast<long long>(kStopLimit.count() / 1000));
    return kFailed;
  }
  if (error) return ManagerRefusal(error, "удаление", "удалить");
  std::printf("%s остановлена и удалена.\n", name.c_str());
  return 0;
}

}  // namespace
}  // namespace orvent

int main(int argc, char** argv) {
  orvent::ServiceCommand command;
  if (const auto done = orvent::HandleServiceCommandLine(
          argc, argv, orvent::kProgram,
          "The receiver driver without a window, for a station that runs unattended; status lines go to "
          "standard error.",
          command)) {
    return *done;
  }
  if (command.Do != orvent::ServiceCommand::Action::Run) {
    orvent::PrepareConsoleOutput();
    return command.Do == orvent::ServiceCommand::Action::Install ? orvent::Install(command) : orvent::Uninstall();
  }
  // Returns at once unless Windows' service manager started the program.
  if (const auto served = orvent::RunAsService(
          orvent::kServiceName, [&](orvent::ServiceSession& session) { return orvent::RunService(command, session); })) {
    return *served;
  }
  // Before any thread starts, so that no thread takes these signals itself.
  orvent::TerminationSignal termination;
  orvent::PrepareConsoleOutput();
  if (!command.WorkDir.empty()) {
    if (const std::error_code error = orvent::ChangeCurrentDirectory(command.WorkDir)) {
      std::fprintf(stderr, "%s: не удалось перейти в папку \"%s\": %s\n", orvent::kProgram, command.WorkDir.c_str(),
                   error.message().c_str());
      return 1;
    }
  }
  const orvent::EndRequest request{termination.WaitHandle(), [&termination] { return termination.Take() != 0; }};
  const orvent::LineSink write = orvent::StandardErrorLines();
  return orvent::RunStation(orvent::CurrentDirectory(), write, request, nullptr);
}
